// The headless front end: its output lines and how it answers message boxes.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/window/box_buttons.h"
#include "tests/window/test_dialog.h"

namespace bvu {
namespace window {
namespace test {
namespace {

class Headless : public ::testing::Test {
  protected:
    void SetUp() override {
        prepareHeadless();
        headless::setOutputForTests([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override { headless::setOutputForTests(nullptr); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(BoxButtons, SetsDefaultsAndEscape) {
    EXPECT_EQ(boxButtons(MB_OK), (std::vector<int>{IDOK}));
    EXPECT_EQ(boxButtons(MB_YESNOCANCEL | MB_ICONQUESTION),
              (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(defaultButton(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(defaultButton(MB_YESNO), IDYES);
    EXPECT_EQ(defaultButton(MB_YESNO | MB_DEFBUTTON3), IDYES);  // no third button: the first
    EXPECT_EQ(defaultButton(MB_ABORTRETRYIGNORE | MB_DEFBUTTON3), IDIGNORE);
    EXPECT_EQ(defaultButton(MB_ICONERROR), IDOK);
    EXPECT_EQ(escapeButton(MB_OK), IDOK);
    EXPECT_EQ(escapeButton(MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(escapeButton(MB_YESNO), 0);
    int button = 0;
    EXPECT_TRUE(buttonFromName("Yes", &button));
    EXPECT_EQ(button, IDYES);
    EXPECT_FALSE(buttonFromName("maybe", &button));
}

TEST_F(Headless, EscapedLines) {
    EXPECT_EQ(headless::escapeText("a\\b\nc\td\x01"), "a\\\\b\\nc\\td\\x01");
    EXPECT_EQ(MessageBoxA(nullptr, "Could not find the device using USB\n(Check)", "Brevicor",
                          MB_ICONERROR),
              IDOK);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "box: Brevicor: Could not find the device using USB\\n(Check)",
                           "answer: Brevicor: OK"}));
}

TEST_F(Headless, DefaultAndQueuedAnswers) {
    const UINT question = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
    EXPECT_EQ(MessageBoxA(nullptr, "q", "Confirm Update", question), IDNO);
    headless::queueAnswer(IDYES);
    headless::queueAnswer(0);
    EXPECT_EQ(MessageBoxA(nullptr, "q", "Confirm Update", question), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "q", "Confirm Update", question), IDNO);
    // An answer that the box does not have gives its default, with a notice.
    headless::queueAnswer(IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "failed", "Update Error", MB_ICONERROR), IDOK);
    std::vector<std::string> out = lines();
    EXPECT_NE(std::find(out.begin(), out.end(),
                        "script: answer Yes does not fit the box \"Update Error\"; its default is "
                        "used"),
              out.end());
    EXPECT_EQ(out.back(), "answer: Update Error: OK");
}

TEST_F(Headless, HeldBoxWaitsForItsAnswer) {
    headless::holdBoxes(true);
    std::thread worker([] { EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDCANCEL); });
    BoxView box;
    ASSERT_TRUE(headless::waitForBox(kWaitMs, &box));
    EXPECT_EQ(box.caption, "c");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OKCANCEL));
    EXPECT_EQ(headless::openBoxes().size(), 1u);
    EXPECT_TRUE(headless::answerBox(IDCANCEL, kWaitMs));
    worker.join();
    // Releasing the hold lets a waiting box take its default.
    std::thread second([] { EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDOK); });
    ASSERT_TRUE(headless::waitForBox(kWaitMs, nullptr));
    headless::holdBoxes(false);
    second.join();
}

TEST_F(Headless, StatusAndProgressLines) {
    TestDialog dialog;
    HWND d = dialog.start();
    HWND bar = GetDlgItem(d, IDC_PROGRESS);
    std::thread worker([&] {
        SendMessageA(dialog.statusBar(), SB_SETTEXT, 0, reinterpret_cast<LPARAM>("Updating: a"));
        SendMessageA(dialog.statusBar(), SB_SETTEXT, 0, reinterpret_cast<LPARAM>("Updating: a"));
        // A bar without a label, then with one (its window text).
        SetWindowTextA(bar, "");
        for (int pos : {0, 5, 9, 10, 12, 37, 99}) SendMessageA(bar, PBM_SETPOS, pos, 0);
        SetWindowTextA(bar, "Step\t2");
        for (int pos : {100, 0}) SendMessageA(bar, PBM_SETPOS, pos, 0);
        SendMessageA(dialog.statusBar(), SB_SETTEXT, 0, reinterpret_cast<LPARAM>("Done.\nok"));
    });
    worker.join();
    headless::click(IDC_EXIT);
    dialog.join();
    // The status line of the test dialog's creation is empty and unchanged: no line for it.
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"status: Updating: a", "progress: 10%", "progress: 37%",
                                        "progress: 99%", "progress: Step\\t2: 100%",
                                        "progress: Step\\t2: 0%", "status: Done.\\nok"}));
    EXPECT_EQ(headless::statusHistory(), (std::vector<std::string>{"Updating: a", "Done.\nok"}));
}

TEST_F(Headless, WaitForStatusSeesTextsThatHavePassed) {
    TestDialog dialog;
    dialog.start();
    for (const char* text :
         {"Updating Control Firmware", "Updating Control Firmware: 1", "Ready"}) {
        SendMessageA(dialog.statusBar(), SB_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    EXPECT_TRUE(headless::waitForStatus("Updating Control Firmware", kWaitMs));
    EXPECT_TRUE(headless::waitForStatus("Updating Control*", kWaitMs));
    // Both texts lie behind the last match now.
    EXPECT_FALSE(headless::waitForStatus("Updating Control Firmware", 50));
    EXPECT_TRUE(headless::waitForStatus("Ready", kWaitMs));
}

}  // namespace
}  // namespace test
}  // namespace window
}  // namespace bvu
