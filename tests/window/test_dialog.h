// A small dialog for the window layer's tests: IDD_UPDATE with a procedure that records what it
// receives and lets each test add its own handling. The dialog runs on a thread of its own (its
// GUI thread); the test drives it from the test thread through the headless interface.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/resources/resource.h"
#include "platform/win32_window.h"
#include "platform/window/headless_driver.h"

namespace bvu {
namespace window {
namespace test {

constexpr uint32_t kWaitMs = 10000;  // generous: a failing wait means a hang, not slowness

class TestDialog {
  public:
    // A handler returns true when it has handled the message (then *result is returned).
    using Handler = std::function<bool(HWND, UINT, WPARAM, LPARAM, INT_PTR* result)>;

    TestDialog();
    ~TestDialog();  // ends the dialog (Exit) if it still runs, then joins its thread

    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // Runs DialogBoxParamA on the GUI thread and waits until the dialog is open.
    HWND start();
    // Waits for DialogBoxParamA to return and gives its result.
    INT_PTR join();

    DWORD guiThread() const { return guiThread_; }
    HWND statusBar() const { return statusBar_; }

    // What the procedure received, as lines such as "init 77", "command 1002", "user 5 7".
    std::vector<std::string> log();
    void record(const std::string& line);
    // Whether every message reached the procedure on the GUI thread.
    bool allOnGuiThread();

  private:
    static INT_PTR CALLBACK proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    Handler handler_;
    std::thread thread_;
    INT_PTR result_ = 0;
    bool joined_ = true;
    DWORD guiThread_ = 0;
    HWND statusBar_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> log_;
    bool offThread_ = false;
};

// Resets the headless front end for a test and registers the common controls.
void prepareHeadless();

}  // namespace test
}  // namespace window
}  // namespace bvu
