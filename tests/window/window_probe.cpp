// A small program on the window layer for the process tests: the IDD_UPDATE dialog with a worker
// that reports back and a question, driven through the headless front end's standard input.
#include <cstdio>
#include <string>

#include "app/resources/resource.h"
#include "platform/clock.h"
#include "platform/win32_window.h"

namespace {

HWND g_status = nullptr;

void setStatus(HWND window, const char* text) {
    SendMessageA(window, SB_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

unsigned __stdcall worker(void* dialog) {
    bvu::clock::sleepMs(100);
    setStatus(g_status, "Worker done.");
    PostMessageA(static_cast<HWND>(dialog), WM_USER + 1, 0, 0);
    return 0;
}

INT_PTR CALLBACK probeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            g_status = CreateWindowExA(0, STATUSCLASSNAMEA, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0,
                                       0, dialog, reinterpret_cast<HMENU>(IDC_STATUSBAR),
                                       GetModuleHandleA(nullptr), nullptr);
            setStatus(g_status, "Probe ready.");
            CloseHandle(
                reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, worker, dialog, 0, nullptr)));
            return TRUE;
        }
        case WM_USER + 1: {
            int answer = MessageBoxA(dialog, "Carry on?\nReally?", "Probe",
                                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
            setStatus(g_status, answer == IDYES ? "Answer: Yes" : "Answer: No");
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_NTSC)
                setStatus(g_status, "NTSC chosen");
            if (LOWORD(wParam) == IDC_EXIT)
                EndDialog(dialog, 1000);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    std::printf("probe: command line '%s'\n", commandLine);
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, probeProc, 0);
    std::printf("probe: dialog ended with %ld\n", static_cast<long>(result));
    return 0;
}
