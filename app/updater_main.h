// The updater's entry code, shared by WinMain and the POSIX main: the command line (--help and
// --version end the program here, without USB), the front end, the run's report (-json, -log),
// the USB session for the whole run, and the device actions or else the dialog. It is the last
// line of error handling: whatever error reaches it is reported (a line on standard output, or
// standard error with -json, and an error box) and ends the program.
//
// Returns the exit code: 0, except in batch mode, where only a completed, successful update run
// (or device actions that succeeded) gives 0 and everything else 1, so that a script can tell:
// also a session that cannot be opened and a log file that cannot be.
//
// Main thread; called once per process.
#pragma once

#include <exception>
#include <string>

class FrontEnd;
class RunReport;

int runUpdater(const std::string& commandLine);

// Reports an error that ended the program: a USB communication error as "USB error: " and its
// text with the "device not found" box; every other error, of the system's own kinds or not (out
// of memory, a library's exception), as "Fatal error: " and its text with a box that shows the
// text. The line goes to standard output, or to standard error when the JSON lines have standard
// output. Main thread.
void reportTopLevelError(std::exception_ptr error, FrontEnd& frontEnd, RunReport& report);
