// What Linux's usbfs checks before it passes a request to a device: the interfaces and
// endpoints of the active configuration, and which open file of the device node holds which
// interface. The errno values are the kernel's.
//
// Not thread-safe: the owner (one device node) serialises the calls.
#pragma once

#include <cstdint>
#include <map>

#include "usb/uda.h"

namespace bvu {
namespace emulator {

class UsbfsRules {
  public:
    // An open file of the node, as the claims know it (an opaque key).
    using File = const void*;

    // layout: the device's descriptors as parsed (usb/descriptor_parser.h).
    explicit UsbfsRules(UDA_DeviceInfo layout) : layout_(std::move(layout)) {}

    bool hasInterface(uint8_t number) const;
    bool hasAlternate(uint8_t number, uint8_t alternate) const;
    // The interface an endpoint address belongs to (in any alternate setting), or -1.
    int interfaceOfEndpoint(uint8_t endpoint) const;
    uint8_t configurationValue() const { return layout_.configuration.bConfigurationValue; }

    // CLAIMINTERFACE, and usbfs's implicit claim of an interface used without one: 0 when the
    // file holds it now, ENOENT when the device has no such interface, EBUSY when another file
    // holds it.
    int claim(File file, uint8_t number);
    // RELEASEINTERFACE: 0, or EINVAL when the file does not hold it.
    int release(File file, uint8_t number);
    // The file was closed.
    void releaseAll(File file);

    // A control request (its setup packet) from the file: vendor requests pass; standard and
    // class requests addressed to an interface or an endpoint need that interface to exist
    // and to be (or become) the file's. 0 or the errno.
    int checkControl(File file, const uint8_t* setup);
    // A bulk URB to an endpoint: the endpoint must belong to an interface the file holds or
    // can claim. 0, ENOENT or EBUSY.
    int checkBulk(File file, uint8_t endpoint);

  private:
    const UDA_DeviceInfo layout_;
    std::map<uint8_t, File> owners_;  // claimed interface -> file
};

}  // namespace emulator
}  // namespace bvu
