// One emulated device node as Linux's usbfs presents it to user-mode programs: the umockdev
// ioctl handler that answers usbfs requests (CLAIMINTERFACE, SETINTERFACE, SUBMITURB,
// REAPURB[NDELAY], DISCARDURB ...) from an EmulatedBus.
//
// What the kernel would check, this checks too (usbfs_rules.h), with its errno: a control request
// whose recipient is an interface (or endpoint) the device does not have is refused (ENOENT),
// as is one for an interface another open file has claimed (EBUSY); an unclaimed, free
// interface is claimed on the caller's behalf, as usbfs does. Bulk URBs must name an endpoint
// of the device. A stall completes the URB with -EPIPE; a request the device does not answer
// leaves the URB pending until DISCARDURB (then -ENOENT); once the device has left the bus,
// pending URBs complete with -ENODEV and every later request fails with ENODEV. CLEAR_HALT
// reaches the device as CLEAR_FEATURE(ENDPOINT_HALT), as the kernel sends it.
//
// URBs are carried out one at a time, in order of submission, by a worker thread of the node,
// so that a device that takes its time (a DFU status held back during an erase) never blocks
// umockdev's ioctl thread. The node file is a FIFO kept full: it polls writable (the way usbfs
// signals completed URBs) only while some URB waits to be reaped, so libusb does not spin.
//
// A file closed by its program gives up its claims and URBs (noticed at the next request to the
// node, since umockdev reports closed files to nobody).
//
// Threads: the handler's callbacks run on umockdev's ioctl thread; markGone() may be called
// from any thread (the bus's listener); create and the destructor from the adapter's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/emulated_bus.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace bvu {
namespace emulator {

class UsbfsDevice {
  public:
    // A node for the device as it arrived. nodeFile is the node's absolute path inside the
    // testbed (created here as a FIFO); devnum is its bus address. Null and a reason when the
    // device's descriptors do not parse or the node cannot be made.
    static std::unique_ptr<UsbfsDevice> create(std::shared_ptr<EmulatedBus> bus,
                                               const Presence& presence, uint8_t devnum,
                                               const std::string& nodeFile, std::string* error);

    // Stops the worker (a request in progress on the bus is waited for) and drops every URB.
    // Call once no client can reach the handler any more.
    ~UsbfsDevice();

    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    // The handler to attach to the node (owned by this object).
    UMockdevIoctlBase* handler() const;
    uint32_t busId() const;

    // The device has left the bus.
    void markGone();

    struct Impl;

  private:
    explicit UsbfsDevice(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace emulator
}  // namespace bvu
