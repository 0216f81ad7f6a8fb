#include "app/console_output.h"

#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <windows.h>

namespace {

bool leadsSomewhere(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace

bool connectStandardOutput() {
    static const bool connected = [] {
        if (leadsSomewhere(STD_OUTPUT_HANDLE)) {
            return true;
        }
        // Looked at before attaching: the console gives the process new handles.
        const bool errorsRedirected = leadsSomewhere(STD_ERROR_HANDLE);
        if (!AttachConsole(ATTACH_PARENT_PROCESS) ||
            std::freopen("CONOUT$", "w", stdout) == nullptr) {
            return false;
        }
        // Warnings then reach the same console, unless they were redirected elsewhere.
        if (!errorsRedirected) {
            std::freopen("CONOUT$", "w", stderr);
        }
        return true;
    }();
    return connected;
}

#else

bool connectStandardOutput() {
    return true;
}

#endif

void showProgramText(const std::string& text, const char* caption) {
    if (connectStandardOutput()) {
        std::cout << text << std::flush;
        return;
    }
#ifdef _WIN32
    MessageBoxA(nullptr, text.c_str(), caption, MB_OK | MB_ICONINFORMATION);
#else
    (void)caption;
#endif
}
