// The umockdev testbed with the USB devices in it, changed from one thread only.
//
// umockdev's testbed is not made for concurrent changes, and its "add" event goes out the
// moment a device is added, so every change (a device arriving with its sysfs entry, node and
// ioctl handler; a device leaving) is queued here and carried out in order by the testbed's own
// thread. Changes can be queued from any thread, including umockdev's ioctl thread and the
// emulated bus's listeners.
//
// Creating the testbed sets UMOCKDEV_DIR in this process's environment (umockdev does that);
// destroying it removes the testbed's folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace bvu {
namespace emulator {

// What a USB device node needs in the testbed.
struct UsbNodeParams {
    uint8_t busnum = 1;
    uint8_t devnum = 0;
    // Its sysfs name, which tells libusb where it is plugged: "1-4.2" for port 2 of the hub at
    // port 4 of bus 1's root hub (that hub must be in the testbed first: addHub).
    std::string sysName;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t configurationValue = 1;
    std::vector<uint8_t> descriptors;  // the sysfs "descriptors" file
};

class Testbed {
  public:
    // Starts the thread and makes the testbed on it. Null and a reason on failure.
    static std::unique_ptr<Testbed> create(std::string* error);
    // Removes the devices still present, destroys the testbed and its folder, ends the thread.
    ~Testbed();

    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The testbed's root folder (UMOCKDEV_DIR).
    const std::string& root() const { return root_; }
    // Absolute path inside the testbed of the device node of bus/devnum (its folder is made
    // if it does not exist yet).
    std::string nodeFile(uint8_t busnum, uint8_t devnum) const;
    static std::string nodeName(uint8_t busnum, uint8_t devnum);  // "/dev/bus/usb/BBB/DDD"

    // Queues an arrival: the sysfs entry with its descriptors, the node (which the caller has
    // made at nodeFile()), the handler attached to it, then the device added (the "add" event).
    // handler must stay alive until the device is removed and its clients are gone.
    void addUsbDevice(const UsbNodeParams& params, UMockdevIoctlBase* handler);
    // Queues a departure: the "remove" event, the handler detached, the device removed.
    void removeUsbDevice(uint8_t busnum, uint8_t devnum);
    // Queues a hub (no device node, no handler): what libusb reads of the parents of a device
    // to tell its port chain. Stays until the testbed goes. params.descriptors: a hub's.
    void addHub(const UsbNodeParams& params);

    // Waits until every change queued so far has been carried out.
    void settle();

    struct Impl;

  private:
    explicit Testbed(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
    std::string root_;
};

}  // namespace emulator
}  // namespace bvu
