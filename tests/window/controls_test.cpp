// Controls, the dialog manager's default handling, icons and cursors.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/window/test_dialog.h"

namespace bvu {
namespace window {
namespace test {
namespace {

class Controls : public ::testing::Test {
  protected:
    void SetUp() override {
        prepareHeadless();
        dialog_ = dialog.start();
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        headless::click(IDC_EXIT);
        dialog.join();
    }
    int commands(int id) {
        std::vector<std::string> log = dialog.log();
        return static_cast<int>(
            std::count(log.begin(), log.end(), "command " + std::to_string(id)));
    }

    TestDialog dialog;
    HWND dialog_ = nullptr;
};

TEST_F(Controls, TemplateStateAtStart) {
    EXPECT_EQ(headless::caption(), "Brevicor Update Utility ");
    EXPECT_EQ(headless::text(IDC_SERIAL), "3000-000000");
    EXPECT_FALSE(headless::enabled(IDC_UPDATE));
    EXPECT_TRUE(headless::enabled(IDC_EXIT));
    EXPECT_EQ(headless::checkState(IDC_NTSC), BST_UNCHECKED);
    headless::Progress p = headless::progress(IDC_PROGRESS);
    EXPECT_EQ(p.low, 0);
    EXPECT_EQ(p.high, 100);
    EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dialog_, IDC_PAL)), IDC_PAL);
    EXPECT_EQ(GetParent(GetDlgItem(dialog_, IDC_PAL)), dialog_);
    EXPECT_EQ(GetDlgItem(dialog_, 4242), nullptr);
}

TEST_F(Controls, AutoRadioButtonsOfAGroup) {
    EXPECT_EQ(headless::click(IDC_NTSC), Core::Click::Done);
    EXPECT_EQ(headless::checkState(IDC_NTSC), BST_CHECKED);
    EXPECT_EQ(headless::checkState(IDC_PAL), BST_UNCHECKED);
    EXPECT_EQ(headless::click(IDC_PAL), Core::Click::Done);
    EXPECT_EQ(headless::checkState(IDC_NTSC), BST_UNCHECKED);
    EXPECT_EQ(headless::checkState(IDC_PAL), BST_CHECKED);
    EXPECT_EQ(commands(IDC_NTSC), 1);
    EXPECT_EQ(commands(IDC_PAL), 1);
    // BM_SETCHECK sets one button only, as on Windows.
    SendMessageA(GetDlgItem(dialog_, IDC_NTSC), BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, IDC_NTSC), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog_, IDC_PAL), static_cast<UINT>(BST_CHECKED));
}

TEST_F(Controls, ClicksThatDoNothing) {
    EXPECT_EQ(headless::click(IDC_UPDATE), Core::Click::Disabled);
    EXPECT_EQ(headless::click(IDC_SERIAL), Core::Click::Inert);
    EXPECT_EQ(headless::click(4242), Core::Click::NoControl);
    EXPECT_EQ(commands(IDC_UPDATE), 0);
    // Enabling is handled like a send and reports the state before.
    EXPECT_NE(EnableWindow(GetDlgItem(dialog_, IDC_UPDATE), TRUE), FALSE);
    EXPECT_EQ(EnableWindow(GetDlgItem(dialog_, IDC_UPDATE), TRUE), FALSE);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_UPDATE)));
    EXPECT_EQ(headless::click(IDC_UPDATE), Core::Click::Done);
    EXPECT_EQ(commands(IDC_UPDATE), 1);
    // Escape and the close command reach the procedure as IDCANCEL; the dialog stays.
    EXPECT_TRUE(headless::escape());
    EXPECT_TRUE(headless::close());
    EXPECT_EQ(commands(IDCANCEL), 2);
    EXPECT_TRUE(IsWindow(dialog_));
}

TEST_F(Controls, ProgressBarRangeAndPosition) {
    HWND bar = GetDlgItem(dialog_, IDC_PROGRESS);
    EXPECT_EQ(SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 50)), MAKELONG(0, 100));
    EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 20, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 80, 0), 20);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);  // held inside the range
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 10));
    EXPECT_EQ(headless::progress(IDC_PROGRESS).pos, 10);
}

TEST_F(Controls, StatusBarParts) {
    HWND bar = dialog.statusBar();
    ASSERT_EQ(GetDlgItem(dialog_, IDC_STATUSBAR), bar);
    EXPECT_TRUE(SendMessageA(bar, SB_SETTEXT, 0, reinterpret_cast<LPARAM>("Connecting")));
    EXPECT_FALSE(SendMessageA(bar, SB_SETTEXT, 1, reinterpret_cast<LPARAM>("no such part")));
    int edges[] = {100, -1};
    SendMessageA(bar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(edges));
    EXPECT_TRUE(SendMessageA(bar, SB_SETTEXT, 1, reinterpret_cast<LPARAM>("second")));
    char buffer[64] = {};
    EXPECT_EQ(LOWORD(SendMessageA(bar, SB_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer))), 10);
    EXPECT_STREQ(buffer, "Connecting");
    EXPECT_EQ(headless::statusText(1), "second");
    SetWindowTextA(bar, "via the window text");
    EXPECT_EQ(headless::statusText(0), "via the window text");
}

TEST_F(Controls, TextsAndCaption) {
    SetDlgItemTextA(dialog_, IDC_PCB_REVISION, "B2");
    char small[2];
    EXPECT_EQ(GetDlgItemTextA(dialog_, IDC_PCB_REVISION, small, sizeof small), 1u);
    EXPECT_STREQ(small, "B");
    EXPECT_EQ(GetWindowTextLengthA(GetDlgItem(dialog_, IDC_PCB_REVISION)), 2);
    SetWindowTextA(dialog_, "Brevicor Update Utility 2.07");
    EXPECT_EQ(headless::caption(), "Brevicor Update Utility 2.07");
    char caption[64];
    GetWindowTextA(dialog_, caption, sizeof caption);
    EXPECT_STREQ(caption, "Brevicor Update Utility 2.07");
}

TEST_F(Controls, IconsOfTheScript) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    HANDLE big = LoadImageA(self, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, LR_SHARED);
    HANDLE small = LoadImageA(self, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_SHARED);
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small, nullptr);
    EXPECT_NE(big, small);
    EXPECT_EQ(LoadImageA(self, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32, LR_SHARED), big);
    EXPECT_EQ(LoadImageA(self, MAKEINTRESOURCEA(555), IMAGE_ICON, 32, 32, LR_SHARED), nullptr);
    SendMessageA(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageA(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    int id = 0, cx = 0, cy = 0;
    ASSERT_TRUE(headless::iconInfo(headless::icon(ICON_BIG), &id, &cx, &cy));
    EXPECT_EQ(id, IDI_APP);
    EXPECT_EQ(cx, 32);
    ASSERT_TRUE(headless::iconInfo(headless::icon(ICON_SMALL), &id, &cx, &cy));
    EXPECT_EQ(cy, 16);
}

TEST_F(Controls, CursorsAndSetCursorHandling) {
    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(headless::systemCursorId(wait), 32514);
    // A procedure that leaves WM_SETCURSOR alone gets the arrow from the default handling.
    HCURSOR before = SetCursor(wait);
    EXPECT_EQ(SetCursor(before), wait);
    SetCursor(wait);
    EXPECT_EQ(headless::systemCursorId(headless::moveMouse(HTCLIENT)), 32512);
    // One that handles it keeps the cursor it sets.
    dialog.setHandler([wait](HWND, UINT message, WPARAM, LPARAM, INT_PTR* result) {
        if (message != WM_SETCURSOR)
            return false;
        SetCursor(wait);
        *result = TRUE;
        return true;
    });
    EXPECT_EQ(headless::moveMouse(HTCAPTION), wait);
    EXPECT_EQ(headless::moveMouse(HTERROR), wait);
    dialog.setHandler(nullptr);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

}  // namespace
}  // namespace test
}  // namespace window
}  // namespace bvu
