// The kernel-driver seam over libusb-1.0 (Linux): real devices through usbfs, or the emulated
// device served by a umockdev testbed.
//
// All driver files of a process share one libusb context with one event-handling thread of its
// own; the context is made when the first file opens and torn down when the last one closes.
// Each registerEvents makes one libusb hotplug registration (with LIBUSB_HOTPLUG_ENUMERATE, so
// devices already on the bus are reported). The hotplug callbacks, which run inside libusb's
// event handling, only queue what happened; opening devices, reading descriptors, claiming and
// transfers all happen in the requests of the layer (kd::KernelDriver's contract), never on
// libusb's thread.
//
// Per-device state is shared: a transfer in flight keeps it (and its libusb handle) alive while
// a detach forgets the device, so the transfer ends with "Device not found" instead of touching
// a closed handle.
#pragma once

#include <memory>

#include "usb/kernel_driver.h"

namespace bvu {
namespace kd {

// Opens a driver file on libusb. Null and *status ("Internal system error" when libusb cannot be
// initialised) on failure. Any thread; the file follows kd::KernelDriver's threading contract.
std::unique_ptr<KernelDriver> openLibusbDriver(UDA_STATUS* status);

// The driver status for a libusb result (a libusb_error code, 0 or a positive byte count being
// success). The whole mapping is this one function; exposed for tests.
UDA_STATUS statusFromLibusb(int result);

}  // namespace kd
}  // namespace bvu
