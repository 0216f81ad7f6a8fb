// The updater's entry code, shared by WinMain and the POSIX main: common controls, the USB
// session for the whole run, the command line, and the main dialog unless a device action
// replaced it. It is the last line of error handling: whatever error reaches it is reported
// (a line on standard output and an error box) and ends the program.
//
// Returns the exit code: 0, except in batch mode, where only a completed, successful update run
// (or a device action that succeeded) gives 0 and everything else 1, so that a script can tell.
//
// Main thread (the dialog's GUI thread); called once per process.
#pragma once

#include <string>

#include "app/window_api.h"

int runUpdater(HINSTANCE instance, const std::string& commandLine);
