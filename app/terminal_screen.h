// What the terminal front end draws: the dialog's state as a grid of character cells, with the
// look of each cell and the places a click presses. A pure function of the state, the focus and
// the terminal's size, so that the layout is tested without a terminal.
//
// The dialog is 58 columns by 17 rows, centred: the unit's fields, the three groups (video and
// control firmware, video standard), the progress bar, Update and Exit, and two rows of status
// text. A box is drawn over it, centred on the screen. A terminal too small for what is to be
// shown gets one line that says so instead.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/dialog_state.h"

constexpr int kTerminalDialogColumns = 58;
constexpr int kTerminalDialogRows = 18;

// Where the keys go: a button of the dialog, or an answer of the open box (which takes the keys
// while it is open).
struct TerminalFocus {
    std::optional<Button> button;
    size_t boxAnswer = 0;  // index into the open box's answers()
};

struct TerminalScreen {
    // What a click on a cell presses.
    struct Target {
        int row = 0, col = 0, width = 0;
        bool inBox = false;
        Button button = Button::Exit;  // when !inBox
        Answer answer = Answer::Ok;    // when inBox
    };

    int columns = 0, rows = 0;
    std::vector<std::string> text;  // rows lines of columns characters each
    // The look of each cell, same shape: ' ' plain, 'b' bold, 'r' reverse, 'd' dim.
    std::vector<std::string> look;
    std::vector<Target> targets;
    bool tooSmall = false;

    const Target* at(int row, int col) const;
};

// showDialog false: only the box (a box outside the dialog, or after the dialog has ended).
TerminalScreen renderTerminalScreen(const DialogState& state, bool showDialog,
                                    const TerminalFocus& focus, int columns, int rows);

// The dialog alone, as plain lines without trailing blanks: what stays on the terminal after a
// batch run.
std::vector<std::string> terminalSummary(const DialogState& state);
