// The updater's front end in a terminal (POSIX, ncurses): the dialog drawn as terminal_screen.h
// lays it out, used with the keyboard and the mouse.
//
// Keys: Tab and Shift-Tab move between NTSC/PAL, Update and Exit (the enabled ones); the arrows
// move between Update and Exit, and on NTSC/PAL select the other one; Space and Enter select a
// radio button or press a button. The focus goes to the default button (Update once it is
// offered, Exit after the run) whenever that changes. While a box is open it takes the keys:
// Tab and the arrows between its buttons, Enter and Space, or the button's first letter. The
// mouse presses what it clicks (the dialog behind a box that leaves it usable included). A resize
// is drawn at once; a terminal too small for the dialog shows one line that says so.
//
// Ctrl-C goes to the presenter, which asks first while the unit is being written and otherwise
// ends the program. The terminal is given back on every way out: the end of the dialog, an
// exception, Ctrl-C, and SIGTERM, SIGHUP or SIGQUIT (then the program ends by that signal).
// After a run that ended by itself (batch mode) the dialog's last look stays on the terminal.
//
// Threads: the main thread draws and reads the keys; wake() and the signal handlers only write
// to a pipe that the main thread's loop watches.
#pragma once

#include <memory>

#include "app/dialog_view.h"

// The terminal front end, or null when the terminal cannot be set up (no terminal description
// for TERM, for instance).
std::unique_ptr<FrontEnd> makeTerminalFrontEnd();
