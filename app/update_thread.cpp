#include "app/update_thread.h"

#include <exception>
#include <memory>
#include <string>

#include <boost/checked_delete.hpp>

#include "app/device_advice.h"
#include "app/messages.h"
#include "app/progress_report.h"
#include "app/resources/resource.h"
#include "app/run_report.h"
#include "app/update_settings.h"
#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

namespace {

const char* const kControlTitle = "Updating Control Firmware";
const char* const kCalibrationTitle = "Updating Calibration Data";
const char* const kVideoTitle = "Updating Video Firmware";

}  // namespace

void UpdateThread::setStatus(const char* text) {
    SendMessageA(statusBar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    report::status(text);
}

void UpdateThread::setProgress(int percent) {
    SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void UpdateThread::run() {
    const UpdateSettings& settings = updateSettings();
    std::string errorText;
    std::exception_ptr failure;  // its own text goes to the run's report
    // Only an interrupted control firmware download can leave the device without a working
    // control firmware; every other failure leaves it usable for another try.
    bool controlUpdateInProgress = false;

    auto showStep = [this](USBUpdater& updater, const char* title) {
        updater.setNotifier(std::unique_ptr<USBUpdater::Notifier>(
            new ProgressReport(GetDlgItem(dialog_, IDC_PROGRESS), statusBar_, title)));
        setStatus(title);
    };

    try {
        USBUtils& usb = USBUtils::instance();
        // While a wait grows longer for a driver (Windows), the status line says why.
        USBUtils::ScopedNotice notice(usb,
                                      [this](const std::string& text) { setStatus(text.c_str()); });
        USBTarselUpdater<1> control;
        control.setVerification(settings.verifyControlFirmware);
        // A device without a complete control firmware can do nothing else: it gets it even
        // with -nomicro, and then its default values.
        if (settings.updateControlFirmware || settings.controlFirmwareIncomplete) {
            showStep(control, kControlTitle);
            controlUpdateInProgress = true;
            control.update();
            controlUpdateInProgress = false;
            SetDlgItemTextA(dialog_, IDC_CONTROL_CURRENT, usb.controlFirmwareVersion().c_str());
            setProgress(0);
            if (settings.oldControlFirmware) {
                control.programDefaults();
            }
        }
        if (settings.calibrationMode == 1) {
            USBCalibUpdater calibration;
            if (settings.correctionGiven) {
                calibration.setCorrection(settings.correctionFactor);
            }
            showStep(calibration, kCalibrationTitle);
            calibration.update();
            setProgress(0);
        }
        USBTarselUpdater<0> video;
        if (settings.updateVideoFirmware) {
            showStep(video, kVideoTitle);
            video.update();
            SetDlgItemTextA(dialog_, IDC_VIDEO_CURRENT, usb.videoFirmwareVersion().c_str());
            setProgress(0);
        }
        setStatus("All updates complete.");
    } catch (const USBUtils::Error&) {
        failure = std::current_exception();
        errorText =
            "The update failed due to a USB communication error.\nPlease check that all cables "
            "are properly connected.";
    } catch (BVExBase& e) {
        failure = std::current_exception();
        errorText = "The update failed due to an error\n(" + e.message() + ")";
    } catch (...) {
        failure = std::current_exception();
        errorText = "The update failed due to an internal error.";
    }

    if (!errorText.empty()) {
        errorText += controlUpdateInProgress
                         ? "\n\nThe device may be in an inconsistent state.\nPlease contact "
                           "Brevicor support"
                         : "\n\nThe update may not be complete. Please un-plug\nthe device, then "
                           "re-connect it, and re-run\nthis update process";
        addUnusableDeviceAdvice(errorText);  // a driver still missing when the wait ran out
        setProgress(0);
        setStatus("Update failed.");
        report::errorBox(dialog_, errorText, "Update Error", failure);
    }
    PostMessageA(dialog_, errorText.empty() ? WM_UPDATE_OK : WM_UPDATE_FAILED, 0, 0);
}

boost::shared_ptr<BVThread::Exec> UpdateThreadFactory::create() {
    return boost::shared_ptr<UpdateThread>(new UpdateThread(dialog_, statusBar_),
                                           boost::checked_deleter<UpdateThread>());
}
