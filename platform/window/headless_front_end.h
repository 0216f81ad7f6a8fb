// The headless front end itself (internal to platform/window/): output lines, the answer policy
// for message boxes and the status history. headless_driver.h is its interface for tests and
// scripts.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/window/front_end.h"

namespace bvu {
namespace window {

class HeadlessFrontEnd : public FrontEnd {
  public:
    // The one instance (never destroyed). Thread-safe.
    static HeadlessFrontEnd& instance();

    // Back to the state of a fresh process (tests).
    void reset();
    void setSink(std::function<void(const std::string&)> sink);
    // Writes one output line (a line end is added); any thread, no lock held while writing.
    void writeLine(const std::string& line);

    void queueAnswer(int button);
    void hold(bool hold);
    // Whether a script is reading its next line, so that a box may wait for its answer.
    void setScriptReading(bool reading);

    // Waits until the status history holds a text matching pattern at or after *cursor; moves
    // *cursor past it. cursor null: the test interface's own cursor.
    bool waitForStatus(const std::string& pattern, size_t* cursor, clock::TimePoint deadline);
    std::vector<std::string> history();

    void dialogOpened(HWND dialog) override;
    void changed(const Change& change) override;
    void boxOpened(const BoxView& box) override;
    void boxClosed(const BoxView& box, int answer) override;
    void endingAtEndOfInput(HWND dialog) override;

  private:
    HeadlessFrontEnd() = default;
    // Answers the boxes that the policy can decide now (see headless_driver.h).
    void resolve();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void(const std::string&)> sink_;
    std::deque<int> queued_;
    bool hold_ = false;
    bool scriptReading_ = false;
    std::vector<BoxView> pending_;
    std::vector<std::string> history_;
    size_t apiCursor_ = 0;
    std::map<HWND, int> tenth_;  // last tenth of each progress bar that was written
};

// Starts the standard-input script on a thread of its own (process use of the headless front
// end); with a terminal on standard input, marks the input ended instead.
void startStdinScript();

}  // namespace window
}  // namespace bvu
