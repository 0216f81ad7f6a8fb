// The emulated device as Windows shows it to the WinUSB host adapter: a fake of the adapter's
// table of Win32 functions (usb/win32_usb.h) over the emulated bus, so that the adapter's whole
// logic runs against the device model, natively and under Wine (whose winusb.dll has only
// stubs). Test and development builds only: tests use it in process, and the programs reach it
// with BVU_USB=winusb-fake:STATE.
//
// What it shows, as a PC does as far as the adapter relies on it:
//  - One device node per device on the bus, with the hardware IDs USB\VID_vvvv&PID_pppp&REV_rrrr
//    and USB\VID_vvvv&PID_pppp, and the instance ID USB\VID_vvvv&PID_pppp\6&1F2E3D4C&0&N for the
//    unit's port N (4_2 for 4.2; a bus that does not say: the lowest port free at its arrival),
//    so a device that comes back at its port has its old instance ID. Where it is plugged: the
//    location path PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2) (DEVPKEY_Device_LocationPaths,
//    through SetupDiGetDevicePropertyW) and the location information Port_#0002.Hub_#0005
//    (SPDRP_LOCATION_INFORMATION), each unless the options leave it out.
//  - What this PC has bound to each product ID (FakeBinding; every node of that hardware ID
//    alike, present or remembered): WinUSB as an installer binds it (service WinUSB, the device
//    key's DeviceInterfaceGUIDs holding a GUID of the installer's, not ours, and the present
//    node that interface, with a path for CreateFileW), WinUSB with a singular
//    DeviceInterfaceGUID (REG_SZ), WinUSB picked by hand (no GUID value), libusbK (its own
//    service), none (no service, install state "failed"), or a driver Windows is still setting
//    up (no service yet, install state "finish install"). Every node with a driver has the
//    interface GUID_DEVINTERFACE_USB_DEVICE. bound stands for the product IDs not named.
//  - Nodes that Windows remembers: a listing without DIGCF_PRESENT also shows every device that
//    has left the bus, and the knownNodes of the options (a PC that has seen them before).
//  - CreateFileW: one open file per node (WinUSB serves one program at a time); a second open,
//    or any open while heldElsewhere, fails with ERROR_ACCESS_DENIED; the file must be opened
//    for overlapped I/O.
//  - Requests with an OVERLAPPED return ERROR_IO_PENDING. One the device answers is complete
//    when the call returns; one it does not answer stays pending until CancelIoEx, WinUsb_
//    AbortPipe or the closing of the file (ERROR_OPERATION_ABORTED), or until the device leaves
//    the bus. A stall and a device leaving under a pending request both fail with
//    ERROR_GEN_FAILURE, as a pulled-out device may fail on a PC; a request that finds the device
//    gone fails with ERROR_DEVICE_NOT_CONNECTED.
//  - WinUsb_SetCurrentAlternateSetting sends SET_INTERFACE (no answer: ERROR_SEM_TIMEOUT).
//    WinUsb_ResetPipe sends CLEAR_FEATURE(ENDPOINT_HALT) for the pipe, synchronously.
//  - notifications: CM_Register_Notification is there, and every arrival and departure on the
//    bus calls the registered callbacks (from the thread that changed the bus). Otherwise the
//    table has no CM functions, as under Wine.
// Uses that Windows would punish (a handle the fake never gave out or has closed, a WinUSB
// handle where a file handle belongs and the reverse, a file not opened for overlapped I/O)
// fail with ERROR_INVALID_HANDLE and are counted in misuses().
//
// The table's entries are plain functions, so they reach the fake through a process-wide
// pointer: one fake lives at a time. Thread-safe; bus requests are made without the fake's
// lock held.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/emulated_bus.h"
#include "usb/host.h"
#include "usb/win32_usb.h"

namespace bvu {
namespace emulator {

enum class FakeBinding {
    WinUsb,          // an installer's INF: service WinUSB, DeviceInterfaceGUIDs (REG_MULTI_SZ)
    WinUsbSingular,  // service WinUSB, DeviceInterfaceGUID (REG_SZ)
    WinUsbByHand,    // "WinUsb Device" picked in Device Manager: service WinUSB, no GUID value
    LibusbK,         // another driver: service libusbK
    None,            // no driver: no service, install state "failed"
    SettingUp,       // Windows installs the driver: no service yet, install state "finish"
};
// "winusb", "winusb-guid", "winusb-by-hand", "libusbK", "none", "setting-up".
bool parseFakeBinding(const std::string& name, FakeBinding* binding);

struct Win32UsbFakeOptions {
    bool bound = true;           // a WinUSB driver is installed for the device
    bool notifications = false;  // the system has CM_Register_Notification
    bool heldElsewhere = false;  // another program has the device open
    // By product ID; the ones not named have WinUsb when bound, else None.
    std::map<uint16_t, FakeBinding> bindings;
    // Device nodes that Windows remembers though the device is not on the bus: (product, port).
    std::vector<std::pair<uint16_t, int>> knownNodes;
    // A text file read at every look at the device nodes (so that a test can install a driver
    // while a program runs): lines "PRODUCT BINDING" (hex product ID, a name as
    // parseFakeBinding takes) replace the bindings, lines "known PRODUCT PORT" the knownNodes;
    // '#' starts a comment. A file that is missing changes nothing.
    std::string driversFile;
    // Where a node is plugged: its location paths (DEVPKEY_Device_LocationPaths), and its
    // location information (SPDRP_LOCATION_INFORMATION); each may be missing.
    bool locationPaths = true;
    bool locationInformation = true;
};

class Win32UsbFake {
  public:
    // Null while another fake lives.
    static std::shared_ptr<Win32UsbFake> create(std::shared_ptr<EmulatedBus> bus,
                                                const Win32UsbFakeOptions& options);
    ~Win32UsbFake();
    Win32UsbFake(const Win32UsbFake&) = delete;
    Win32UsbFake& operator=(const Win32UsbFake&) = delete;

    // Valid while the fake lives.
    const winusb::Win32Usb& api() const;
    const std::shared_ptr<EmulatedBus>& bus() const;

    void setHeldElsewhere(bool held);
    void setBound(bool bound);  // the WinUSB driver installed (or removed) while the fake lives
    // What is bound to the nodes of one product ID from now on (a driver installed, replaced,
    // set up); the registered notifications hear of it.
    void setBinding(uint16_t productId, FakeBinding binding);

    int looks() const;        // SetupDiGetClassDevsW calls for the USB device nodes
    int winusbCalls() const;  // WinUsb_* calls of any kind
    int pipeResets() const;   // WinUsb_ResetPipe calls
    int misuses() const;
    int openFiles() const;
    int pendingRequests() const;

    struct State;

  private:
    explicit Win32UsbFake(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// BVU_USB=winusb-fake:STATE: the WinUSB adapter over a fake (bound, polled) over the emulated
// device of the state file; BVU_WINUSB_FAKE_DRIVERS=FILE names its driversFile. The adapters of
// a process share one fake. Null, a line on standard error and UDA_FAILED_TO_OPEN_DRIVER when
// the state file cannot be used.
std::unique_ptr<kd::Host> openWinusbFakeHost(const std::string& statePath, UDA_STATUS* status);

}  // namespace emulator
}  // namespace bvu
