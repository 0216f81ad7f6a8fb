// The in-process emulated device as a USB host (BVU_USB=emulator:PATH): a host adapter
// (usb/host.h) whose bus is the emulated one kept in a state file. Under the driver core
// (usb/host_driver.h) the driver access layer and the session above it cannot tell it from a
// real host.
//
// A device's id is its bus identifier (with the index of its bus in the high byte when there
// are several), which is new at every arrival, so a re-enumerated device never inherits the
// old one's id. Requests go to the bus as they are:
//  - Replies: done -> 0 and transferred; stall -> 0xC0000004 "HC status: PID stall"; no answer
//    -> the request waits out its nominal time-out on the clock (0 or INFINITE: no limit;
//    setInterface: 5000 ms), counted from the start of the request, then 0x20000015 "Timeout
//    expired" -- unless the device leaves the bus first, which ends the wait at once with
//    0x2000000F "Device not found"; not on the bus -> "Device not found". A late answer (the
//    device took longer than the time-out but did answer) is delivered as it came.
//  - open: the descriptors the device presented on the bus at its arrival.
//
// Threads: as usb/host.h. The bus calls the adapter's listener from its request and timer
// threads; the listener passes the event on and wakes the requests that wait for an answer.
// Requests go to the bus with no lock of the adapter held, so a device that leaves the bus in
// the middle of a request (and says so from the requesting thread) cannot deadlock it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"
#include "usb/host.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace emulator {

// The emulated bus of the state file statePath for a host (one bus per path, shared by every
// adapter of the process). When the bus cannot be opened (the file is missing, unreadable or
// not a device state), returns null with *status UDA_FAILED_TO_OPEN_DRIVER ("Failed to open USB
// driver") and writes one line to standard error naming the file and the reason, since the
// layer above reports only the status. Otherwise *status is 0.
std::shared_ptr<EmulatedBus> openBusForHost(const std::string& statePath, UDA_STATUS* status);

// A host adapter over the emulated buses of the state files statePaths names, separated by
// commas ("a.json,b.json": two units on one bus, each from its own file; openBusForHost). A
// unit's location is "1-" and its port, as libusb would show it. Refused (null,
// UDA_FAILED_TO_OPEN_DRIVER and a line on standard error) for more than 16 files and for two
// units at one port.
std::unique_ptr<kd::Host> openEmulatorHost(const std::string& statePaths, UDA_STATUS* status);

// The state files of a BVU_USB argument: the texts between its commas (empty ones dropped).
std::vector<std::string> splitStatePaths(const std::string& text);

// A host adapter over given buses (tests and tools that hold them already); none is null.
std::unique_ptr<kd::Host> makeEmulatorHost(std::shared_ptr<EmulatedBus> bus);
std::unique_ptr<kd::Host> makeEmulatorHost(std::vector<std::shared_ptr<EmulatedBus>> buses);

// The same as driver files for the layer (kd::makeHostDriver over the adapter).
std::unique_ptr<kd::KernelDriver> openEmulatorDriver(const std::string& statePath,
                                                     UDA_STATUS* status);
std::unique_ptr<kd::KernelDriver> makeEmulatorDriver(std::shared_ptr<EmulatedBus> bus);

}  // namespace emulator
}  // namespace bvu
