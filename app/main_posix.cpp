// The updater's entry point on POSIX: the command line as Windows would give it to WinMain, the
// arguments joined by single blanks.
#include <string>

#include "app/updater_main.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    return runUpdater(commandLine);
}
