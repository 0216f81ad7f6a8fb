// The in-process emulator backend: kernel-driver files whose bus is the emulated one kept in a
// state file (BVU_USB=emulator:PATH). The driver access layer and the session above it cannot
// tell these files from a real driver's.
//
// Each driver file holds a reference to the shared bus and listens to it. Its event queue
// starts, at registerEvents, with an attach for every matching device already on the bus, then
// follows arrivals and departures. A device's uniqueId is its bus identifier, which is new at
// every arrival, so a re-enumerated device never inherits the old one's id.
//
// Requests, as the driver answers them (see kernel_driver.h for the seam's general contract):
//  - transfer, pipe 0: the setup packet and wLength bytes of data go to the device. The data
//    buffer must hold at least wLength bytes (else "Invalid parameter", nothing sent).
//  - transfer, other pipes: bulk OUT to that endpoint address, which must be an OUT endpoint of
//    an active alternate setting (else "Invalid pipe number"). The emulated device has no IN
//    endpoints; a read on a pipe it has would be "Function not implemented".
//  - Replies: done -> 0 and transferred; stall -> 0xC0000004 "HC status: PID stall"; no answer
//    -> the request waits out its nominal timeoutMs on the clock (0 or INFINITE: no limit),
//    counted from the start of the request, then 0x20000015 "Timeout expired" -- unless the
//    device leaves the bus first, which ends the wait at once with 0x2000000F "Device not
//    found"; not on the bus -> "Device not found". A late answer (the device took longer than
//    the time-out but did answer) is delivered as it came.
//  - setInterface: the interface and alternate setting must exist ("Invalid parameter"); a
//    stalled SET_INTERFACE is "HC status: PID stall" like any stalled control request; no
//    answer waits 5000 ms nominal as above. On success deviceInfo shows the new alternate.
//  - deviceInfo: the tree parsed from the device's descriptors; descriptors that do not parse
//    give 0x20000012 "Usb descriptor error" (and the layer then refuses the device).
//  - A device whose attach was acknowledged without kOptionControlled is left alone: every
//    later request for it is "Device not found", and its departure is not reported. So is any
//    id this file never reported or that has left the bus.
//  - queryVersion: 811. A second registerEvents on one file: "Resource overlap".
//
// Threads: as kernel_driver.h. The bus calls the file's listener from its request and timer
// threads; the listener only updates the queue and wakes waiters. Requests go to the bus with
// no lock of the file held, so a device that leaves the bus in the middle of a request (and
// tells the listener so from the requesting thread) cannot deadlock it.
#pragma once

#include <memory>
#include <string>

#include "emulator/emulated_bus.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace emulator {

// Opens a driver file on the emulated bus of the state file statePath (one bus per path,
// shared by every file of the process). When the bus cannot be opened (the file is missing,
// unreadable or not a device state), returns null with *status UDA_FAILED_TO_OPEN_DRIVER
// ("Failed to open USB driver") and writes one line to standard error naming the file and the
// reason, since the layer above reports only the status. Otherwise *status is 0.
std::unique_ptr<kd::KernelDriver> openEmulatorDriver(const std::string& statePath,
                                                     UDA_STATUS* status);

// A driver file over a given bus (tests and tools that hold a bus already). bus is not null;
// the file keeps a reference to it.
std::unique_ptr<kd::KernelDriver> makeEmulatorDriver(std::shared_ptr<EmulatedBus> bus);

}  // namespace emulator
}  // namespace bvu
