// State of the windows that the POSIX window layer keeps (internal to platform/window/), and the
// change notices and read-only views it gives to the front ends and the test interface.
#pragma once

#include <string>
#include <vector>

#include "platform/win32_window.h"

namespace bvu {
namespace window {

enum class Kind { Dialog, Button, Static, Progress, StatusBar };

// One window. Guarded by the core's lock; only the core and controls.cpp touch it.
struct Window {
    HWND handle = nullptr;
    HWND parent = nullptr;  // the dialog, for controls
    DWORD thread = 0;       // the thread that owns it and handles its messages
    Kind kind = Kind::Static;
    int id = 0;
    std::string className;
    std::string text;  // caption of a dialog, text of a control
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    bool enabled = true;
    int check = BST_UNCHECKED;
    int low = 0, high = 100, pos = 0;                   // progress bar
    std::vector<int> parts{-1};                         // status bar: right edges
    std::vector<std::string> partTexts{std::string()};  // status bar: one text a part
    // Dialogs only.
    DLGPROC proc = nullptr;
    std::vector<HWND> children;  // template order, then controls created later
    bool shown = false;          // WM_INITDIALOG has been handled
    bool ended = false;
    INT_PTR result = 0;
    HICON icons[2] = {nullptr, nullptr};  // ICON_SMALL, ICON_BIG
    int ownedBoxes = 0;                   // open message boxes owned by the dialog
    bool exitSentAtEndOfInput = false;
};

// What a handled message changed; given to the front end after the lock is released.
struct Change {
    enum What { Text, Enabled, Check, Progress, StatusText, StatusParts, Icon, Cursor, Created };
    What what = Text;
    HWND window = nullptr;
    HWND dialog = nullptr;
    int id = 0;
    int part = 0;                    // StatusText
    std::string text;                // Text, StatusText; Progress: the bar's window text
    int low = 0, high = 0, pos = 0;  // Progress
};

struct ControlView {
    HWND handle = nullptr;
    int id = 0;
    Kind kind = Kind::Static;
    std::string className;
    std::string text;
    uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    bool enabled = true;
    int check = BST_UNCHECKED;
    int low = 0, high = 100, pos = 0;
    std::vector<int> parts;
    std::vector<std::string> partTexts;
};

struct DialogView {
    HWND handle = nullptr;
    std::string caption;
    int cx = 0, cy = 0;
    bool blocked = false;  // a box owned by the dialog is open, or the dialog has ended
    HICON icons[2] = {nullptr, nullptr};
    std::vector<ControlView> controls;
};

struct BoxView {
    int id = 0;
    HWND owner = nullptr;  // the dialog that owns the box, or null
    std::string caption;
    std::string text;
    UINT type = 0;
    DWORD thread = 0;
};

}  // namespace window
}  // namespace bvu
