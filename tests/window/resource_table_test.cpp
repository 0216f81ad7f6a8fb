// The dialog template built into the layer is the one the program's design describes: style,
// size, font, caption and the 22 controls in order with identifiers, classes, texts, styles and
// positions; and the icon group IDI_APP.
#include <gtest/gtest.h>

#include <strings.h>

#include "app/resources/resource.h"
#include "platform/win32_window.h"
#include "platform/window/resource_table.h"

namespace bvu {
namespace window {
namespace {

constexpr uint32_t kChild = WS_CHILD | WS_VISIBLE;
constexpr uint32_t kLabel = kChild | SS_LEFT | WS_GROUP;

TEST(ResourceTable, UpdateDialog) {
    const DialogTemplate* d = findDialogTemplate(IDD_UPDATE);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->resourceId, 101);
    EXPECT_EQ(d->style, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);
    EXPECT_EQ(d->exStyle, 0u);
    EXPECT_EQ(d->cx, 332);
    EXPECT_EQ(d->cy, 206);
    EXPECT_STREQ(d->fontName, "MS Sans Serif");
    EXPECT_EQ(d->pointSize, 8);
    EXPECT_STREQ(d->caption, "Brevicor Update Utility ");

    const ControlTemplate expected[] = {
        {1000, "BUTTON", "Exit", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, 180, 175, 50, 14},
        {-1, "STATIC", "Serial No:", kLabel, 0, 40, 14, 86, 8},
        {1005, "STATIC", "3000-000000", kLabel, 0, 126, 14, 47, 8},
        {-1, "BUTTON", "Video Firmware", kChild | BS_GROUPBOX, 0, 31, 50, 268, 26},
        {-1, "STATIC", "Current Version:", kLabel, 0, 40, 62, 51, 8},
        {1010, "STATIC", "00.00", kLabel, 0, 96, 62, 19, 8},
        {-1, "STATIC", "Update Version:", kLabel, 0, 176, 62, 52, 8},
        {1011, "STATIC", "00.00", kLabel, 0, 236, 62, 19, 8},
        {-1, "BUTTON", "Control Firmware", kChild | BS_GROUPBOX, 0, 31, 82, 268, 28},
        {-1, "STATIC", "Current Version:", kLabel, 0, 40, 96, 51, 8},
        {1015, "STATIC", "00.00", kLabel, 0, 96, 96, 19, 8},
        {-1, "STATIC", "Update Version:", kLabel, 0, 176, 96, 52, 8},
        {1016, "STATIC", "00.00", kLabel, 0, 236, 96, 19, 8},
        {1001, "BUTTON", "Update", kChild | BS_DEFPUSHBUTTON | WS_DISABLED | WS_TABSTOP, 0, 95, 175,
         50, 14},
        {1021, "msctls_progress32", "Progress1", kChild | WS_BORDER, 0, 31, 152, 268, 14},
        {1006, "STATIC", "00.00", kLabel, 0, 126, 32, 50, 8},
        {-1, "STATIC", "PCB Revision: ", kLabel, 0, 184, 14, 48, 8},
        {1007, "STATIC", "00.00", kLabel, 0, 233, 14, 19, 8},
        {-1, "STATIC", "Current Firmware Version:", kLabel, 0, 40, 32, 81, 8},
        {-1, "BUTTON", "Video Standard", kChild | BS_GROUPBOX, 0, 31, 117, 268, 26},
        {1002, "BUTTON", "NTSC", kChild | BS_AUTORADIOBUTTON, 0, 101, 128, 48, 10},
        {1003, "BUTTON", "PAL", kChild | BS_AUTORADIOBUTTON, 0, 188, 127, 29, 10},
    };
    ASSERT_EQ(d->controlCount, 22u);
    for (size_t i = 0; i < 22; ++i) {
        const ControlTemplate& want = expected[i];
        const ControlTemplate& got = d->controls[i];
        SCOPED_TRACE("control " + std::to_string(i + 1) + " \"" + want.text + "\"");
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(strcasecmp(got.className, want.className), 0) << got.className;
        EXPECT_STREQ(got.text, want.text);
        EXPECT_EQ(got.style, want.style) << std::hex << got.style;
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
    }
}

TEST(ResourceTable, Icon) {
    const IconResource* icon = findIcon(IDI_APP);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->resourceId, 102);
    EXPECT_EQ(findIcon(IDD_UPDATE), nullptr);
    EXPECT_EQ(findDialogTemplate(IDI_APP), nullptr);
}

}  // namespace
}  // namespace window
}  // namespace bvu
