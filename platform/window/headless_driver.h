// The headless front end of the POSIX window layer, and the interface through which tests (in
// process) and a script on standard input (for process tests) drive the dialog without a person.
//
// Output: one line on standard error for each of these events (texts escaped: backslash as \\,
// line break as \n, carriage return as \r, tab as \t, other control characters as \xNN):
//   status: <text>                 the status bar shows a new text in part 0 (status[<n>]: part n)
//   progress: <n>%                 the progress bar moved into another tenth (0-9, 10-19, ..., 100)
//   progress: <label>: <n>%        the same, for a bar with a label (its window text)
//   box: <caption>: <text>         a message box opened
//   answer: <caption>: <button>    it was answered (OK, Cancel, Yes, No, Abort, Retry, Ignore...)
//   script: <message>              notices of the input script: errors, ignored clicks, time-outs,
//                                  the end of input ending the dialog
//
// Answers: a box takes the next queued answer (queueAnswer, or a script's "answer" line). With
// none queued it waits while more may come (boxes are held, or the script is reading its next
// line); otherwise it takes its default button (MB_DEFBUTTONn: a Yes/No box with MB_DEFBUTTON2
// is answered No). A queued answer that is not one of the box's buttons gives the default and a
// script: line.
//
// The script (standard input, when it is not a terminal) has one command a line; blank lines and
// lines starting with # are skipped:
//   answer <button>       queue an answer: yes, no, ok, cancel, abort, retry, ignore, tryagain,
//                         continue, or default
//   click <id>            press control <id> of the dialog (waiting for the dialog to be open); a
//                         disabled control, or a dialog behind its own box, ignores the press
//   close                 the title bar's close command (the dialog receives IDCANCEL)
//   escape                the Escape key (IDCANCEL)
//   wait-status <text>    wait until the status bar has shown <text> since the last wait-status
//                         that matched (a final * matches any rest)
//   wait-enabled <id>     wait until control <id> is enabled (wait-disabled: disabled)
//   timeout <seconds>     time-out of the waits, nominal seconds on the clock (default 600)
// A bad line is reported and skipped; a wait that times out is reported and ends the script.
// When the script ends, so does the input: the dialog is then ended as by Exit (WM_COMMAND with
// the program's end-of-input command, see resource_table.h) as soon as it is idle: no worker that
// its thread started runs, no box is open and nothing is queued for it. With a terminal on standard
// input there is no script, and the input counts as ended from the start.
//
// Threads: all functions may be called from any thread except where noted; the waiting ones must
// not be called on the dialog's thread. Time-outs are nominal milliseconds on the clock.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/window/core.h"
#include "platform/window/window_state.h"

namespace bvu {
namespace window {
namespace headless {

// Makes the headless front end the process's front end, without a script on standard input;
// boxes take their default unless answers are queued or boxes are held. Call before the first
// dialog or box. Resets the state below (answers, holding, status history, end of input).
void useForTests();

// Where the output lines go (without line end); empty: standard error. The sink is called
// without any lock held, from whichever thread caused the line, and must be thread-safe.
void setOutputForTests(std::function<void(const std::string& line)> sink);

// Answers.
void queueAnswer(int button);  // IDYES, IDNO...; 0 for the box's default button
void holdBoxes(bool hold);     // true: a box without a queued answer waits for answerBox
bool waitForBox(uint32_t timeoutMs, BoxView* out);
// Waits for an unanswered box and answers the oldest; button 0 chooses its default button.
bool answerBox(int button, uint32_t timeoutMs);
std::vector<BoxView> openBoxes();

// The dialog.
HWND waitForDialog(uint32_t timeoutMs);
bool waitForDialogEnd(uint32_t timeoutMs);
Core::Click click(int id);  // a person's click; returns once the dialog has handled it
bool close();               // the title bar's close command; false when it could not be given
bool escape();              // the Escape key
// The mouse over the dialog: sends WM_SETCURSOR (hit-test code, WM_MOUSEMOVE) to it and
// returns the cursor that is current afterwards.
HCURSOR moveMouse(int hitTest);

// Reading the open dialog (empty / false / 0 when there is none).
std::string text(int id);
bool enabled(int id);
int checkState(int id);
struct Progress {
    int low = 0, high = 0, pos = 0;
};
Progress progress(int id);
std::string statusText(int part = 0);
std::string caption();
HICON icon(int which);  // ICON_BIG / ICON_SMALL

// Status history (part 0), oldest first, since useForTests (or since the process started).
std::vector<std::string> statusHistory();
// Waits until the status bar has shown pattern since the last waitForStatus that matched
// (a final * matches any rest).
bool waitForStatus(const std::string& pattern, uint32_t timeoutMs);

// Resources: what an icon handle from LoadImageA is; the id of a system cursor (IDC_WAIT is
// 32514), 0 for anything else.
bool iconInfo(HICON icon, int* resourceId, int* cx, int* cy);
int systemCursorId(HCURSOR cursor);
void unregisterCommonControlsForTests();

// The script.
struct Command {
    enum Kind {
        Nothing,
        Answer,
        Click,
        Close,
        Escape,
        WaitStatus,
        WaitEnabled,
        WaitDisabled,
        Timeout
    };
    Kind kind = Nothing;
    int number = 0;  // the button (0: default), or the control id
    std::string text;
    double seconds = 0;
};
// Parses one line; false (and why) for a bad one. Blank and comment lines give Nothing.
bool parseCommand(const std::string& line, Command* out, std::string* error);
// Runs a script on the calling thread until nextLine returns false or a wait times out, then
// marks the input ended.
void runScript(const std::function<bool(std::string* line)>& nextLine);

// Writes one line of the program's own (what no window change shows, e.g. what it read from the
// device) when the headless front end is the process's front end; nothing otherwise. Any thread;
// call it only once the program has shown its dialog or a box (the front end is chosen then).
void note(const std::string& line);

// Escapes a text for an output line.
std::string escapeText(const std::string& text);

}  // namespace headless
}  // namespace window
}  // namespace bvu
