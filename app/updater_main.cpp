#include "app/updater_main.h"

#include <exception>
#include <iostream>

#include "app/command_line.h"
#include "app/dialog_state.h"
#include "app/main_dialog.h"
#include "app/resources/resource.h"
#include "app/update_settings.h"
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

void reportFatal(const std::string& text) {
    std::cout << "Fatal error: " << text << std::endl;
    MessageBoxA(nullptr, text.c_str(), "Brevicor", MB_ICONERROR);
}

// True when the run did what was asked of it.
bool runSession(HINSTANCE instance, const std::string& commandLine) {
    USBUtils session;
    WorkerJoin join;
    if (parseCommandLine(commandLine)) {
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
        std::cout << "USB error: " << e.what() << std::endl;
        MessageBoxA(nullptr,
                    "Could not find the device using USB\n(Check that the device is properly "
                    "connected)",
                    "Brevicor", MB_ICONERROR);
    } catch (BVExBase& e) {
        reportFatal(e.message());
    } catch (const std::exception& e) {
        reportFatal(e.what());
    } catch (...) {
        reportFatal("Unknown error.");
    }
}

int runUpdater(HINSTANCE instance, const std::string& commandLine) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    bool succeeded = false;
    try {
        succeeded = runSession(instance, commandLine);
    } catch (...) {
        reportTopLevelError(std::current_exception());
    }
    return updateSettings().batchMode && !succeeded ? 1 : 0;
}
