// Where a unit is plugged: the text that ties the two guises of one unit together (its
// bootloader has no serial number) and keeps every other unit on the bus apart from it.
//
// Each host writes the location its own way, stable across the unit's re-enumerations (the
// same port gives the same text, whichever guise comes up there):
//  - libusb: the bus number and the port chain from the root hub, "1-4.2" (bus 1, port 4 of the
//    root hub, port 2 of the hub behind it), as Linux names the device in sysfs;
//  - WinUSB: the node's location path, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)", or where
//    the system has none, its location information ("Port_#0002.Hub_#0004");
//  - the emulated device: "1-" and the unit's port, as libusb would show it.
// An empty text means the host could not tell.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace bvu {
namespace usb {

// "1-4.2" for bus 1 and the ports 4, 2; "1" for a device without ports (a root hub).
std::string busPortsLocation(uint8_t bus, const uint8_t* ports, int count);

// Whether two locations name the same place. Letters are compared without regard to case
// (Windows' location paths are not case-sensitive); two empty texts are the same unknown place.
bool sameLocation(const std::string& a, const std::string& b);

// The order in which units are listed and the first of several is picked: runs of digits
// compare as numbers ("1-2" before "1-10"), everything else without regard to case.
bool locationBefore(const std::string& a, const std::string& b);

}  // namespace usb
}  // namespace bvu
