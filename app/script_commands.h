// The input language of the updater run by a script (standard input, when it is not a terminal):
// one command a line; blank lines and lines starting with # are skipped.
//   answer <button>       queue an answer for the next box: yes, no, ok, cancel, abort, retry,
//                         ignore, tryagain, continue, or default
//   click <id>            press control <id> of the dialog (app/resources/resource.h: 1000 Exit,
//                         1001 Update, 1002 NTSC, 1003 PAL); a disabled control, or a dialog
//                         behind its own box, ignores the press
//   close                 the title bar's close command (the dialog ignores it)
//   escape                the Escape key (ignored as well)
//   wait-status <text>    wait until the status line has shown <text> since the last wait-status
//                         that matched (a final * matches any rest)
//   wait-enabled <id>     wait until control <id> is enabled (wait-disabled: disabled)
//   timeout <seconds>     time-out of the waits, nominal seconds on the clock (default 600)
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>

#include "app/dialog_state.h"

struct ScriptCommand {
    enum class Kind {
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
    Kind kind = Kind::Nothing;
    int control = 0;             // the control id
    bool defaultAnswer = false;  // answer default
    // The answer, when it is one the updater's boxes can give (ok, yes, no); the others never fit.
    std::optional<Answer> answer;
    std::string answerName;  // as a box shows it: "OK", "Try Again"...
    std::string text;        // wait-status
    double seconds = 0;      // timeout
};

// Parses one line; false (and why) for a bad one. Blank and comment lines give Nothing.
bool parseScriptCommand(const std::string& line, ScriptCommand* out, std::string* error);

// Whether a status text matches a wait-status pattern.
bool statusMatches(const std::string& pattern, const std::string& status);

// A text for an output line: backslash as \\, line break as \n, carriage return as \r, tab as \t,
// other control characters as \xNN.
std::string escapeText(const std::string& text);
