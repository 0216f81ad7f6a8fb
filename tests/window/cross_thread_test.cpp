// The dialog's threading: who handles what, in which order, and that nobody waits forever.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "tests/window/test_dialog.h"

namespace bvu {
namespace window {
namespace test {
namespace {

using headless::waitForBox;

class CrossThread : public ::testing::Test {
  protected:
    void SetUp() override { prepareHeadless(); }
};

TEST_F(CrossThread, InitDialogComesFirstAndEndDialogGivesTheResult) {
    TestDialog dialog;
    HWND d = dialog.start();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(dialog.log().front(), "init 77");
    HWND exit = GetDlgItem(d, IDC_EXIT);
    ASSERT_EQ(headless::click(IDC_EXIT), Core::Click::Done);
    EXPECT_EQ(dialog.join(), IDC_EXIT);
    EXPECT_FALSE(IsWindow(d));
    EXPECT_FALSE(IsWindow(exit));
    EXPECT_EQ(SendMessageA(d, WM_USER, 0, 0), 0);
    EXPECT_FALSE(PostMessageA(d, WM_USER, 0, 0));
    EXPECT_TRUE(dialog.allOnGuiThread());
}

TEST_F(CrossThread, SendsWaitForTheGuiThreadAndPostsKeepTheirOrder) {
    TestDialog dialog;
    std::atomic<int> handled{0};
    dialog.setHandler([&](HWND, UINT message, WPARAM wParam, LPARAM, INT_PTR* result) {
        if (message == WM_USER + 1) {
            handled = static_cast<int>(wParam);
            *result = static_cast<INT_PTR>(wParam) * 2;
            return true;
        }
        return false;
    });
    HWND d = dialog.start();
    std::thread worker([&] {
        for (int i = 0; i < 20; ++i) {
            PostMessageA(d, WM_USER + 2, i, 0);
            // The send comes back only once the GUI thread has handled it, with its result.
            EXPECT_EQ(SendMessageA(d, WM_USER + 1, i, 0), 2 * i);
            EXPECT_EQ(handled.load(), i);
        }
        SetDlgItemTextA(d, IDC_SERIAL, "3014-001234");
        EXPECT_EQ(headless::text(IDC_SERIAL), "3014-001234");
        PostMessageA(d, WM_COMMAND, IDC_EXIT, 0);
    });
    worker.join();
    dialog.join();
    std::vector<int> posted;
    for (const std::string& line : dialog.log()) {
        if (line.rfind("user 2 ", 0) == 0)
            posted.push_back(std::stoi(line.substr(7)));
    }
    ASSERT_EQ(posted.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(posted[i], i);
    EXPECT_TRUE(dialog.allOnGuiThread());
}

// The dialog shows a box of its own; a worker's sends and posts are still handled meanwhile.
TEST_F(CrossThread, OwnedBoxKeepsServingTheWorker) {
    headless::holdBoxes(true);
    TestDialog dialog;
    std::atomic<int> boxAnswer{0};
    dialog.setHandler([&](HWND d, UINT message, WPARAM, LPARAM, INT_PTR*) {
        if (message == WM_USER + 1) {
            boxAnswer = MessageBoxA(d, "Proceed?", "Confirm Update", MB_YESNO | MB_ICONQUESTION);
        }
        return false;
    });
    HWND d = dialog.start();
    PostMessageA(d, WM_USER + 1, 0, 0);
    BoxView box;
    ASSERT_TRUE(waitForBox(kWaitMs, &box));
    EXPECT_EQ(box.owner, d);
    std::thread worker([&] {
        SendMessageA(dialog.statusBar(), SB_SETTEXT, 0, reinterpret_cast<LPARAM>("Working"));
        EXPECT_EQ(SendMessageA(d, WM_USER + 3, 5, 0), TRUE);
        PostMessageA(d, WM_USER + 4, 6, 0);
    });
    worker.join();
    EXPECT_EQ(headless::statusText(), "Working");
    // A person cannot use the dialog behind its own box.
    EXPECT_EQ(headless::click(IDC_NTSC), Core::Click::Blocked);
    EXPECT_TRUE(headless::answerBox(IDYES, kWaitMs));
    ASSERT_TRUE(headless::waitForStatus("Working", kWaitMs));
    headless::click(IDC_EXIT);
    dialog.join();
    EXPECT_EQ(boxAnswer.load(), IDYES);
    std::vector<std::string> log = dialog.log();
    EXPECT_NE(std::find(log.begin(), log.end(), "user 3 5"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "user 4 6"), log.end());
    EXPECT_TRUE(dialog.allOnGuiThread());
}

// A worker's box without owner blocks only the worker; one owned by the dialog blocks input too.
TEST_F(CrossThread, WorkerBoxBlocksOnlyTheWorker) {
    headless::holdBoxes(true);
    TestDialog dialog;
    HWND d = dialog.start();
    std::atomic<bool> unownedDone{false};
    std::thread worker([&] {
        EXPECT_EQ(MessageBoxA(nullptr, "No device", "Error", MB_ICONERROR), IDOK);
        unownedDone = true;
        EXPECT_EQ(MessageBoxA(d, "Update failed", "Update Error", MB_ICONERROR), IDOK);
    });
    ASSERT_TRUE(waitForBox(kWaitMs, nullptr));
    EXPECT_EQ(headless::click(IDC_NTSC), Core::Click::Done);
    EXPECT_EQ(SendMessageA(d, WM_USER + 7, 1, 0), TRUE);
    EXPECT_FALSE(unownedDone.load());
    ASSERT_TRUE(headless::answerBox(IDOK, kWaitMs));
    BoxView owned;
    ASSERT_TRUE(headless::waitForBox(kWaitMs, &owned));
    ASSERT_EQ(owned.caption, "Update Error");
    EXPECT_EQ(headless::click(IDC_PAL), Core::Click::Blocked);
    EXPECT_EQ(SendMessageA(d, WM_USER + 8, 1, 0), TRUE);
    ASSERT_TRUE(headless::answerBox(IDOK, kWaitMs));
    worker.join();
    EXPECT_EQ(headless::click(IDC_PAL), Core::Click::Done);
    headless::click(IDC_EXIT);
    dialog.join();
    std::vector<std::string> log = dialog.log();
    EXPECT_NE(std::find(log.begin(), log.end(), "command 1002"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "command 1003"), log.end());
}

// Two threads that send to each other's windows both get on.
TEST_F(CrossThread, MutualSendsDoNotDeadlock) {
    TestDialog dialog;
    std::atomic<HWND> workerLabel{nullptr};
    dialog.setHandler([&](HWND, UINT message, WPARAM, LPARAM, INT_PTR* result) {
        if (message != WM_USER + 1)
            return false;
        // The label belongs to the worker, which is itself waiting in a send to us.
        *result = SetWindowTextA(workerLabel.load(), "from the GUI thread");
        return true;
    });
    HWND d = dialog.start();
    std::thread worker([&] {
        workerLabel = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 8, d,
                                      reinterpret_cast<HMENU>(2000), nullptr, nullptr);
        EXPECT_EQ(SendMessageA(d, WM_USER + 1, 0, 0), TRUE);
    });
    worker.join();
    EXPECT_EQ(headless::text(2000), "from the GUI thread");
    headless::click(IDC_EXIT);
    dialog.join();
}

// A send that waits while the dialog ends comes back with 0; so does an exception's end.
TEST_F(CrossThread, SendsToAnEndingDialogReturn) {
    TestDialog dialog;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> busy{false};
    dialog.setHandler([&](HWND d, UINT message, WPARAM, LPARAM, INT_PTR*) {
        if (message == WM_USER + 1) {
            busy = true;
            released.wait();
            EndDialog(d, 5);
        }
        return false;
    });
    HWND d = dialog.start();
    PostMessageA(d, WM_USER + 1, 0, 0);
    while (!busy.load()) std::this_thread::yield();
    auto send = std::async(std::launch::async, [&] { return SendMessageA(d, WM_USER + 2, 0, 0); });
    clock::sleepMs(20);
    release.set_value();
    EXPECT_EQ(send.get(), 0);
    EXPECT_EQ(dialog.join(), 5);
}

TEST_F(CrossThread, ExceptionFromTheProcedureEndsTheDialog) {
    std::atomic<bool> threw{false};
    struct Failure {};
    std::thread gui([&] {
        try {
            DialogBoxParamA(
                nullptr, MAKEINTRESOURCEA(IDD_UPDATE), nullptr,
                [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
                    if (message == WM_USER + 1)
                        throw Failure();
                    return message == WM_INITDIALOG;
                },
                0);
        } catch (const Failure&) {
            threw = true;
        }
    });
    HWND d = headless::waitForDialog(kWaitMs);
    ASSERT_NE(d, nullptr);
    PostMessageA(d, WM_USER + 1, 0, 0);
    EXPECT_EQ(SendMessageA(d, WM_USER + 2, 0, 0), 0);  // may or may not be handled first
    gui.join();
    EXPECT_TRUE(threw.load());
    EXPECT_EQ(Core::instance().openDialog(), nullptr);
}

TEST_F(CrossThread, RefusedDialogs) {
    auto proc = [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        return message == WM_INITDIALOG;
    };
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(999), nullptr, proc, 0), -1);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, nullptr, 0), -1);
    // The template's progress bar needs the common controls, as on Windows.
    headless::unregisterCommonControlsForTests();
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, proc, 0), -1);
    INITCOMMONCONTROLSEX wrongSize{4, ICC_PROGRESS_CLASS};
    EXPECT_FALSE(InitCommonControlsEx(&wrongSize));
    prepareHeadless();
    TestDialog dialog;
    ASSERT_NE(dialog.start(), nullptr);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, proc, 0), -1);
}

}  // namespace
}  // namespace test
}  // namespace window
}  // namespace bvu
