// Advice for the user when the device is there but this program cannot use it: no WinUSB driver,
// another driver in the way or one still being set up on Windows, no permission on its node on
// Linux. The driver files note such devices as they find them; the programs add the advice to
// their own error text when they could not reach the device ("Check that the device is properly
// connected" alone would send the user the wrong way), and the session's waits read the notes
// to decide whether waiting longer can help (attach_wait.h).
//
// The notes are process-wide and outlive the sessions that made them (modeswitch reports after
// its session has ended). A note goes when its device leaves, or when a matching device is
// opened after all. Thread-safe.
//
// Also process-wide: what a host has seen of this PC's drivers for a guise that is not on the
// bus (the WinUSB host looks for a device node of it that WinUSB serves), so that a program can
// warn before it sends the device into a guise that this PC may have no driver for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "usb/host.h"

namespace bvu {
namespace usb {

// Driver files: owner and id name the device (owner: the file that saw it); vendorId and
// productId say which guise it is; driver names the driver in the way (Unusable::OtherDriver).
void noteUnusableDevice(const void* owner, uint32_t id, kd::Unusable why, uint16_t vendorId = 0,
                        uint16_t productId = 0, const std::string& driver = std::string());
void forgetUnusableDevice(const void* owner, uint32_t id);
// A matching device was opened: whatever was noted before no longer explains a failure.
void forgetUnusableDevices();

// What is noted now of a device of this vendor and product (the latest note); why is No when
// nothing is.
struct UnusableNote {
    kd::Unusable why = kd::Unusable::No;
    std::string driver;
};
UnusableNote unusableDeviceOf(uint16_t vendorId, uint16_t productId);

// While watched, the event is signalled at every change of the notes (so that a wait for a
// device can look at them again). The caller owns the event; unwatch before closing it.
void watchUnusableDevices(HANDLE event);
void unwatchUnusableDevices(HANDLE event);

// The advice for the devices noted now, as one paragraph; empty when there is none.
std::string unusableDeviceAdvice();

// Programs: writes the advice, if any, as a line of its own to out.
void writeUnusableDeviceAdvice(std::FILE* out);

// ---- This PC's drivers for a guise ---------------------------------------------------------

enum class DriverSign {
    Unknown,  // no host has looked (every host but WinUSB)
    Seen,     // a device node of it is served by WinUSB (present or remembered)
    None,     // the host looked and found none
};
// Hosts: any thread. The latest word counts.
void noteDriverSign(uint16_t vendorId, uint16_t productId, DriverSign sign);
DriverSign driverSign(uint16_t vendorId, uint16_t productId);

}  // namespace usb
}  // namespace bvu
