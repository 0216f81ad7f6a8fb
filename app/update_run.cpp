#include "app/update_run.h"

#include <memory>

#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

const char* updateStepTitle(UpdateStep step) {
    switch (step) {
        case UpdateStep::Control:
            return "Updating Control Firmware";
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

}  // namespace

UpdateOutcome runUpdate(const UpdateRequest& request, UpdateProgress& progress) {
    UpdateOutcome outcome;
    const UpdatePlan& plan = request.plan;
    try {
        USBUtils& usb = USBUtils::instance();
        USBTarselUpdater<1> control;
        control.setVerification(request.verifyControlFirmware);
        if (plan.control) {
            begin(control, UpdateStep::Control, progress);
            outcome.inControlStep = true;
            control.update();
            outcome.inControlStep = false;
            progress.controlFirmwareRead(usb.controlFirmwareVersion());
            if (request.readSerialAfterControl) {
                progress.serialNumberRead(usb.serialNumber());
            }
            progress.stepEnded(UpdateStep::Control);
            if (plan.defaults == UpdatePlan::Defaults::Yes) {
                control.programDefaults();
            }
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
            progress.videoFirmwareRead(usb.videoFirmwareVersion());
            progress.stepEnded(UpdateStep::Video);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}
