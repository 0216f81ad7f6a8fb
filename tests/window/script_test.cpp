// The input script and the end of input.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/clock.h"
#include "tests/support/dialog_thread.h"
#include "tests/window/test_dialog.h"

namespace bvu {
namespace window {
namespace test {
namespace {

using bvu::test::dialogOpenOnceSettled;
using headless::Command;

TEST(ScriptParsing, Commands) {
    struct Case {
        const char* line;
        Command::Kind kind;
        int number;
        const char* text;
    } cases[] = {
        {"answer yes", Command::Answer, IDYES, ""},
        {"  answer   No \r", Command::Answer, IDNO, ""},
        {"answer default", Command::Answer, 0, ""},
        {"click 1001", Command::Click, 1001, ""},
        {"wait-status Ready to perform updates.", Command::WaitStatus, 0,
         "Ready to perform updates."},
        {"wait-status Updating Video Firmware: *", Command::WaitStatus, 0,
         "Updating Video Firmware: *"},
        {"wait-enabled 1000", Command::WaitEnabled, 1000, ""},
        {"wait-disabled 1001", Command::WaitDisabled, 1001, ""},
        {"close", Command::Close, 0, ""},
        {"escape", Command::Escape, 0, ""},
        {"", Command::Nothing, 0, ""},
        {"# a comment", Command::Nothing, 0, ""},
    };
    for (const Case& c : cases) {
        Command command;
        std::string error;
        ASSERT_TRUE(headless::parseCommand(c.line, &command, &error)) << c.line << ": " << error;
        EXPECT_EQ(command.kind, c.kind) << c.line;
        EXPECT_EQ(command.number, c.number) << c.line;
        EXPECT_EQ(command.text, c.text) << c.line;
    }
    Command timeout;
    std::string error;
    ASSERT_TRUE(headless::parseCommand("timeout 2.5", &timeout, &error));
    EXPECT_DOUBLE_EQ(timeout.seconds, 2.5);
}

TEST(ScriptParsing, BadLines) {
    for (const char* line :
         {"answer maybe", "answer", "click", "click -1", "click 70000", "click 10x", "wait-status",
          "timeout 0", "timeout nan", "close now", "Click 1001", "press 1001"}) {
        Command command;
        std::string error;
        EXPECT_FALSE(headless::parseCommand(line, &command, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

// A script source that the test feeds line by line (or ends).
class Feed {
  public:
    void push(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        cv_.notify_all();
    }
    void end() {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }
    bool next(std::string* line) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++asked_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return ended_ || !lines_.empty(); });
        if (lines_.empty())
            return false;
        *line = lines_.front();
        lines_.pop_front();
        return true;
    }

    // Waits until the script runner has asked for a line (so it is now reading).
    void waitUntilAsked() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return asked_ > 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> lines_;
    bool ended_ = false;
    int asked_ = 0;
};

class Script : public ::testing::Test {
  protected:
    void SetUp() override {
        prepareHeadless();
        headless::setOutputForTests([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override {
        headless::setOutputForTests(nullptr);
        if (runner_.joinable())
            runner_.join();
    }
    void run(const std::vector<std::string>& script) {
        for (const std::string& line : script) feed_.push(line);
        feed_.end();
        runner_ = std::thread([this] {
            headless::runScript([this](std::string* line) { return feed_.next(line); });
        });
    }
    bool printed(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

    Feed feed_;
    std::thread runner_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The dialog answers a command with a question, then a status, like the program does.
bool askOnUpdate(HWND d, UINT message, WPARAM wParam, LPARAM, INT_PTR*) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_UPDATE) {
        int answer =
            MessageBoxA(d, "Update?", "Confirm Update", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        SetDlgItemTextA(d, IDC_STATUSBAR, answer == IDYES ? "Updating" : "Not updating");
    }
    return false;
}

TEST_F(Script, ClicksAnswersAndWaits) {
    TestDialog dialog;
    dialog.setHandler(askOnUpdate);
    HWND d = dialog.start();
    EnableWindow(GetDlgItem(d, IDC_UPDATE), TRUE);
    run({"answer yes", "wait-enabled 1001", "click 1002", "click 1001", "wait-status Updating",
         "nonsense here", "click 1001", "wait-status Not updating"});
    // The script ends after its last line: the idle dialog then gets Exit.
    EXPECT_EQ(dialog.join(), IDC_EXIT);
    EXPECT_EQ(dialog.log().back(), "command 1000");
    EXPECT_TRUE(printed("answer: Confirm Update: Yes"));
    EXPECT_TRUE(printed("answer: Confirm Update: No"));  // the second question: default
    EXPECT_TRUE(printed("script: line 6: unknown command 'nonsense'; line skipped"));
    EXPECT_TRUE(printed("script: end of input; the dialog gets the Exit command"));
}

TEST_F(Script, IgnoredClickAndTimedOutWait) {
    TestDialog dialog;
    dialog.start();
    run({"timeout 0.05", "click 1001", "wait-status never", "click 1002"});
    EXPECT_EQ(dialog.join(), IDC_EXIT);
    EXPECT_TRUE(printed("script: line 2: click 1001 ignored: the control is disabled"));
    EXPECT_TRUE(printed("script: line 3: the status \"never\" did not come within 0.05 s"));
    EXPECT_TRUE(printed("script: ended after a time-out"));
    std::vector<std::string> log = dialog.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "command 1002"), 0);  // not run after the time-out
}

// While the script reads its next line, a box waits for it instead of taking its default.
TEST_F(Script, BoxWaitsForTheNextLine) {
    runner_ = std::thread(
        [this] { headless::runScript([this](std::string* line) { return feed_.next(line); }); });
    feed_.waitUntilAsked();  // a box that comes before the script reads takes its default
    std::atomic<int> answer{0};
    std::thread worker(
        [&] { answer = MessageBoxA(nullptr, "q", "Confirm Update", MB_YESNO | MB_DEFBUTTON2); });
    ASSERT_TRUE(headless::waitForBox(kWaitMs, nullptr));
    feed_.push("answer yes");
    worker.join();
    EXPECT_EQ(answer.load(), IDYES);  // not its default, No
    feed_.end();
}

// The end of input does not end the dialog while a worker that it started runs.
TEST_F(Script, EndOfInputWaitsForWorkers) {
    TestDialog dialog;
    static std::atomic<bool> release{false};
    release = false;
    dialog.setHandler([](HWND d, UINT message, WPARAM, LPARAM, INT_PTR*) {
        if (message == WM_INITDIALOG) {
            uintptr_t h = _beginthreadex(
                nullptr, 0,
                [](void* p) -> unsigned {
                    while (!release.load()) clock::sleepMs(1);
                    PostMessageA(static_cast<HWND>(p), WM_USER + 9, 0, 0);
                    return 0;
                },
                d, 0, nullptr);
            CloseHandle(reinterpret_cast<HANDLE>(h));
        }
        return false;
    });
    HWND d = dialog.start();
    run({});
    runner_.join();  // the input has ended
    // Yet the worker runs: nothing may end the dialog.
    EXPECT_TRUE(dialogOpenOnceSettled(d));
    EXPECT_EQ(Core::instance().runningWorkers(), 1u);
    release = true;
    EXPECT_EQ(dialog.join(), IDC_EXIT);
    std::vector<std::string> log = dialog.log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "user 9 0");  // the worker's message came first
    EXPECT_EQ(log.back(), "command 1000");
}

TEST_F(Script, EndOfInputWaitsForOpenBoxes) {
    headless::holdBoxes(true);
    TestDialog dialog;
    HWND d = dialog.start();
    std::thread other([] { MessageBoxA(nullptr, "t", "Error", MB_ICONERROR); });
    ASSERT_TRUE(headless::waitForBox(kWaitMs, nullptr));
    run({});
    runner_.join();  // the input has ended
    EXPECT_TRUE(dialogOpenOnceSettled(d));
    ASSERT_TRUE(headless::answerBox(IDOK, kWaitMs));
    other.join();
    EXPECT_EQ(dialog.join(), IDC_EXIT);
}

}  // namespace
}  // namespace test
}  // namespace window
}  // namespace bvu
