// The WinUSB host adapter (Windows): real devices through the WinUSB driver, every Win32 call
// through one table (win32_usb.h).
//
// Finding devices: the USB device nodes whose hardware ID carries a wanted vendor and product,
// and the service of each node's function driver (SPDRP_SERVICE). Only a node that WinUSB
// serves is opened, through the path of its interface on the present node: the GUIDs that its
// installation wrote into its device key (DeviceInterfaceGUIDs, as our INF and the usual
// installers write it, or DeviceInterfaceGUID; REG_MULTI_SZ or REG_SZ), or, with neither (WinUSB
// picked by hand in Device Manager), GUID_DEVINTERFACE_USB_DEVICE. Every other node is reported
// all the same, as a device this program cannot use, and no WinUSB function is ever called for
// it: another driver serves it (Unusable::OtherDriver, the service named by driverInTheWay), or
// Windows is still setting it up (SettingUp: its install state says so, or WinUSB serves it but
// its interface is not there yet), or it has no driver (NoDriver). A node whose path appears or
// changes, or an unusable one whose reason changes (the driver was installed, the device came
// back), is a departure and a new arrival. Where a node is plugged is its first location path
// (DEVPKEY_Device_LocationPaths), else its location information (SPDRP_LOCATION_INFORMATION).
//
// At listen() the adapter also notes what this PC shows of drivers for each wanted device
// (device_advice.h, DriverSign): whether any device node of its hardware ID, present or
// remembered by Windows, is served by WinUSB. The bootloader guise appears only during an update
// and, having no serial number, gets a node of its own on every port; a PC that has only ever
// seen run mode has no driver for it, and the session warns before it switches (attach_wait.h).
//
// Watching: CM_Register_Notification where the system has it (every notification means "look
// again"), otherwise a look every 250 ms nominal on the clock, on a thread of the adapter's.
// A request that fails also looks again at once, so that a device pulled out in the middle of
// a transfer is reported as gone (the driver core then answers "Device not found").
//
// Requests: the device's file is opened for overlapped I/O when the device is offered
// (CreateFileW, WinUsb_Initialize, its descriptors with WinUsb_GetDescriptor). setInterface
// selects the alternate setting on the interface's handle and makes it the one that requests
// use (a stall of it, for an interface with one alternate setting, is taken for success and the
// interface's pipes are reset instead, as Linux does); interface-recipient control requests are
// addressed to it (addressToClaimedInterface). clearHalt resets the pipe (WinUsb_ResetPipe).
// Every transfer waits for its own event with its own time-out on the clock, then cancels the
// request (CancelIoEx for pipe 0, WinUsb_AbortPipe for a bulk pipe) and collects it before its
// buffer is given back; no transfer waits for the watcher or for another transfer.
//
// Threads: as kd::Host. Per-device state is shared with the requests in flight, so a departure
// never closes a handle under a transfer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/host.h"
#include "usb/win32_usb.h"

namespace bvu {
namespace kd {

// A WinUSB host adapter over api, which must outlive it.
std::unique_ptr<Host> makeWinusbHost(const winusb::Win32Usb& api);

#ifdef _WIN32
// The adapter over the system's functions; never fails (*status 0).
std::unique_ptr<Host> openWinusbHost(UDA_STATUS* status);
#endif

// The driver status for a Win32 error code (GetLastError) of a WinUSB request. The whole
// mapping is this one function.
UDA_STATUS statusFromWin32Error(DWORD error);

// Pieces of the adapter exposed for tests. A registry GUID as text ("{xxxxxxxx-xxxx-xxxx-
// xxxx-xxxxxxxxxxxx}", braces optional); false when it is not one.
bool parseGuid(const std::wstring& text, GUID* guid);
// The vendor and product of a hardware ID ("USB\VID_03EB&PID_3014&REV_0200"); false for other
// IDs and for the interfaces of composite devices (&MI_).
bool parseHardwareId(const std::wstring& id, uint16_t* vendorId, uint16_t* productId);
// The strings of a REG_MULTI_SZ value of size bytes (terminators missing at the end tolerated).
std::vector<std::wstring> parseMultiString(const BYTE* data, DWORD size);
// Why a device node cannot be opened (Unusable::No: it can), from the service of its function
// driver (empty: none), its SPDRP_INSTALL_STATE (-1: none) and whether the interface that
// WinUSB serves was found.
Unusable classifyNode(const std::wstring& service, long installState, bool hasPath);

}  // namespace kd
}  // namespace bvu
