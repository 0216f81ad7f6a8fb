#include "app/update_thread.h"

#include <exception>
#include <memory>
#include <string>

#include <boost/checked_delete.hpp>

#include "app/device_advice.h"
#include "app/messages.h"
#include "app/program_version.h"
#include "app/progress_report.h"
#include "app/resources/resource.h"
#include "app/run_report.h"
#include "app/update_settings.h"
#include "update/owed_defaults.h"
#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

namespace {

const char* const kControlTitle = "Updating Control Firmware";
const char* const kDefaultsTitle = "Updating Default Values";
const char* const kCalibrationTitle = "Updating Calibration Data";
const char* const kVideoTitle = "Updating Video Firmware";

// A step has succeeded when the unit reports the version it was given: a version read back cut
// short, or another one, leaves the run without proof of what the unit holds.
void checkWritten(const char* firmware, const std::string& reported, const std::string& written) {
    if (reported != written) {
        throw BVError(std::string("The device reports ") + firmware + " firmware '" + reported +
                      "' after " + written + " was written.");
    }
}

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
    const UnitFacts& unit = settings.unit;
    std::string errorText;
    std::exception_ptr failure;  // its own text goes to the run's report
    // Only an interrupted control firmware download can leave the device without a working
    // control firmware; every other failure leaves it usable for another try.
    bool controlUpdateInProgress = false;
    // Whether the unit holds every firmware of the package at the end: only then does it get
    // the package version (the dialog writes it on WM_UPDATE_OK).
    bool packageDue = false;

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
        USBTarselUpdater<0> video;
        const CarriedVersions carried{control.version(), video.version(), programVersionText()};
        const UpdatePlan plan = planUpdate(settings, unit, carried);
        // What the unit holds as the run goes on.
        std::string controlNow = unit.control;
        std::string videoNow = unit.video;
        control.setVerification(settings.verifyControlFirmware);

        // Before the first write: from here until the default values are programmed, the unit
        // itself says that they are owed, so that a run interrupted after its new control
        // firmware runs is finished by the next one.
        if (plan.markDefaults)
            bvu::owed_defaults::mark(usb, unit.package);
        bool defaultsDue = plan.defaults == UpdatePlan::Defaults::Yes;
        std::string packageKept = unit.package;
        if (plan.control) {
            showStep(control, kControlTitle);
            controlUpdateInProgress = true;
            control.update();
            controlUpdateInProgress = false;
            controlNow = usb.controlFirmwareVersion();
            SetDlgItemTextA(dialog_, IDC_CONTROL_CURRENT, controlNow.c_str());
            checkWritten("control", controlNow, carried.control);
            setProgress(0);
            if (plan.defaults == UpdatePlan::Defaults::IfOwed) {
                // Recovered from its bootloader: the field tells now that the unit runs again.
                const bvu::owed_defaults::PackageField field =
                    bvu::owed_defaults::readPackageField(usb);
                defaultsDue = recoveredUnitOwesDefaults(field.marked, field.text);
                packageKept = field.text;
            }
        }
        if (defaultsDue) {
            if (!plan.control)
                showStep(control, kDefaultsTitle);
            control.programDefaults();
            bvu::owed_defaults::clear(usb, packageKept);
            SetDlgItemTextA(dialog_, IDC_FIRMWARE_VERSION, packageKept.c_str());
            setProgress(0);
        }
        if (plan.calibration) {
            USBCalibUpdater calibration;
            if (settings.correctionGiven) {
                calibration.setCorrection(settings.correctionFactor);
            }
            showStep(calibration, kCalibrationTitle);
            calibration.update();
            setProgress(0);
        }
        if (plan.video) {
            showStep(video, kVideoTitle);
            video.update();
            videoNow = usb.videoFirmwareVersion();
            SetDlgItemTextA(dialog_, IDC_VIDEO_CURRENT, videoNow.c_str());
            checkWritten("video", videoNow, carried.video);
            setProgress(0);
        } else if (unit.controlIncomplete) {
            // Found in its bootloader, the unit could not tell its video firmware then.
            videoNow = usb.videoFirmwareVersion();
            SetDlgItemTextA(dialog_, IDC_VIDEO_CURRENT, videoNow.c_str());
        }
        packageDue = packageVersionDue(controlNow, videoNow, carried);
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
        // An interrupted control firmware update leaves the start-up bit on the bootloader, and
        // the next run finds the unit there and finishes the update.
        errorText += controlUpdateInProgress
                         ? "\n\nThe device may be in an inconsistent state.\nPlease contact "
                           "Brevicor support\n\nTo finish the update, unplug the device, plug it "
                           "in again\nand run the update again."
                         : "\n\nThe update may not be complete. Please un-plug\nthe device, then "
                           "re-connect it, and re-run\nthis update process";
        addUnusableDeviceAdvice(errorText);  // a driver still missing when the wait ran out
        setProgress(0);
        setStatus("Update failed.");
        report::errorBox(dialog_, errorText, "Update Error", failure);
    }
    PostMessageA(dialog_, errorText.empty() ? WM_UPDATE_OK : WM_UPDATE_FAILED, packageDue ? 1 : 0,
                 0);
}

boost::shared_ptr<BVThread::Exec> UpdateThreadFactory::create() {
    return boost::shared_ptr<UpdateThread>(new UpdateThread(dialog_, statusBar_),
                                           boost::checked_deleter<UpdateThread>());
}
