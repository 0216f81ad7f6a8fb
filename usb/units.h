// The units on the bus, as the programs show them and pick among them: where each is plugged
// and in which guise (without opening any), which one a run works with (-device, -serial, or
// the only one), and what a unit holds, read for a listing (-list) with reads only.
//
// Threads: the main thread of a program, while no USB session lives (the functions that talk to
// a unit open a session of their own, pinned to it, and close it again).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "usb/bvexbase.h"
#include "usb/usbutils.h"

namespace bvu {
namespace usb {

// A unit on the bus as the driver lists it.
struct PresentUnit {
    std::string location;
    bool bootloader = false;  // in its bootloader; else in run mode
};

// The units on the bus now, in the order of their locations, one per location. Opens no device,
// so it disturbs no unit and sees also the units other programs work on. Throws USBUtils::Error
// ("Could not initialise USB driver: " and the driver's status) when the driver cannot be
// opened.
std::vector<PresentUnit> presentUnits();

// "1-2 (bootloader)", "1-1 (run mode)" ("an unknown location" when the host cannot tell).
std::string unitText(const std::string& location, bool bootloader);
// The units so, separated by ", "; "none" for none.
std::string unitsText(const std::vector<PresentUnit>& units);

// What the session left alone, for the notice of a second device (a person reads it): the
// first sentence as it always was, then the units elsewhere, by location.
std::string secondDeviceText(const std::vector<USBUtils::OtherUnit>& others);

// The unit a run was asked for: -device LOCATION and -serial NUMBER (empty: not given).
struct UnitRequest {
    std::string location;
    std::string serial;
};

// Why a run refused to start on a unit; its text says what to do.
class UnitChoiceError : public BVError {
  public:
    explicit UnitChoiceError(const std::string& text) : BVError(text) {}
};

// The unit a run works with, decided before its session opens:
//  - a location: the unit plugged there (the session opens nothing elsewhere); with a serial
//    number too, a unit there in run mode must have it;
//  - a serial number alone: the unit in run mode that has it (each run-mode unit's serial
//    number is read for that, nothing else);
//  - neither: the first unit by location, whose session names the others; with
//    refuseSeveral (a run that writes and asks nobody), several units are refused.
// Throws UnitChoiceError when no unit fits or several are refused (before any request that
// changes anything), and USBUtils::Error when the driver or a unit asked for its serial number
// fails.
USBUtils::UnitChoice chooseUnit(const UnitRequest& request, bool refuseSeveral);

// The units a listing shows: all, or the one the request names (UnitChoiceError as
// chooseUnit when none fits).
std::vector<PresentUnit> unitsToList(const UnitRequest& request);

// What a unit holds, read for a listing with reads only.
struct UnitReading {
    PresentUnit unit;  // in the guise it was read in
    // Run mode: what the device tells of itself.
    std::string serial;
    std::string pcbRevision;
    std::string package;
    std::string video;
    std::string control;
    std::string videoStandard;  // "NTSC" or "PAL"
    // Bootloader: whether the start-up bit could be read, and whether it points at the
    // bootloader (no complete control firmware: the update writes it again).
    bool startupKnown = false;
    bool controlIncomplete = false;
    std::string error;  // why the unit could not be read; empty when it was
};

// Reads the unit through a session of its own. Run mode: the serial number, PCB revision,
// versions and video standard; bootloader: its DFU status and, unless it reports an error
// (clearing that would change it), the start-up bit (a command that selects the byte to read,
// then the upload). Never throws for the unit's failures: they go to error. readPackage, when
// given, reads the package version field in place of the plain read (the caller knows what else
// the field may hold) and puts what to show into reading.package; it runs on this thread, with
// the unit's session, and may throw USBUtils::Error.
using PackageReader = std::function<void(USBUtils& session, UnitReading& reading)>;
UnitReading readUnit(const PresentUnit& unit, const PackageReader& readPackage = nullptr);

// One line of a listing, and its JSON object (one line, no line end). writes: what an update
// would write to the unit, or empty to leave it out.
std::string unitLine(const UnitReading& reading, const std::string& writes);
std::string unitJson(const UnitReading& reading, const std::string& writes);

}  // namespace usb
}  // namespace bvu
