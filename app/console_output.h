// Standard output of the updater for what a person or a script asked for: --help, --version and
// the -json lines.
//
// On Windows the updater is a GUI program without a console of its own: its standard output
// leads somewhere only when the caller redirected it (a file, a pipe). Otherwise it is connected
// to the console of the parent process (the command prompt that started it), when there is one.
#pragma once

#include <string>

// True when standard output leads somewhere (always on POSIX). Main thread, before anything is
// written to standard output.
bool connectStandardOutput();

// Writes text to standard output when connectStandardOutput() succeeds; otherwise shows it in a
// message box with the caption (and waits until it is closed). Main thread.
void showProgramText(const std::string& text, const char* caption);
