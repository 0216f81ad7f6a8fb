// The WinUSB host adapter (Windows): real devices through the WinUSB driver, every Win32 call
// through one table (win32_usb.h).
//
// Finding devices: the USB device nodes whose hardware ID carries a wanted vendor and product;
// for each, the device interface GUIDs that its WinUSB installation wrote into its device key
// (DeviceInterfaceGUIDs, as written by our INF and by the usual WinUSB installers) and the path
// of that interface on the present node. A node without one is reported all the same: it is a
// device this program cannot use (Unusable::NoDriver), and no WinUSB function is ever called
// for it. A node whose path appears or changes (the driver was installed, the device came
// back) is a departure and a new arrival. Where a node is plugged is its first location path
// (DEVPKEY_Device_LocationPaths), else its location information (SPDRP_LOCATION_INFORMATION).
//
// Watching: CM_Register_Notification where the system has it (every notification means "look
// again"), otherwise a look every 250 ms nominal on the clock, on a thread of the adapter's.
// A request that fails also looks again at once, so that a device pulled out in the middle of
// a transfer is reported as gone (the driver core then answers "Device not found").
//
// Requests: the device's file is opened for overlapped I/O when the device is offered
// (CreateFileW, WinUsb_Initialize, its descriptors with WinUsb_GetDescriptor). setInterface
// selects the alternate setting on the interface's handle and makes it the one that requests
// use; interface-recipient control requests are addressed to it (addressToClaimedInterface).
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

}  // namespace kd
}  // namespace bvu
