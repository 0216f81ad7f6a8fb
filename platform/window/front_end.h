// The front end that shows the POSIX window layer's dialog and message boxes: terminal or
// headless. The core tells it what happens; it answers boxes and presses controls only through
// the core (Core::answerBox, Core::postCall / sendCall).
#pragma once

#include "platform/window/window_state.h"

namespace bvu {
namespace window {

// Every notice is given without any lock of the layer held, on the thread named. A front end
// must not block in a notice for long and must not call into a dialog procedure from it.
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    // The dialog's thread, before WM_INITDIALOG.
    virtual void dialogOpened(HWND dialog) { (void)dialog; }
    // The dialog's thread, after its windows are gone.
    virtual void dialogEnded(HWND dialog) { (void)dialog; }
    // The thread that handled the message (the control's owner), right after the change.
    virtual void changed(const Change& change) { (void)change; }
    // The box's thread, before it starts to wait for an answer.
    virtual void boxOpened(const BoxView& box) { (void)box; }
    // The box's thread, after it has been answered.
    virtual void boxClosed(const BoxView& box, int answer) {
        (void)box;
        (void)answer;
    }
    // The dialog's thread: standard input has ended and the idle dialog is about to receive
    // the Exit command.
    virtual void endingAtEndOfInput(HWND dialog) { (void)dialog; }
};

// The process's front end, chosen on first use: headless::useForTests() if it was called, else
// BVU_FRONTEND (terminal / headless), else terminal when standard input and output are both
// terminals, else headless reading its script from standard input. Any thread.
FrontEnd& frontEnd();

}  // namespace window
}  // namespace bvu
