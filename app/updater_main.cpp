#include "app/updater_main.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "app/command_line.h"
#include "app/console_output.h"
#include "app/dialog_state.h"
#include "app/main_dialog.h"
#include "app/program_info.h"
#include "app/resources/resource.h"
#include "app/run_report.h"
#include "app/unit_list.h"
#include "app/update_settings.h"
#include "update/usbtarselupdater.h"
#include "usb/host_registry.h"
#include "usb/units.h"
#include "usb/usbutils.h"

namespace {

// Declared after the session, so that it runs first on every way out: a worker still busy
// (Exit during the inspection) ends before the session it uses goes.
struct WorkerJoin {
    WorkerJoin() = default;
    WorkerJoin(const WorkerJoin&) = delete;
    WorkerJoin& operator=(const WorkerJoin&) = delete;
    ~WorkerJoin() { joinCurrentWorker(); }
};

// The top-level lines go to standard output, unless the JSON lines have it to themselves.
std::ostream& topLevelOutput() {
    return report::jsonOnStandardOutput() ? std::cerr : std::cout;
}

void reportFatal(const std::string& text, std::exception_ptr error) {
    topLevelOutput() << "Fatal error: " << text << std::endl;
    report::errorBox(nullptr, text, "Brevicor", error);
}

// True when the run did what was asked of it.
bool runSession(HINSTANCE instance, const RecordedActions& actions,
                const ProgramRequests& requests) {
    // A script that asks nobody gets no unit it did not name when there are several.
    USBUtils session(
        bvu::usb::chooseUnit({requests.device, requests.serial}, updateSettings().batchMode));
    WorkerJoin join;
    if (!actions.empty()) {
        performDeviceActions(actions);
        report::devicesActedOn();
        return true;
    }
    const INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, mainDialogProc, 0);
    joinCurrentWorker();
    MainDialogState& state = mainDialogState();
    if (state.pendingError) {
        std::exception_ptr error = state.pendingError;
        state.pendingError = nullptr;
        std::rethrow_exception(error);
    }
    if (result == -1) {
        throw BVError("The dialog could not be created.");
    }
    return state.updateSucceeded;
}

}  // namespace

void reportTopLevelError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const USBUtils::Error& e) {
        topLevelOutput() << "USB error: " << e.what() << std::endl;
        report::errorBox(nullptr,
                         "Could not find the device using USB\n(Check that the device is properly "
                         "connected)",
                         "Brevicor", error);
    } catch (BVExBase& e) {
        reportFatal(e.message(), error);
    } catch (const std::exception& e) {
        reportFatal(e.what(), error);
    } catch (...) {
        reportFatal("Unknown error.", error);
    }
}

int runUpdater(HINSTANCE instance, const std::string& commandLine) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    // The whole command line is read before the session is opened: --help and --version need
    // none, and -batch, -json and -log hold also for a session that cannot be opened.
    ProgramRequests requests;
    RecordedActions actions;
    parseCommandLine(commandLine, requests, actions);
    if (requests.help || requests.version) {
        showProgramText(requests.help
                            ? updaterUsage()
                            : updaterVersion(USBTarselUpdater<1>().version(),
                                             USBTarselUpdater<0>().version(), bvu::kd::hostNames()),
                        "Brevicor Update Utility");
        return 0;
    }
    if (requests.list) {
        return listUnits(requests, updateSettings());
    }
#ifndef _WIN32
    // A reader that goes away (updater -batch -json | head) must not end the program in the
    // middle of a firmware download: writes to its pipe fail instead, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (requests.json) {
        connectStandardOutput();
#ifndef _WIN32
        // JSON lines on standard output leave no room for a dialog drawn on the same terminal.
        setenv("BVU_FRONTEND", "headless", 0);
#endif
    }

    RunReport::Options options;
    options.json = requests.json;
    options.logFile = requests.logFile;
    RunReport report(options);
    for (const std::string& warning : requests.warnings) report.warning(warning);
    // Nobody reads the warnings of a batch run before the device is written: a mistyped option
    // (-nomicr) would write what the user meant to leave alone. Refused before any request.
    if (updateSettings().batchMode && !requests.warnings.empty()) {
        const char* const refusal =
            "The command line has errors (above); in batch mode nothing is done. Correct it and "
            "run again.";
        std::cerr << refusal << std::endl;
        report.refused(refusal);
        report.finish(false);
        return 2;
    }
    bool succeeded = false;
    bool unitRefused = false;  // -device or -serial named no unit, or a script left it open
    try {
        // A support log that was asked for but cannot be kept ends the run before the device is
        // touched.
        if (!report.logError().empty()) {
            throw BVError(report.logError());
        }
        succeeded = runSession(instance, actions, requests);
    } catch (const bvu::usb::UnitChoiceError&) {
        unitRefused = true;
        reportTopLevelError(std::current_exception());
    } catch (...) {
        reportTopLevelError(std::current_exception());
    }
    report.finish(succeeded);
    return (updateSettings().batchMode || unitRefused) && !succeeded ? 1 : 0;
}
