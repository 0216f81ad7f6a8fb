// The views of the updater's dialog: the Windows dialog from the resource script, the terminal
// (ncurses) and the lines for scripts. A view shows what the presenter (dialog_presenter.h) gives
// it and turns what the user does into the presenter's intents; it decides nothing.
//
// Threads: every call is made on the main thread, except wake(). No call is made while the
// presenter holds a lock, and a view never calls back into the presenter from inside one of
// these calls: it acts from its own loop (window messages, the terminal's input, the script).
#pragma once

#include <string>

#include "app/dialog_state.h"
#include "app/update_plan.h"

class DialogPresenter;

class DialogView {
  public:
    virtual ~DialogView() = default;

    // The state changed; called after every single change, so that each status text and each
    // progress step is seen. A box in the state is shown until a later state has none; its
    // answer goes to DialogPresenter::answer.
    virtual void show(const DialogState& state) = 0;
    // The dialog has ended (Exit, the end of a batch run, an error): the view's loop ends as soon
    // as no box is open. byItself: nobody pressed Exit (a batch run's end, an error), so a view
    // may leave its last look readable.
    virtual void close(bool byItself) = 0;
    // Any thread: work for the main thread is waiting; the view's loop calls
    // DialogPresenter::deliver() soon. Must not block.
    virtual void wake() = 0;
    // Ctrl-C asked for the end: give the terminal back and end the program at once.
    virtual void stopNow() {}

    // For the lines of scripts (not with -json, whose events carry the same): what the run read
    // from the unit, at the inspection or after the update run, and an error's own text after
    // its box.
    virtual void unitRecorded(const UnitRecord& unit, const CarriedVersions& carried,
                              bool afterUpdate) {
        (void)unit;
        (void)carried;
        (void)afterUpdate;
    }
    virtual void errorDetail(const std::string& detail) { (void)detail; }
};

// The process's way to show things: the dialog's view, and the boxes outside the dialog (the
// errors that end the program, a device action's error). One per process, chosen by
// makeFrontEnd (front_end.h).
class FrontEnd : public DialogView {
  public:
    // Runs the dialog on the calling (main) thread: presenter.start(), then the view's loop, which
    // delivers the presenter's work and the user's intents until the presenter has ended and no
    // box is open. Throws when the dialog cannot be shown.
    virtual void runDialog(DialogPresenter& presenter) = 0;
    // A box outside the dialog; returns once it is answered. Main thread.
    virtual Answer showBox(const Box& box) = 0;
};
