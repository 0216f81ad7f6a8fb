// The dialog's half of the device inspection, on the GUI thread, after the inspection worker
// has ended (it is joined before the device is read, so the two never use the session at once).
#include <string>

#include "app/main_dialog_handlers.h"
#include "app/program_version.h"
#include "app/resources/resource.h"
#include "app/run_report.h"
#include "app/update_plan.h"
#include "app/update_question.h"
#include "app/update_settings.h"
#include "update/owed_defaults.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

namespace main_dialog {

namespace {

// Shows the versions the program carries and fills them into versions.
void showCarriedVersions(HWND dialog, InspectedVersions& versions) {
    {
        USBTarselUpdater<0> video;
        USBTarselUpdater<1> control;
        versions.carriedVideo = video.version();
        versions.carriedControl = control.version();
    }
    SetDlgItemTextA(dialog, IDC_VIDEO_UPDATE, versions.carriedVideo.c_str());
    SetDlgItemTextA(dialog, IDC_CONTROL_UPDATE, versions.carriedControl.c_str());
}

// Enables Update with this status text; batch mode presses it at once.
void offerUpdate(HWND dialog, MainDialogState& state, const char* status) {
    state.updateOffered = true;
    // Enabled before the status says so, so that whoever reads the status can press it.
    EnableWindow(GetDlgItem(dialog, IDC_UPDATE), TRUE);
    setStatusText(state, status);
    if (updateSettings().batchMode) {
        PostMessageA(dialog, WM_COMMAND, IDC_UPDATE, 0);
    }
}

}  // namespace

INT_PTR onInitOk(HWND dialog, MainDialogState& state, USBUtils& usb) {
    joinCurrentWorker();
    enableVideoStandardButtons(dialog, true);

    SetDlgItemTextA(dialog, IDC_SERIAL, ("3014-00" + usb.serialNumber()).c_str());
    SendMessageA(GetDlgItem(dialog, usb.isNTSC() ? IDC_NTSC : IDC_PAL), BM_SETCHECK, BST_CHECKED,
                 0);
    SetDlgItemTextA(dialog, IDC_PCB_REVISION, usb.pcbRevision().c_str());

    UpdateSettings& settings = updateSettings();
    UnitFacts& unit = settings.unit;
    unit = UnitFacts();
    // Whether the default values are owed is decided on these two: neither may be cut short.
    const bvu::owed_defaults::PackageField package = bvu::owed_defaults::readPackageField(usb);
    unit.defaultsOwed = package.marked;
    unit.package = package.text;
    // A unit in the middle of an update holds no package version.
    SetDlgItemTextA(dialog, IDC_FIRMWARE_VERSION,
                    package.marked ? kPackageIncomplete : package.text.c_str());
    unit.video = usb.videoFirmwareVersion();
    SetDlgItemTextA(dialog, IDC_VIDEO_CURRENT, unit.video.c_str());
    bool complete = false;
    unit.control = usb.controlFirmwareVersion(&complete);
    SetDlgItemTextA(dialog, IDC_CONTROL_CURRENT, unit.control.c_str());
    if (!complete)
        throw USBUtils::Error("The control firmware version came incomplete.");

    InspectedVersions versions;
    // The questions about the package version do not concern a unit whose update is unfinished.
    versions.package = package.marked ? std::string() : package.text;
    versions.video = unit.video;
    versions.control = unit.control;
    versions.program = programVersionText();
    showCarriedVersions(dialog, versions);

    bool updatesOffered = true;
    if (!settings.batchMode) {
        const std::string question = inspectionQuestion(versions);
        if (!question.empty() &&
            report::messageBox(dialog, question, "Confirm Update",
                               MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
            updatesOffered = false;
        }
    }

    const UpdatePlan plan = planUpdate(
        settings, unit, {versions.carriedControl, versions.carriedVideo, versions.program});
    if (updatesOffered) {
        offerUpdate(dialog, state,
                    unit.defaultsOwed && plan.defaults == UpdatePlan::Defaults::Yes
                        ? "The last update did not program the default values. Press Update to "
                          "finish it."
                        : "Ready to perform updates.");
    } else {
        setStatusText(state, "No updates to perform.");
    }
    report::deviceInspected(dialog, state.statusBar);
    return TRUE;
}

INT_PTR onInitIncomplete(HWND dialog, MainDialogState& state) {
    joinCurrentWorker();
    // The device waits in its bootloader, which can tell neither its identity nor its versions
    // nor its video standard: those fields stay empty, and NTSC and PAL stay disabled (their
    // requests need the run-mode device).
    SetDlgItemTextA(dialog, IDC_CONTROL_CURRENT, "none");
    InspectedVersions versions;
    showCarriedVersions(dialog, versions);

    UpdateSettings& settings = updateSettings();
    // Whether its default values are owed is known once its control firmware runs again.
    settings.unit = UnitFacts();
    settings.unit.controlIncomplete = true;
    // No question: nothing but the update brings such a device back.
    offerUpdate(dialog, state,
                settings.updateControlFirmware
                    ? "The control firmware is incomplete. Press Update to write it again."
                    : "The control firmware is incomplete. Press Update to write it again. It is "
                      "written also with -nomicro.");
    report::deviceInspected(dialog, state.statusBar);
    return TRUE;
}

INT_PTR onInitFailed(HWND dialog, MainDialogState& state) {
    joinCurrentWorker();
    enableVideoStandardButtons(dialog, true);
    setStatusText(state, "No updates possible due to errors.");
    // A script has nobody to press Exit: end as after a failed update.
    if (updateSettings().batchMode) {
        PostMessageA(dialog, WM_COMMAND, IDC_EXIT, 0);
    }
    return TRUE;
}

}  // namespace main_dialog
