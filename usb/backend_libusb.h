// The libusb-1.0 host adapter (Linux): real devices through usbfs, or the emulated device
// served by a umockdev testbed.
//
// All adapters of a process share one libusb context with one event-handling thread of its
// own; the context is made when the first adapter opens and torn down when the last one goes.
// Each adapter makes one libusb hotplug registration. The hotplug callbacks, which run inside
// libusb's event handling, only pass the news on; opening devices, claiming and transfers
// happen in the requests (kd::Host's contract), never on libusb's thread. Descriptors come from
// libusb's cached copies (no request to the device).
//
// Per-device state is shared: a transfer in flight keeps it (and its libusb handle) alive while
// a departure or close() forgets the device, so the transfer never touches a closed handle.
#pragma once

#include <memory>

#include "usb/host.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace kd {

// A host adapter on libusb. Null and *status ("Internal system error" when libusb cannot be
// initialised) on failure. Any thread; the adapter follows kd::Host's threading contract.
std::unique_ptr<Host> openLibusbHost(UDA_STATUS* status);

// The same as a driver file for the layer (kd::makeHostDriver over the adapter).
std::unique_ptr<KernelDriver> openLibusbDriver(UDA_STATUS* status);

// The driver status for a libusb result (a libusb_error code, 0 or a positive byte count being
// success). The whole mapping is this one function; exposed for tests.
UDA_STATUS statusFromLibusb(int result);

}  // namespace kd
}  // namespace bvu
