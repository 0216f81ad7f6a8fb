// The device inspection, in its two halves: bringing the unit into run mode and checking that it
// answers (a worker's job: it may wait 10 s for the device and 7 s for a restart), then reading
// what it holds (on the main thread, once the worker has ended, so that the two never use the
// session at once). What follows from the outcome is the presenter's to decide.
#pragma once

#include <exception>
#include <string>

#include "app/dialog_state.h"
#include "app/update_plan.h"

class USBUtils;

struct InspectionOutcome {
    enum class Kind {
        Answered,  // in run mode and answering
        // In its bootloader with the start-up bit on the bootloader: no complete control
        // firmware (an interrupted update, or none ever written). Its application is not started
        // (the unit would leave the bus until power-cycled); it stays in its bootloader.
        Incomplete,
        Failed,  // error says why
    };
    Kind kind = Kind::Failed;
    std::exception_ptr error;
};

// A unit found in its bootloader is told to start its application, unless its control firmware
// is incomplete. Never throws. Any thread; the session is USBUtils::instance().
InspectionOutcome inspectUnit();

// A unit in run mode as the inspection read it: the record (and the dialog's fields), and the
// facts the run's plan follows from.
struct InspectedUnit {
    UnitRecord record;
    UnitFacts facts;
};

// Reads the identity, the video standard and the versions of a unit in run mode, in this order:
// serial number, video standard, PCB revision, package version field, video and control firmware.
// The two that decide whether the default values are owed, the package version field and the
// control firmware version, must come whole: a control firmware version cut short throws
// USBUtils::Error("The control firmware version came incomplete."), a package field cut short
// what update/owed_defaults.h throws. Throws what the session throws.
InspectedUnit readUnit(USBUtils& usb);

// The versions the program carries and writes: the embedded records' and the program's own.
CarriedVersions carriedVersions();

// The notice of a second device: "A second device is connected and was ignored; ..." and the
// units left alone, by location (usb/units.h); empty when the session refused none, or when no
// session lives. Any thread.
std::string secondDeviceNotice();
