#include "platform/window/terminal_layout.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "platform/window/box_buttons.h"

namespace bvu {
namespace window {
namespace {

constexpr double kDluPerColumn = 3.25;
constexpr double kDluPerRow = 8.0;

int cells(double units, double perCell) {
    return static_cast<int>(std::lround(units / perCell));
}

bool hasText(const ControlView& c) {
    return c.kind != Kind::StatusBar && c.kind != Kind::Progress &&
           !(c.kind == Kind::Button && (c.style & BS_TYPEMASK) == BS_GROUPBOX);
}

std::vector<std::string> wrap(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string paragraph;
    while (std::getline(in, paragraph)) {
        while (paragraph.size() > width) {
            size_t cut = paragraph.rfind(' ', width);
            if (cut == std::string::npos || cut == 0)
                cut = width;
            lines.push_back(paragraph.substr(0, cut));
            paragraph.erase(0, cut == width ? cut : cut + 1);
        }
        lines.push_back(paragraph);
    }
    if (lines.empty())
        lines.push_back(std::string());
    return lines;
}

}  // namespace

namespace {

// The template's rows at 8 dialog units a row, and which of them carry something: a text, or the
// top or bottom line of a group box.
struct Rows {
    int count = 0;
    std::vector<int> top, height;
    std::vector<bool> used;
};

Rows fullScaleRows(const DialogView& view) {
    Rows r;
    r.count = std::max(1, static_cast<int>(std::ceil(view.cy / kDluPerRow)));
    r.used.assign(r.count, false);
    for (const ControlView& c : view.controls) {
        int top = std::min(cells(c.y, kDluPerRow), r.count - 1);
        int height = std::max(1, cells(c.y + c.cy, kDluPerRow) - cells(c.y, kDluPerRow));
        height = std::min(height, r.count - top);
        r.top.push_back(top);
        r.height.push_back(height);
        if (c.kind == Kind::StatusBar)
            continue;
        if (c.kind == Kind::Button && (c.style & BS_TYPEMASK) == BS_GROUPBOX) {
            r.used[top] = r.used[top + height - 1] = true;
        } else {
            r.used[top + (c.kind == Kind::Button ? (height - 1) / 2 : 0)] = true;
        }
    }
    return r;
}

// Maps each full-scale row (and the end) to a screen row, dropping empty rows from the longest
// empty stretches first while the dialog is taller than the room; squeezes the rest evenly if
// that is not enough.
std::vector<int> rowMap(const Rows& r, int room) {
    std::vector<bool> kept(r.count, true);
    int keptCount = r.count;
    while (keptCount > room) {
        int bestStart = -1, bestLength = 0;
        for (int i = 0; i < r.count;) {
            if (!kept[i] || r.used[i]) {
                ++i;
                continue;
            }
            int j = i;
            while (j < r.count && (!kept[j] || !r.used[j])) ++j;
            int length = 0;
            for (int k = i; k < j; ++k) length += kept[k] ? 1 : 0;
            if (length > bestLength) {
                bestLength = length;
                bestStart = i;
            }
            i = j;
        }
        if (bestStart < 0)
            break;
        // Drop the middle kept row of the stretch.
        int skip = bestLength / 2;
        for (int k = bestStart;; ++k) {
            if (!kept[k])
                continue;
            if (skip-- == 0) {
                kept[k] = false;
                break;
            }
        }
        --keptCount;
    }
    std::vector<int> map(r.count + 1);
    int next = keptCount;
    for (int i = r.count; i >= 0; --i) {
        if (i < r.count && kept[i])
            --next;
        map[i] = next;
    }
    if (keptCount > room) {
        for (int& m : map) m = m * room / keptCount;
    }
    return map;
}

}  // namespace

DialogLayout layoutDialog(const DialogView& view, int columns, int rows) {
    DialogLayout l;
    // Across: the whole template when it fits, else its content with a column of margin,
    // squeezed to the screen's width.
    double left = 0, span = view.cx, perColumn = kDluPerColumn;
    int margin = 0;
    if (view.cx / kDluPerColumn > columns - 2.0) {
        double lo = view.cx, hi = 0;
        for (const ControlView& c : view.controls) {
            if (c.kind == Kind::StatusBar)
                continue;
            lo = std::min(lo, static_cast<double>(c.x));
            hi = std::max(hi, static_cast<double>(c.x + c.cx));
        }
        if (hi > lo) {
            left = lo;
            span = hi - lo;
            margin = 1;
        }
        perColumn = std::max(kDluPerColumn, span / std::max(1.0, columns - 2.0 - 2 * margin));
    }
    l.client.width = std::max(
        1, std::min(columns - 2, static_cast<int>(std::ceil(span / perColumn)) + 2 * margin));
    Rows full = fullScaleRows(view);
    std::vector<int> map = rowMap(full, std::max(1, rows - 3));
    l.client.height = std::max(1, map[full.count]);
    l.frame.width = l.client.width + 2;
    l.frame.height = l.client.height + 3;
    l.frame.col = std::max(0, (columns - l.frame.width) / 2);
    l.frame.row = std::max(0, (rows - l.frame.height) / 2);
    l.client.col = l.frame.col + 1;
    l.client.row = l.frame.row + 1;
    l.statusRow = l.client.row + l.client.height;
    for (size_t i = 0; i < view.controls.size(); ++i) {
        const ControlView& c = view.controls[i];
        Cell cell;
        if (c.kind == Kind::StatusBar) {
            cell = Cell{l.statusRow, l.client.col, l.client.width, 1};
        } else {
            int top = full.top[i];
            cell.row = l.client.row + std::min(map[top], l.client.height - 1);
            cell.height = std::max(1, map[top + full.height[i]] - map[top]);
            int x = margin + cells(std::max(0.0, c.x - left), perColumn);
            cell.col = l.client.col + std::min(x, l.client.width - 1);
            cell.width = std::max(
                1, std::min(cells(c.cx, perColumn), l.client.col + l.client.width - cell.col));
        }
        l.controls.push_back(cell);
    }
    // A terminal's cells are wider than the font's average character, so a text may need more
    // columns than its control has: the texts of a row move right as far as the one before needs.
    std::vector<size_t> flowing;
    for (size_t i = 0; i < view.controls.size(); ++i) {
        const ControlView& c = view.controls[i];
        uint32_t type = c.style & BS_TYPEMASK;
        if (c.kind == Kind::Static ||
            (c.kind == Kind::Button && type > BS_DEFPUSHBUTTON && type != BS_GROUPBOX)) {
            flowing.push_back(i);
        }
    }
    std::sort(flowing.begin(), flowing.end(), [&](size_t a, size_t b) {
        const Cell &ca = l.controls[a], &cb = l.controls[b];
        return ca.row != cb.row ? ca.row < cb.row : ca.col < cb.col;
    });
    for (size_t n = 1; n < flowing.size(); ++n) {
        const ControlView& prev = view.controls[flowing[n - 1]];
        const Cell& before = l.controls[flowing[n - 1]];
        Cell& me = l.controls[flowing[n]];
        if (before.row != me.row)
            continue;
        int needed = static_cast<int>(prev.text.size()) + (prev.kind == Kind::Button ? 4 : 0);
        int end = before.col + needed;
        me.col = std::max(me.col, std::min(end + 1, l.client.col + l.client.width - 1));
    }
    // A text may then run past its control up to a blank before the next control on its row.
    for (size_t i = 0; i < view.controls.size(); ++i) {
        const Cell& me = l.controls[i];
        int limit = l.client.col + l.client.width;
        for (size_t k = 0; k < view.controls.size(); ++k) {
            const Cell& other = l.controls[k];
            if (k == i || !hasText(view.controls[k]) || other.col <= me.col)
                continue;
            if (me.row >= other.row && me.row < other.row + other.height) {
                limit = std::min(limit, other.col - 1);
            }
        }
        l.textRoom.push_back(std::max(me.width, limit - me.col));
    }
    return l;
}

BoxLayout layoutBox(const BoxView& box, int columns, int rows, int stack) {
    BoxLayout l;
    switch (box.type & MB_ICONMASK) {
        case MB_ICONHAND:
            l.icon = "(x)";
            break;
        case MB_ICONQUESTION:
            l.icon = "(?)";
            break;
        case MB_ICONEXCLAMATION:
            l.icon = "/!\\";
            break;
        case MB_ICONASTERISK:
            l.icon = "(i)";
            break;
        default:
            break;
    }
    int iconWidth = l.icon.empty() ? 0 : static_cast<int>(l.icon.size()) + 2;
    int room = std::max(10, columns - 6 - iconWidth);
    l.lines = wrap(box.text, static_cast<size_t>(room));
    l.buttons = boxButtons(box.type);
    int buttonsWidth = -2;
    for (int b : l.buttons) buttonsWidth += static_cast<int>(std::string(buttonName(b)).size()) + 6;
    int textWidth = 0;
    for (const std::string& line : l.lines) textWidth = std::max(textWidth, int(line.size()));
    int width = std::max({static_cast<int>(box.caption.size()) + 6, textWidth + iconWidth + 4,
                          buttonsWidth + 4, 20});
    l.frame.width = std::min(width, columns);
    l.frame.height = std::min(static_cast<int>(l.lines.size()) + 5, rows);
    l.frame.col =
        std::max(0, std::min((columns - l.frame.width) / 2 + 2 * stack, columns - l.frame.width));
    l.frame.row = std::max(0, std::min((rows - l.frame.height) / 2 + stack, rows - l.frame.height));
    int col = l.frame.col + std::max(1, (l.frame.width - buttonsWidth) / 2);
    int row = l.frame.row + l.frame.height - 2;
    for (int b : l.buttons) {
        int w = static_cast<int>(std::string(buttonName(b)).size()) + 4;
        l.buttonCells.push_back(Cell{row, col, w, 1});
        col += w + 2;
    }
    return l;
}

}  // namespace window
}  // namespace bvu
