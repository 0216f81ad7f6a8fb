// The update run, on a worker: the steps of an UpdatePlan in their fixed order (the control
// firmware, the default values, the calibration data, the video firmware), each reported to the
// dialog through UpdateProgress. A run that owes the default values leaves the owed-defaults mark
// on the unit before its first write and takes it away once they are programmed
// (update/owed_defaults.h), so that a run interrupted in between is finished by the next one. A
// firmware step has succeeded only when the unit reports the version it was given. The first
// error ends the run; what the run then tells the user is the presenter's to decide.
//
// Threads: runUpdate is the worker's; it reaches the device through USBUtils::instance() and the
// dialog through progress alone. It never throws.
#pragma once

#include <exception>
#include <string>

#include "app/update_plan.h"

enum class UpdateStep { Control, Defaults, Calibration, Video };

// "Updating Control Firmware", "Updating Default Values" (the default values as a step of their
// own, without the control firmware step), "Updating Calibration Data", "Updating Video
// Firmware": the step's status text and the prefix of its status lines.
const char* updateStepTitle(UpdateStep step);

// What the run tells the dialog. Every call returns once the dialog has taken it (or has ended).
class UpdateProgress {
  public:
    virtual ~UpdateProgress() = default;
    virtual void stepStarted(UpdateStep step) = 0;
    // The share of the step's current phase that is done, 0 < fraction <= 1.
    virtual void stepProgress(UpdateStep step, float fraction) = 0;
    // The text that names the phase now starting.
    virtual void stepStatus(UpdateStep step, const std::string& message) = 0;
    // The step is over: its bar goes back to 0.
    virtual void stepEnded(UpdateStep step) = 0;
    // A status text of the session's own, outside the steps' lines: why a wait grows longer
    // (Windows setting up a driver, a bootloader without one).
    virtual void notice(const std::string& text) = 0;
    // What the unit reads once a step has written it.
    virtual void controlFirmwareRead(const std::string& version) = 0;
    virtual void videoFirmwareRead(const std::string& version) = 0;
    // The serial number of a unit that was brought back from its bootloader.
    virtual void serialNumberRead(const std::string& serial) = 0;
    // What the package version field now holds, for the record: "incomplete" while the
    // owed-defaults mark is on it. shown: the dialog's field shows it too (the field given back
    // once the default values are programmed).
    virtual void packageFieldRead(const std::string& text, bool shown) = 0;
};

struct UpdateRequest {
    UpdatePlan plan;
    CarriedVersions carried;
    // What the inspection read: the versions the unit runs before the run, and the package
    // version field (the text kept under the mark, if it is there).
    UnitFacts unit;
    bool verifyControlFirmware = true;
    bool correctionGiven = false;  // the factor goes to the calibration only then
    float correctionFactor = 1.0f;
};

struct UpdateOutcome {
    std::exception_ptr error;  // null: every step of the plan succeeded
    // The error struck in the control firmware step, the one step whose interruption can leave
    // the unit without a working control firmware.
    bool inControlStep = false;
    // Every step succeeded and the unit now holds every firmware of the package: only then does
    // it get the package version.
    bool packageDue = false;
};

UpdateOutcome runUpdate(const UpdateRequest& request, UpdateProgress& progress);
