// The program's entry on POSIX: calls its WinMain as Windows would, with the command line
// without the program name (the arguments joined by single blanks).
#include <string>

#include "platform/win32_window.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    return WinMain(GetModuleHandleA(nullptr), nullptr, &commandLine[0], SW_SHOWDEFAULT);
}
