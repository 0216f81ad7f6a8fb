// The update run, on a worker: the steps of an UpdatePlan in their fixed order (the control
// firmware, the default values, the calibration data, the video firmware), each reported to the
// dialog through UpdateProgress. The first error ends the run; what the run then tells the user
// is the presenter's to decide.
//
// Threads: runUpdate is the worker's; it reaches the device through USBUtils::instance() and the
// dialog through progress alone. It never throws.
#pragma once

#include <exception>
#include <string>

#include "app/update_plan.h"

enum class UpdateStep { Control, Calibration, Video };

// "Updating Control Firmware", "Updating Calibration Data", "Updating Video Firmware": the step's
// status text and the prefix of its status lines.
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
    // What the unit reads once a step has written it.
    virtual void controlFirmwareRead(const std::string& version) = 0;
    virtual void videoFirmwareRead(const std::string& version) = 0;
    // The serial number of a unit that was brought back from its bootloader.
    virtual void serialNumberRead(const std::string& serial) = 0;
};

struct UpdateRequest {
    UpdatePlan plan;
    bool verifyControlFirmware = true;
    bool correctionGiven = false;  // the factor goes to the calibration only then
    float correctionFactor = 1.0f;
    // The unit was found without a complete control firmware: once it runs again, its serial
    // number is read for the record.
    bool readSerialAfterControl = false;
};

struct UpdateOutcome {
    std::exception_ptr error;  // null: every step of the plan succeeded
    // The error struck in the control firmware step, the one step whose interruption can leave
    // the unit without a working control firmware.
    bool inControlStep = false;
};

UpdateOutcome runUpdate(const UpdateRequest& request, UpdateProgress& progress);
