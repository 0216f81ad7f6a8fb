// Serves an EmulatedBus through a umockdev testbed, so that unmodified libusb programs (ours
// and third-party tools) find the emulated device under /dev/bus/usb and /sys as on real
// hardware: descriptors in sysfs, usbfs requests answered by the model (usbfs_device.h), and
// hotplug: every arrival on the bus adds a device with a new address (a re-enumerated device
// gets a new devnum, as with the kernel), every departure sends "remove". The sysfs name says
// where the unit is plugged ("1-4", "1-4.2"), the same at every arrival at that port, so libusb
// reports its port chain as on a PC.
//
// Programs see the testbed when they run with the umockdev preload library and UMOCKDEV_DIR set
// to rootDir(). The process that owns the adapter must itself run under the preload (for
// example under umockdev-wrapper), or the hotplug events it sends reach nobody.
//
// Threads: start and the destructor from one thread; rootDir and settle from any. The bus's
// listener callbacks only queue changes for the testbed's thread (testbed.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"

namespace bvu {
namespace emulator {

class UmockdevAdapter {
  public:
    // Makes the testbed (this sets UMOCKDEV_DIR in the process's environment) and serves every
    // device on the bus; when it returns, the devices present are in the testbed. Null and a
    // reason on failure. The adapter keeps a reference to the bus.
    static std::unique_ptr<UmockdevAdapter> start(std::shared_ptr<EmulatedBus> bus,
                                                  std::string* error);
    // The same for several buses at once, all on USB bus 1: each unit at its own port (sysfs
    // name "1-" and the port, with the hubs of a port chain), so libusb tells them apart by
    // where they are plugged. The units must have different ports (portsApart).
    static std::unique_ptr<UmockdevAdapter> start(std::vector<std::shared_ptr<EmulatedBus>> buses,
                                                  std::string* error);

    // Stops listening, removes the devices and the testbed with its folder. Programs that used
    // the devices should have closed them by then.
    ~UmockdevAdapter();

    UmockdevAdapter(const UmockdevAdapter&) = delete;
    UmockdevAdapter& operator=(const UmockdevAdapter&) = delete;

    // The testbed's root folder: the UMOCKDEV_DIR for programs that should see the devices.
    const std::string& rootDir() const;

    // Waits until the testbed shows every arrival and departure the bus has reported so far.
    void settle();

    struct Impl;

  private:
    explicit UmockdevAdapter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace emulator
}  // namespace bvu
