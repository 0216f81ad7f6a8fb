// The updater's front end for scripts (POSIX, standard input or output not a terminal): the
// dialog is not drawn; its events become lines on standard error, and a script on standard input
// plays the person (script_commands.h).
//
// Lines (texts escaped, see escapeText):
//   status: <text>                 a status text was set
//   progress: <step>: <n>%         the progress bar moved into another tenth (0-9, ..., 100)
//   box: <caption>: <text>         a box opened
//   answer: <caption>: <button>    it was answered (OK, Yes, No)
//   device: before the update: ... / device: after the update: ...
//                                  what the run read from the unit (not with -json)
//   detail: <text>                 after an error box, the error's own text (not with -json)
//   script: <message>              the script's notices: bad lines, ignored clicks, time-outs,
//                                  the end of input ending the dialog
//
// Answers: a box takes the next queued answer (an "answer" line). With none queued it waits while
// the script is reading its next line; otherwise, or when the queued answer does not fit the box
// (a script: line says so), it takes its default (No for a question). When the script has ended
// (at the end of standard input, or after a wait's time-out; at once with a terminal there), the
// dialog is ended as by Exit as soon as it is idle (presenter's idle()).
//
// Threads: the dialog's loop runs on the main thread; a reader thread of its own reads standard
// input, and wake() may come from any thread.
#pragma once

#include <memory>

#include "app/dialog_view.h"

std::unique_ptr<FrontEnd> makeScriptFrontEnd();
