// The kernel driver of the driver access layer, over a host adapter (host.h): one driver file
// per subscription, whatever the host. This is where the driver's side of the layer's protocol
// lives (kernel_driver.h):
//
//  - registerEvents listens to the host first and then looks at the devices present, so that
//    no device falls between the two: one seen twice is offered once, and one that left in
//    between is not brought back by the look.
//  - Matching: a table matches a device by vendor and product; its class, subclass and protocol
//    bytes, where not 0, must match the device descriptor and some alternate setting of the
//    active configuration. A registration with a location matches only devices whose host
//    reports that location (usb/location.h); the others are never opened. The location goes
//    into the device's information tree.
//  - Offer: an attach is queued when a matching device arrives. When the event thread pulls
//    it, the device is opened and its descriptors parsed (descriptor_parser.h); a device that
//    cannot be opened is not offered (and, where the user can mend that, noted for the advice
//    of device_advice.h), nor is one whose class bytes do not match. With acknowledgements, the
//    attach's acknowledgement tells whether the program took the device; a device not taken is
//    closed and left alone: every later request for it is "Device not found", and its departure
//    is not reported. Without acknowledgements every offered device counts as taken.
//  - Departure: a device that leaves before its attach was pulled is never reported; one that
//    was offered is reported by a detach event (when the subscription asked for them).
//  - Requests: device operations name taken (or offered) devices that are still present,
//    otherwise "Device not found", before anything reaches the host. A control transfer needs
//    a buffer of at least wLength bytes ("Invalid parameter"); a bulk transfer an OUT endpoint
//    of an active alternate setting ("Invalid pipe number"; "Function not implemented" for an
//    IN endpoint: the hosts carry bulk OUT only). setInterface needs the interface and the
//    alternate setting to exist ("Invalid parameter") and, on success, shows the new alternate
//    in deviceInfo. A device whose descriptors do not parse answers "Usb descriptor error".
//    A request that fails because the device left meanwhile reports "Device not found".
//  - Halts: a bulk transfer that stalls leaves its endpoint halted, on the device and in the
//    host, until it is cleared; the next transfer on that endpoint first clears it
//    (Host::clearHalt; when that fails, so does the transfer, unsent). A successful
//    setInterface clears every halt, as SET_INTERFACE does on the device.
//  - Unusable devices are noted with their vendor, product and, for another driver in the
//    way, that driver's name (device_advice.h), until they leave.
//  - First look: when the registration asks for kEventEnumerated, that event is queued behind
//    the attaches of the devices present at registration, so that the layer can tell when the
//    program has heard of all of them (a device dropped or gone meanwhile does not hold it up).
//  - listDevices: the host's list of the devices present (it listens first, as a registration
//    does), matched by vendor and product only; nothing is opened.
//  - queryVersion: 811. A second registerEvents on one file: "Resource overlap".
//
// Threads: as kernel_driver.h. The host's events only queue and wake; the host's requests run
// with no lock of the file held.
#pragma once

#include <memory>

#include "usb/host.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace kd {

// The driver file over host (not null), which it owns.
std::unique_ptr<KernelDriver> makeHostDriver(std::unique_ptr<Host> host);

}  // namespace kd
}  // namespace bvu
