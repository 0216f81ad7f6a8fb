// Advice for the user when the device is there but this program cannot use it: no WinUSB driver
// on Windows, no permission on its node on Linux. The driver files note such devices as they
// find them; the programs add the advice to their own error text when they could not reach the
// device ("Check that the device is properly connected" alone would send the user the wrong
// way).
//
// The notes are process-wide and outlive the sessions that made them (modeswitch reports after
// its session has ended). A note goes when its device leaves, or when a matching device is
// opened after all. Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "usb/host.h"

namespace bvu {
namespace usb {

// Driver files: owner and id name the device (owner: the file that saw it).
void noteUnusableDevice(const void* owner, uint32_t id, kd::Unusable why);
void forgetUnusableDevice(const void* owner, uint32_t id);
// A matching device was opened: whatever was noted before no longer explains a failure.
void forgetUnusableDevices();

// The advice for the devices noted now, as one paragraph; empty when there is none.
std::string unusableDeviceAdvice();

// Programs: writes the advice, if any, as a line of its own to out.
void writeUnusableDeviceAdvice(std::FILE* out);

}  // namespace usb
}  // namespace bvu
