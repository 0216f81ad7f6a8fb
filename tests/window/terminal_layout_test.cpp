// Where the terminal front end draws the dialog and the boxes.
#include <gtest/gtest.h>

#include <cmath>

#include "app/resources/resource.h"
#include "platform/window/resource_table.h"
#include "platform/window/terminal_layout.h"

namespace bvu {
namespace window {
namespace {

// The update dialog as the front end sees it, status bar included.
DialogView updateDialog() {
    const DialogTemplate* t = findDialogTemplate(IDD_UPDATE);
    DialogView v;
    v.caption = t->caption;
    v.cx = t->cx;
    v.cy = t->cy;
    for (size_t i = 0; i < t->controlCount; ++i) {
        const ControlTemplate& c = t->controls[i];
        ControlView cv;
        cv.id = c.id;
        cv.kind = std::string(c.className) == "STATIC" ? Kind::Static
                  : c.id == IDC_PROGRESS               ? Kind::Progress
                                                       : Kind::Button;
        cv.text = c.text;
        cv.style = c.style;
        cv.x = c.x;
        cv.y = c.y;
        cv.cx = c.cx;
        cv.cy = c.cy;
        v.controls.push_back(cv);
    }
    ControlView status;
    status.kind = Kind::StatusBar;
    status.id = IDC_STATUSBAR;
    v.controls.push_back(status);
    return v;
}

bool isGroup(const ControlView& c) {
    return (c.style & BS_TYPEMASK) == BS_GROUPBOX && c.kind == Kind::Button;
}

TEST(TerminalLayout, LargeScreenKeepsTheTemplatesProportions) {
    DialogView v = updateDialog();
    DialogLayout l = layoutDialog(v, 140, 45);
    EXPECT_EQ(l.client.width, 103);  // 332 units at 3.25 a column
    EXPECT_EQ(l.client.height, 26);  // 206 units at 8 a row
    for (size_t i = 0; i + 1 < v.controls.size(); ++i) {
        SCOPED_TRACE(v.controls[i].text);
        EXPECT_EQ(l.controls[i].col - l.client.col, std::lround(v.controls[i].x / 3.25));
        EXPECT_EQ(l.controls[i].row - l.client.row, std::lround(v.controls[i].y / 8.0));
    }
    EXPECT_EQ(l.controls.back().row, l.statusRow);
}

TEST(TerminalLayout, SmallScreenFitsWithoutCollisions) {
    DialogView v = updateDialog();
    for (auto size : {std::make_pair(80, 24), std::make_pair(90, 20), std::make_pair(100, 30)}) {
        SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
        DialogLayout l = layoutDialog(v, size.first, size.second);
        EXPECT_LE(l.frame.col + l.frame.width, size.first);
        EXPECT_LE(l.frame.row + l.frame.height, size.second);
        for (size_t i = 0; i < v.controls.size(); ++i) {
            const Cell& c = l.controls[i];
            EXPECT_GE(c.col, l.client.col) << v.controls[i].text;
            EXPECT_LE(c.col + c.width, l.client.col + l.client.width) << v.controls[i].text;
            if (isGroup(v.controls[i])) {
                EXPECT_GE(c.height, 3) << v.controls[i].text;
            }
        }
        // Texts on one row do not run into each other, and labels stay off group box borders.
        for (size_t i = 0; i < v.controls.size(); ++i) {
            if (v.controls[i].kind != Kind::Static)
                continue;
            const Cell& a = l.controls[i];
            int drawn = std::min(static_cast<int>(v.controls[i].text.size()), l.textRoom[i]);
            EXPECT_EQ(drawn, static_cast<int>(v.controls[i].text.size())) << v.controls[i].text;
            for (size_t k = 0; k < v.controls.size(); ++k) {
                const Cell& b = l.controls[k];
                if (k == i)
                    continue;
                if (isGroup(v.controls[k])) {
                    EXPECT_NE(a.row, b.row) << v.controls[i].text;
                    EXPECT_NE(a.row, b.row + b.height - 1) << v.controls[i].text;
                } else if (v.controls[k].kind == Kind::Static && a.row == b.row && b.col > a.col) {
                    EXPECT_LT(a.col + drawn, b.col) << v.controls[i].text;
                }
            }
        }
    }
}

TEST(TerminalLayout, BoxButtonsAndLines) {
    BoxView box;
    box.caption = "Confirm Update";
    box.text = "The unit is already up-to-date.\nDo you wish to download the firmware anyway?";
    box.type = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
    BoxLayout l = layoutBox(box, 80, 24, 0);
    ASSERT_EQ(l.lines.size(), 2u);
    EXPECT_EQ(l.icon, "(?)");
    ASSERT_EQ(l.buttons, (std::vector<int>{IDYES, IDNO}));
    for (const Cell& b : l.buttonCells) {
        EXPECT_GT(b.col, l.frame.col);
        EXPECT_LT(b.col + b.width, l.frame.col + l.frame.width);
        EXPECT_EQ(b.row, l.frame.row + l.frame.height - 2);
    }
    // A long line is wrapped to the screen; a second box stands a little lower and further right.
    box.text = std::string(200, 'x');
    BoxLayout narrow = layoutBox(box, 60, 20, 1);
    EXPECT_LE(narrow.frame.width, 60);
    EXPECT_GT(narrow.lines.size(), 3u);
    EXPECT_GT(layoutBox(box, 80, 24, 1).frame.row, layoutBox(box, 80, 24, 0).frame.row);
}

}  // namespace
}  // namespace window
}  // namespace bvu
