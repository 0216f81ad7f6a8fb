#include "app/main_dialog.h"

#include <exception>
#include <string>

#include <boost/checked_delete.hpp>

#include "app/init_thread.h"
#include "app/main_dialog_handlers.h"
#include "app/messages.h"
#include "app/program_version.h"
#include "app/resources/resource.h"
#include "app/run_report.h"
#include "app/update_settings.h"
#include "app/update_thread.h"
#include "usb/usbutils.h"

namespace main_dialog {

void setStatusText(const MainDialogState& state, const char* text) {
    SendMessageA(state.statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    report::status(text);
}

void enableVideoStandardButtons(HWND dialog, bool enable) {
    EnableWindow(GetDlgItem(dialog, IDC_NTSC), enable ? TRUE : FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_PAL), enable ? TRUE : FALSE);
}

namespace {

void startWorker(MainDialogState& state, BVThread::ExecFactory& factory) {
    state.currentWorker.reset(new BVThread(factory), boost::checked_deleter<BVThread>());
}

INT_PTR onInitDialog(HWND dialog, MainDialogState& state) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    HANDLE bigIcon = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, LR_SHARED);
    HANDLE smallIcon = LoadImageA(module, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_SHARED);
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    state.waitCursor = LoadCursorA(nullptr, IDC_WAIT);

    SetWindowTextA(dialog, ("Brevicor Update Utility " + programVersionText()).c_str());
    for (int id : {IDC_SERIAL, IDC_FIRMWARE_VERSION, IDC_VIDEO_CURRENT, IDC_VIDEO_UPDATE,
                   IDC_CONTROL_CURRENT, IDC_CONTROL_UPDATE, IDC_PCB_REVISION}) {
        SetDlgItemTextA(dialog, id, "");
    }
    HWND progressBar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageA(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(progressBar, PBM_SETPOS, 0, 0);
    EnableWindow(GetDlgItem(dialog, IDC_UPDATE), FALSE);
    // The inspection worker is about to use the device.
    enableVideoStandardButtons(dialog, false);

    state.statusBar =
        CreateWindowExA(0, "msctls_statusbar32", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, dialog,
                        reinterpret_cast<HMENU>(IDC_STATUSBAR), module, nullptr);
    int parts[1] = {-1};
    SendMessageA(state.statusBar, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
    setStatusText(state, "Connecting to USB device.");

    BVSimpleThreadExecFactory<InitThread, HWND> factory(dialog);
    startWorker(state, factory);
    return TRUE;
}

INT_PTR onUpdateCommand(HWND dialog, MainDialogState& state) {
    // Once per program run, and only when the inspection offered it: a click and batch mode's
    // own posted command may both arrive.
    if (!state.updateOffered || state.updateStarted) {
        return TRUE;
    }
    state.updateStarted = true;
    EnableWindow(GetDlgItem(dialog, IDC_UPDATE), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_EXIT), FALSE);
    enableVideoStandardButtons(dialog, false);
    state.savedCursor = SetCursor(state.waitCursor);
    state.busy = true;
    UpdateThreadFactory factory(dialog, state.statusBar);
    startWorker(state, factory);
    return TRUE;
}

INT_PTR onCommand(HWND dialog, MainDialogState& state, USBUtils& usb, WPARAM wParam) {
    switch (LOWORD(wParam)) {
        case IDC_EXIT:
            // Not while the update runs (the button is disabled; a posted command is refused).
            if (!state.busy) {
                EndDialog(dialog, static_cast<INT_PTR>(wParam));
            }
            return TRUE;
        case IDC_UPDATE:
            return onUpdateCommand(dialog, state);
        case IDC_NTSC:
            if (!state.currentWorker) {
                usb.setNTSC();
            }
            return TRUE;
        case IDC_PAL:
            if (!state.currentWorker) {
                usb.setPAL();
            }
            return TRUE;
        default:
            // IDCANCEL included: Escape and the close box do not end the dialog.
            return TRUE;
    }
}

INT_PTR onUpdateEnded(HWND dialog, MainDialogState& state, USBUtils& usb, bool succeeded,
                      bool packageDue) {
    state.busy = false;
    SetCursor(state.savedCursor);
    if (succeeded) {
        // The package version says that the unit holds this package's firmware: a run that left
        // older firmware on it (-nomicro, -nofpga) leaves the field as it was.
        if (packageDue) {
            usb.setFirmwareVersion(programVersionText());
            SetDlgItemTextA(dialog, IDC_FIRMWARE_VERSION, programVersionText().c_str());
        } else {
            setStatusText(state,
                          ("All updates complete. The package version was left as it was: the "
                           "device does not hold all the firmware of package " +
                           programVersionText() + ".")
                              .c_str());
        }
        state.updateSucceeded = true;
    }
    joinCurrentWorker();
    report::deviceUpdated(dialog);
    EnableWindow(GetDlgItem(dialog, IDC_EXIT), TRUE);
    // A device whose control firmware could not be written back waits in its bootloader, where
    // the video standard cannot be set.
    enableVideoStandardButtons(dialog, succeeded || !updateSettings().unit.controlIncomplete);
    if (updateSettings().batchMode) {
        PostMessageA(dialog, WM_COMMAND, IDC_EXIT, 0);
    }
    return FALSE;
}

INT_PTR dispatch(HWND dialog, UINT message, WPARAM wParam, MainDialogState& state, USBUtils& usb) {
    switch (message) {
        case WM_INITDIALOG:
            return onInitDialog(dialog, state);
        case WM_SETCURSOR:
            if (state.busy) {
                SetCursor(state.waitCursor);
                // On Windows the message's own result must say "handled" as well, or the
                // control under the pointer puts its cursor back.
                SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            return onCommand(dialog, state, usb, wParam);
        case WM_INIT_OK:
            return onInitOk(dialog, state, usb);
        case WM_INIT_FAILED:
            return onInitFailed(dialog, state);
        case WM_INIT_INCOMPLETE:
            return onInitIncomplete(dialog, state);
        case WM_UPDATE_OK:
            return onUpdateEnded(dialog, state, usb, true, wParam == 1);
        case WM_UPDATE_FAILED:
            return onUpdateEnded(dialog, state, usb, false, false);
        default:
            return FALSE;
    }
}

}  // namespace
}  // namespace main_dialog

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    MainDialogState& state = mainDialogState();
    try {
        USBUtils& usb = USBUtils::instance();
        return main_dialog::dispatch(dialog, message, wParam, state, usb);
    } catch (...) {
        // C++ exceptions must not unwind through the window system's frames: keep the first one
        // and end the dialog; the entry code raises it again.
        if (!state.pendingError) {
            state.pendingError = std::current_exception();
            EndDialog(dialog, 0);
        }
        return TRUE;
    }
}
