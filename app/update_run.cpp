#include "app/update_run.h"

#include <memory>

#include "app/device_check.h"
#include "update/owed_defaults.h"
#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

const char* updateStepTitle(UpdateStep step) {
    switch (step) {
        case UpdateStep::Control:
            return "Updating Control Firmware";
        case UpdateStep::Defaults:
            return "Updating Default Values";
        case UpdateStep::Calibration:
            return "Updating Calibration Data";
        case UpdateStep::Video:
            return "Updating Video Firmware";
    }
    return "";
}

namespace {

// An updater's notices, as the step's.
class StepNotifier : public USBUpdater::Notifier {
  public:
    StepNotifier(UpdateProgress& progress, UpdateStep step) : progress_(progress), step_(step) {}
    void progress(float fraction) override { progress_.stepProgress(step_, fraction); }
    void status(const std::string& message) override { progress_.stepStatus(step_, message); }

  private:
    UpdateProgress& progress_;
    const UpdateStep step_;
};

void begin(USBUpdater& updater, UpdateStep step, UpdateProgress& progress) {
    updater.setNotifier(std::unique_ptr<USBUpdater::Notifier>(new StepNotifier(progress, step)));
    progress.stepStarted(step);
}

// A step has succeeded when the unit reports the version it was given: a version read back cut
// short, or another one, leaves the run without proof of what the unit holds.
void checkWritten(const char* firmware, const std::string& reported, const std::string& written) {
    if (reported != written) {
        throw BVError(std::string("The device reports ") + firmware + " firmware '" + reported +
                      "' after " + written + " was written.");
    }
}

}  // namespace

UpdateOutcome runUpdate(const UpdateRequest& request, UpdateProgress& progress) {
    UpdateOutcome outcome;
    const UpdatePlan& plan = request.plan;
    const UnitFacts& unit = request.unit;
    try {
        USBUtils& usb = USBUtils::instance();
        // While a wait grows longer for a driver (Windows), the status line says why.
        USBUtils::ScopedNotice notice(
            usb, [&progress](const std::string& text) { progress.notice(text); });
        USBTarselUpdater<1> control;
        control.setVerification(request.verifyControlFirmware);
        // What the unit holds as the run goes on.
        std::string controlNow = unit.control;
        std::string videoNow = unit.video;

        // Before the first write: from here until the default values are programmed, the unit
        // itself says that they are owed, so that a run interrupted after its new control
        // firmware runs is finished by the next one.
        if (plan.markDefaults) {
            bvu::owed_defaults::mark(usb, unit.package);
            progress.packageFieldRead(kPackageIncomplete, false);
        }
        bool defaultsDue = plan.defaults == UpdatePlan::Defaults::Yes;
        std::string packageKept = unit.package;
        if (plan.control) {
            begin(control, UpdateStep::Control, progress);
            outcome.inControlStep = true;
            control.update();
            outcome.inControlStep = false;
            controlNow = usb.controlFirmwareVersion();
            progress.controlFirmwareRead(controlNow);
            checkWritten("control", controlNow, request.carried.control);
            if (unit.controlIncomplete) {
                // Recovered from its bootloader: now the unit can tell who it is, and whether it
                // owes its default values.
                progress.serialNumberRead(usb.serialNumber());
            }
            progress.stepEnded(UpdateStep::Control);
            if (plan.defaults == UpdatePlan::Defaults::IfOwed) {
                const bvu::owed_defaults::PackageField field =
                    bvu::owed_defaults::readPackageField(usb);
                progress.packageFieldRead(field.marked ? kPackageIncomplete : field.text, false);
                defaultsDue = recoveredUnitOwesDefaults(field.marked, field.text);
                packageKept = field.text;
            }
        }
        if (defaultsDue) {
            // Within the control firmware step, or a step of its own.
            const UpdateStep step = plan.control ? UpdateStep::Control : UpdateStep::Defaults;
            if (!plan.control)
                begin(control, step, progress);
            control.programDefaults();
            bvu::owed_defaults::clear(usb, packageKept);
            progress.packageFieldRead(packageKept, true);
            progress.stepEnded(step);
        }
        if (plan.calibration) {
            USBCalibUpdater calibration;
            if (request.correctionGiven) {
                calibration.setCorrection(request.correctionFactor);
            }
            begin(calibration, UpdateStep::Calibration, progress);
            calibration.update();
            progress.stepEnded(UpdateStep::Calibration);
        }
        USBTarselUpdater<0> video;
        if (plan.video) {
            begin(video, UpdateStep::Video, progress);
            video.update();
            videoNow = usb.videoFirmwareVersion();
            progress.videoFirmwareRead(videoNow);
            checkWritten("video", videoNow, request.carried.video);
            progress.stepEnded(UpdateStep::Video);
        } else if (unit.controlIncomplete) {
            // Found in its bootloader, the unit could not tell its video firmware then.
            videoNow = usb.videoFirmwareVersion();
            progress.videoFirmwareRead(videoNow);
        }
        outcome.packageDue = packageVersionDue(controlNow, videoNow, request.carried);
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}
