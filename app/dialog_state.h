// The main dialog's state, one set per process. It outlives single calls of the dialog
// procedure and is used by the GUI thread only (the workers reach the dialog through window
// messages, never through this record).
#pragma once

#include <exception>

#include <boost/shared_ptr.hpp>

#include "app/window_api.h"
#include "thread/bvthread.h"

struct MainDialogState {
    // The worker that runs or has just ended (inspection or update); empty once joined.
    boost::shared_ptr<BVThread> currentWorker;
    HWND statusBar = nullptr;
    HCURSOR waitCursor = nullptr;
    HCURSOR savedCursor = nullptr;  // current when the update started
    bool busy = false;              // from the Update command to the update's final message

    bool updateOffered = false;  // the inspection offered an update (Update enabled)
    bool updateStarted = false;  // the one update run of the program has begun
    bool updateSucceeded = false;

    // An error raised by a device request on the GUI thread. It ends the dialog and is raised
    // again by the entry code once DialogBoxParamA has returned, rather than being thrown through
    // the window system's own frames.
    std::exception_ptr pendingError;
};

// The process's dialog state. Tests may assign a fresh MainDialogState between cases (with no
// worker running).
MainDialogState& mainDialogState();

// Waits for the current worker, if any, to end, and releases it. The entry code calls it when
// the dialog has ended, before the USB session goes: a worker still running (Exit during the
// inspection) would otherwise use a destroyed session. GUI thread.
void joinCurrentWorker();
