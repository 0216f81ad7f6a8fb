// The POSIX window layer's core: the windows, one message queue a thread, dialogs, message boxes
// and the workers of the open dialog. The Win32 functions of win32_window.h are thin wrappers
// around it; the front ends and the test interface use it directly.
//
// Threads: every function may be called from any thread. One mutex guards all state; it is never
// held while a dialog procedure, a call queued with sendCall/postCall or a front-end notice runs.
// Only one dialog is open at a time (DialogBoxParamA refuses a second one).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/clock.h"
#include "platform/window/resource_table.h"
#include "platform/window/window_state.h"

namespace bvu {
namespace window {

class FrontEnd;

class Core {
  public:
    // Layer-private message that EnableWindow sends, so that it is handled on the window's
    // thread like any send. SendMessageA and PostMessageA refuse it from callers.
    static constexpr UINT kEnableMessage = 0x03F0;

    // The one core of the process; never destroyed, so threads still running at exit are safe.
    static Core& instance();

    // Runs a dialog from a template on the calling thread (DialogBoxParamA). -1 when a control
    // class is not registered or a dialog is already open. An exception thrown by the dialog
    // procedure ends the dialog (its windows are destroyed) and leaves this call.
    INT_PTR runDialog(const DialogTemplate& templ, DLGPROC proc, LPARAM param);
    BOOL endDialog(HWND dialog, INT_PTR result);

    // SendMessageA / PostMessageA semantics (see win32_window.h).
    LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Runs call on the thread that owns target, like a sent or a posted message. sendCall waits
    // and returns the call's result (0 when target is or becomes gone); postCall returns false
    // when target does not exist.
    LRESULT sendCall(HWND target, std::function<LRESULT()> call);
    bool postCall(HWND target, std::function<LRESULT()> call);

    // A child control of a dialog, owned by the calling thread; null for an unknown class or
    // parent. Classes must be registered (resources.cpp).
    HWND createControl(HWND parent, const std::string& className, const std::string& text,
                       uint32_t style, uint32_t exStyle, int id, int x, int y, int cx, int cy);
    bool destroyControl(HWND control);

    // MessageBoxA: blocks the calling thread (which keeps handling its own messages) until the
    // box is answered through answerBox.
    int messageBox(HWND owner, const std::string& text, const std::string& caption, UINT type);
    // Answers an open box; false when it is not open or has been answered already.
    bool answerBox(int boxId, int answer);
    std::vector<BoxView> openBoxes();

    // A user's click on a control, on the control's thread: ignored when the control is disabled,
    // the dialog is blocked by its own box or has ended. Returns what happened (NoControl is 0,
    // which is also what a send to a window that has gone returns).
    enum class Click { NoControl = 0, Done, Disabled, Blocked, Inert };
    Click clickOnOwnerThread(HWND control, bool byUser);

    // Reading state. openDialog: the dialog once WM_INITDIALOG has been handled, else null.
    HWND openDialog();
    HWND dialogItem(HWND dialog, int id);
    bool isWindow(HWND window);
    HWND parentOf(HWND window);
    int idOf(HWND window);
    bool isEnabled(HWND window);
    bool dialogView(DialogView* out);  // the open dialog; false when none
    bool controlView(HWND control, ControlView* out);

    // Waits (deadline on the clock) for: a dialog to be open (initialised); no dialog;
    // a control of the open dialog to be in the given enabled state; an unanswered box.
    bool waitForDialog(clock::TimePoint deadline);
    bool waitForNoDialog(clock::TimePoint deadline);
    bool waitForEnabled(int id, bool enabled, clock::TimePoint deadline);
    bool waitForBox(clock::TimePoint deadline, BoxView* out);

    // Standard input has ended: from now on an idle open dialog is sent WM_COMMAND with the
    // program's end-of-input command (ProgramResources; the updater's Exit button). Idle means: no
    // worker of the dialog runs, no box is open anywhere, nothing is queued for the dialog's
    // thread and the dialog waits in its message loop.
    void setInputEnded(bool ended = true);
    bool inputEnded();

    // Threads started with _beginthreadex by the dialog's thread while the dialog is open.
    void threadStarted(DWORD creator, DWORD thread);
    void threadEnded(DWORD thread);
    size_t runningWorkers();

    // The front end gets the notices (set once, when it is chosen). cursorChanged passes
    // SetCursor on to it, if one has been chosen.
    void setFrontEnd(FrontEnd* frontEnd);
    void cursorChanged(HCURSOR cursor);

  private:
    struct Pending {
        bool done = false;
        LRESULT result = 0;
    };
    struct Item {
        HWND window = nullptr;
        UINT message = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
        std::function<LRESULT()> call;     // instead of a message, when set
        std::shared_ptr<Pending> pending;  // sent items only
    };
    struct Queue {
        std::deque<Item> sent;
        std::deque<Item> posted;
    };
    struct Box {
        BoxView view;
        bool answered = false;
        int answer = 0;
    };
    using Lock = std::unique_lock<std::mutex>;

    Core() = default;
    Window* find(HWND window);
    HWND newHandle();
    HWND addWindow(Window w);
    LRESULT dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT defaultDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT execute(const Item& item);
    LRESULT sendItem(Lock& lock, DWORD owner, Item item);
    bool postItem(Lock& lock, DWORD owner, Item item);
    // Handles the calling thread's queue until done() (checked under the lock) holds. With
    // idleDialog set, the end-of-input rule applies to that dialog.
    void pump(Lock& lock, const std::function<bool()>& done, HWND idleDialog);
    bool idleAtEndOfInput(HWND dialog, DWORD self);
    void destroyDialog(HWND dialog);
    void notify(const std::vector<Change>& changes);
    FrontEnd* currentFrontEnd();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<HWND, Window> windows_;
    std::map<DWORD, Queue> queues_;
    std::vector<Box> boxes_;
    std::set<DWORD> workers_;
    HWND openDialog_ = nullptr;
    uintptr_t nextHandle_ = 0x10000;
    int nextBox_ = 0;
    bool inputEnded_ = false;
    FrontEnd* frontEnd_ = nullptr;
};

}  // namespace window
}  // namespace bvu
