#include "app/updater_main.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <vector>

#include "app/command_line.h"
#include "app/console_output.h"
#include "app/device_check.h"
#include "app/dialog_presenter.h"
#include "app/front_end.h"
#include "app/program_info.h"
#include "app/run_report.h"
#include "app/unit_list.h"
#include "app/update_settings.h"
#include "update/usbtarselupdater.h"
#include "usb/host_registry.h"
#include "usb/units.h"
#include "usb/usbutils.h"

namespace {

// The top-level lines go to standard output, unless the JSON lines have it to themselves.
std::ostream& topLevelOutput(const RunReport& report) {
    return report.json() ? std::cerr : std::cout;
}

// An error box outside the dialog: with -json its default answer without showing it.
void errorBox(FrontEnd& frontEnd, RunReport& report, const std::string& text,
              std::exception_ptr error) {
    Box box;
    box.kind = Box::Kind::Error;
    box.caption = "Brevicor";
    box.text = text;
    report.box(box, report.json() ? box.defaultAnswer() : frontEnd.showBox(box));
    report.error(text, error);
    if (!report.json()) {
        frontEnd.errorDetail(describeError(error).detail);
    }
}

void reportFatal(const std::string& text, std::exception_ptr error, FrontEnd& frontEnd,
                 RunReport& report) {
    topLevelOutput(report) << "Fatal error: " << text << std::endl;
    errorBox(frontEnd, report, text, error);
}

// True when the run did what was asked of it.
bool runSession(const RecordedActions& actions, const ProgramRequests& requests, FrontEnd& frontEnd,
                RunReport& report) {
    // A script that asks nobody gets no unit it did not name when there are several.
    USBUtils session(
        bvu::usb::chooseUnit({requests.device, requests.serial}, updateSettings().batchMode));
    if (!actions.empty()) {
        performDeviceActions(actions);
        const std::string notice = secondDeviceNotice();
        if (!notice.empty()) {
            std::cerr << notice << std::endl;
            report.status(notice);
        }
        return true;
    }
    // Declared after the session, so that its worker ends before the session goes.
    DialogPresenter presenter(updateSettings(), report.json(), report, frontEnd);
    frontEnd.runDialog(presenter);
    presenter.finish();
    return presenter.updateSucceeded();
}

}  // namespace

void reportTopLevelError(std::exception_ptr error, FrontEnd& frontEnd, RunReport& report) {
    try {
        std::rethrow_exception(error);
    } catch (const USBUtils::Error& e) {
        topLevelOutput(report) << "USB error: " << e.what() << std::endl;
        errorBox(frontEnd, report,
                 "Could not find the device using USB\n(Check that the device is properly "
                 "connected)",
                 error);
    } catch (BVExBase& e) {
        reportFatal(e.message(), error, frontEnd, report);
    } catch (const std::exception& e) {
        reportFatal(e.what(), error, frontEnd, report);
    } catch (...) {
        reportFatal("Unknown error.", error, frontEnd, report);
    }
}

int runUpdater(const std::string& commandLine) {
    // The whole command line is read before the session is opened: --help and --version need
    // none, and -batch, -json and -log hold also for a session that cannot be opened.
    ProgramRequests requests;
    RecordedActions actions;
    RunReport::Options options;
    options.options = tokenizeCommandLine(commandLine);
    parseCommandLine(commandLine, requests, actions);
    options.warnings = requests.warnings;
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
    }
    std::unique_ptr<FrontEnd> frontEnd = makeFrontEnd(requests.json);

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
        succeeded = runSession(actions, requests, *frontEnd, report);
    } catch (const bvu::usb::UnitChoiceError&) {
        unitRefused = true;
        reportTopLevelError(std::current_exception(), *frontEnd, report);
    } catch (...) {
        reportTopLevelError(std::current_exception(), *frontEnd, report);
    }
    report.finish(succeeded);
    return (updateSettings().batchMode || unitRefused) && !succeeded ? 1 : 0;
}
