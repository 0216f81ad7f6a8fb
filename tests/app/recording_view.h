// A view of the updater's dialog for tests: it records every state the presenter shows, every
// unit record and error detail, and plays the person from a list of steps, each done once its
// condition holds. Boxes get the planned answers in order (their default when none is planned),
// unless boxes are held, when a step answers them.
//
// Threads: run() is the test's thread, which acts as the main thread; wake() comes from the
// presenter's workers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/dialog_presenter.h"
#include "app/dialog_view.h"

namespace bvu {
namespace test {

class RecordingView : public DialogView {
  public:
    struct Step {
        std::string name;  // for the failure message when it never comes
        std::function<bool(const RecordingView&)> when;
        std::function<void(DialogPresenter&, RecordingView&)> act;
    };
    struct UnitLine {
        UnitRecord unit;
        bool afterUpdate;
    };

    void show(const DialogState& state) override { states.push_back(state); }
    void close(bool byItself) override {
        ++closes;
        closedByItself = byItself;
    }
    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++wakes_;
        }
        woken_.notify_all();
    }
    void stopNow() override { ++stops; }
    void unitRecorded(const UnitRecord& unit, const CarriedVersions&, bool afterUpdate) override {
        units.push_back({unit, afterUpdate});
    }
    void errorDetail(const std::string& detail) override { details.push_back(detail); }

    // Runs the dialog until it has ended with no box open. A step whose condition does not come
    // within the time fails the test and ends the run (Exit, once the presenter takes it).
    void run(DialogPresenter& presenter, std::vector<Step> steps = {}, int seconds = 60) {
        presenter.start();
        size_t next = 0;
        int answered = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            uint64_t seen;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen = wakes_;
            }
            for (bool acted = true; acted;) {
                acted = false;
                presenter.deliver();
                if (next < steps.size() && steps[next].when(*this)) {
                    steps[next++].act(presenter, *this);
                    acted = true;
                }
                const std::optional<Box>& box = presenter.state().box;
                if (box && box->id != answered && !holdBoxes) {
                    answered = box->id;
                    Answer a = box->defaultAnswer();
                    if (!answers.empty()) {
                        a = answers.front();
                        answers.pop_front();
                    }
                    boxes.push_back(*box);
                    presenter.answer(box->id, a);
                    acted = true;
                }
            }
            if (presenter.ended() && !presenter.state().box) {
                break;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (!woken_.wait_until(lock, deadline, [&] { return wakes_ != seen; }) &&
                wakes_ == seen) {
                lock.unlock();
                ADD_FAILURE() << "the run stands still"
                              << (next < steps.size() ? " before step: " + steps[next].name
                                                      : std::string(" after the last step"));
                holdBoxes = false;
                answers.clear();
                steps.clear();
                next = 0;
                presenter.exit();
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            }
        }
        EXPECT_EQ(next, steps.size()) << "a step was never done";
    }

    const DialogState& last() const { return states.back(); }
    bool sawStatus(const std::string& text) const {
        for (const DialogState& s : states) {
            if (s.status == text)
                return true;
        }
        return false;
    }
    // Every status text in order, one for each time it was set.
    std::vector<std::string> statuses() const {
        std::vector<std::string> all;
        unsigned count = 0;
        for (const DialogState& s : states) {
            if (s.statusCount != count) {
                count = s.statusCount;
                all.push_back(s.status);
            }
        }
        return all;
    }
    // The first state that showed this status, or null.
    const DialogState* stateWith(const std::string& status) const {
        for (const DialogState& s : states) {
            if (s.status == status)
                return &s;
        }
        return nullptr;
    }

    std::vector<DialogState> states;
    std::vector<Box> boxes;  // as answered
    std::vector<UnitLine> units;
    std::vector<std::string> details;
    std::deque<Answer> answers;
    bool holdBoxes = false;
    int closes = 0;
    bool closedByItself = false;
    int stops = 0;

  private:
    std::mutex mutex_;
    std::condition_variable woken_;
    uint64_t wakes_ = 0;
};

// Conditions and actions for steps.
inline std::function<bool(const RecordingView&)> statusIs(const std::string& text) {
    return [text](const RecordingView& v) { return !v.states.empty() && v.last().status == text; };
}
inline std::function<bool(const RecordingView&)> boxOpen(const std::string& caption) {
    return [caption](const RecordingView& v) {
        return !v.states.empty() && v.last().box && v.last().box->caption == caption;
    };
}

}  // namespace test
}  // namespace bvu
