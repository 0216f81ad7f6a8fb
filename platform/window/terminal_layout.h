// Where the terminal front end puts the dialog, its controls and the message boxes on a screen of
// character cells. Pure functions of the views and the screen size, so that they can be tested.
//
// The dialog keeps the proportions of its template: a column is 3.25 dialog units wide and a row
// 8 high (an 8-point dialog font's character cell), or more where the screen is too small.
#pragma once

#include <string>
#include <vector>

#include "platform/window/window_state.h"

namespace bvu {
namespace window {

struct Cell {
    int row = 0, col = 0, width = 0, height = 0;
    bool contains(int r, int c) const {
        return r >= row && r < row + height && c >= col && c < col + width;
    }
};

struct DialogLayout {
    Cell frame;   // border included; the caption is on its top line
    Cell client;  // inside the border, above the status line
    int statusRow = 0;
    std::vector<Cell> controls;  // one per control of the view, in its order
    std::vector<int> textRoom;   // columns a control's text may use before it meets another
};

DialogLayout layoutDialog(const DialogView& view, int columns, int rows);

struct BoxLayout {
    Cell frame;
    std::vector<std::string> lines;  // the text, split at line breaks and wrapped to the screen
    std::vector<int> buttons;        // the box's buttons (IDOK...)
    std::vector<Cell> buttonCells;   // where each is drawn
    std::string icon;                // "(x)", "(?)", "/!\\", "(i)" or empty
};

// stack: how many boxes are open below this one (each is drawn a little lower and further right).
BoxLayout layoutBox(const BoxView& box, int columns, int rows, int stack);

}  // namespace window
}  // namespace bvu
