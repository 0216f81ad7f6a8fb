// What a USB host adapter does for the driver core (host_driver.h): list the devices present,
// report arrivals and departures, open a device and read its descriptors, claim an interface
// with its alternate setting, and carry control and bulk OUT transfers. Everything else that
// the driver access layer expects of its kernel driver (subscriptions, matching, offering a
// device and hearing whether the program takes it, the event queue and its cancel) lives once
// in the core, so each adapter is only the host's own calls: libusb-1.0, WinUSB, the in-process
// emulated device, the unit tests' fake bus.
//
// Device ids are the adapter's: unique among the devices it has ever reported (a device that
// leaves and comes back, re-enumerated or replugged, gets a new id), never 0.
//
// Threads:
//  - HostEvents are called from any thread of the adapter's (libusb's event thread, a watcher
//    thread, the emulated bus's timers) or from inside present() and the requests; never while
//    the adapter holds a lock that one of its own requests waits for. The core only queues.
//  - The core calls the requests without any lock of its own held. open() runs on the
//    subscription's event thread; setInterface, control and bulkOut may run on any thread, and
//    at the same time as each other and as the adapter's events. A transfer never waits for an
//    event wait or for another device's transfer.
//  - The destructor stops the events: once it has returned, no HostEvents call is running or
//    will come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/uda_status.h"

namespace bvu {
namespace kd {

// Why a device that is present cannot be opened by this program, when the user can do
// something about it (see device_advice.h).
enum class Unusable {
    No,            // usable, or it failed for a reason the user cannot mend
    NoDriver,      // Windows: no WinUSB driver is bound to the device
    NoPermission,  // Linux: this user may not open the device's node
    OtherDriver,   // Windows: another driver than WinUSB serves the device (driverInTheWay)
    SettingUp,     // Windows: it is still setting up the device's driver
};

struct HostDevice {
    uint32_t id = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // Where the device is plugged (usb/location.h): the same text for every device that
    // arrives at that port, in either guise; empty when the host cannot tell. Known without
    // opening the device.
    std::string location;
};

// The vendor and product of the devices that the core wants to hear about. An adapter may
// report others too; the core drops them.
struct WantedDevice {
    uint16_t vendorId;
    uint16_t productId;
};

class HostEvents {
  public:
    virtual void arrived(const HostDevice& device) = 0;
    virtual void left(uint32_t id) = 0;

  protected:
    ~HostEvents() = default;
};

class Host {
  public:
    virtual ~Host() = default;

    // Starts reporting arrivals and departures to events (called once; events outlives the
    // adapter's reports). 0, or why the host cannot watch its bus.
    virtual UDA_STATUS listen(HostEvents* events, const std::vector<WantedDevice>& wanted) = 0;

    // The devices on the bus now. Called after listen(): a device listed here may already have
    // been reported as arrived, or as left (the core keeps track of both). The list must be
    // complete when it returns, not left to arrival reports still to come: the core tells the
    // program that it has heard of every device present once these have been offered.
    virtual std::vector<HostDevice> present() = 0;

    // Opens the device for this program and reads its descriptors: the device descriptor
    // followed by the whole active configuration, as GET_DESCRIPTOR returns them. On failure
    // *why tells whether the user can mend it. The core calls it once per reported device that
    // it may offer, and close() when it is done with the device (also after a failed open).
    virtual UDA_STATUS open(uint32_t id, std::vector<uint8_t>* descriptors, Unusable* why) = 0;

    // Claims the interface (releasing another one claimed before) and selects the alternate
    // setting; the core has checked that both exist.
    virtual UDA_STATUS setInterface(uint32_t id, uint8_t interfaceNumber,
                                    uint8_t alternateSetting) = 0;

    // A control transfer on pipe 0: the 8-byte setup packet and wLength bytes of data (the core
    // guarantees the buffer). timeoutMs is nominal (on the clock); 0 or INFINITE: no limit.
    virtual UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data,
                               uint32_t* transferred, uint32_t timeoutMs) = 0;

    // A bulk OUT transfer to an endpoint of the active alternate setting (the core checked it).
    virtual UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                               uint32_t* transferred, uint32_t timeoutMs) = 0;

    // The core is done with the device: release what open() and setInterface() took (a
    // transfer still running may finish first). Tolerates ids never opened or already closed.
    virtual void close(uint32_t id) = 0;

    // Clears the halt of a bulk endpoint that stalled a transfer: CLEAR_FEATURE(ENDPOINT_HALT)
    // to the device, and the host's own state of the pipe reset with it (libusb_clear_halt,
    // WinUsb_ResetPipe). The core calls it before the next transfer on that endpoint.
    virtual UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) = 0;

    // After open() failed with Unusable::OtherDriver: the name of the driver (service) that
    // serves the device instead, as the system names it ("libusbK"); empty when unknown.
    virtual std::string driverInTheWay(uint32_t id) {
        (void)id;
        return std::string();
    }
};

// Requests to an interface name it in the low byte of wIndex. The host's DFU requests name
// interface 4 while the bootloader presents only interface 0, and Linux (usbfs) refuses a
// request to an interface the device does not have; WinUSB sends such requests to the
// interface of the handle used and is commonly relied on to rewrite the byte. The native
// adapters therefore address every interface-recipient request to the interface the program
// has claimed (claimed < 0: none yet, the request goes as it is), so that the device sees the
// same on every host. The high byte of wIndex is the request's own and stays.
void addressToClaimedInterface(uint8_t setup[8], int claimed);

}  // namespace kd
}  // namespace bvu
