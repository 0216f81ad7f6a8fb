#include "app/terminal_screen.h"

#include <algorithm>
#include <sstream>

namespace {

constexpr int W = kTerminalDialogColumns;
constexpr int H = kTerminalDialogRows;

// Bytes that a terminal would not show as one cell each become '?', so that the grid holds.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            c = '?';
    }
    return out;
}

// Splits at line breaks and wraps at blanks to lines of at most width characters.
std::vector<std::string> wrap(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string paragraph; std::getline(in, paragraph);) {
        paragraph = printable(paragraph);
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

class Canvas {
  public:
    Canvas(TerminalScreen& s) : s_(s) {}

    // Writes text from (row, col), cut at width cells and at the screen's edge.
    void put(int row, int col, const std::string& text, char look = ' ', int width = -1) {
        if (row < 0 || row >= s_.rows)
            return;
        const std::string shown = printable(text);
        const int n = width < 0 ? static_cast<int>(shown.size())
                                : std::min(width, static_cast<int>(shown.size()));
        for (int i = 0; i < n; ++i) {
            const int c = col + i;
            if (c < 0 || c >= s_.columns)
                continue;
            s_.text[row][c] = shown[i];
            s_.look[row][c] = look;
        }
    }
    void fill(int row, int col, int width, char look) {
        put(row, col, std::string(std::max(0, width), ' '), look);
    }
    void frame(int row, int col, int width, int height, const std::string& title) {
        put(row, col, "+" + std::string(width - 2, '-') + "+");
        put(row + height - 1, col, "+" + std::string(width - 2, '-') + "+");
        for (int r = row + 1; r < row + height - 1; ++r) {
            put(r, col, "|");
            put(r, col + width - 1, "|");
        }
        if (!title.empty())
            put(row, col + 2, " " + title + " ", ' ', width - 4);
    }

  private:
    TerminalScreen& s_;
};

// A button as drawn: "[ Update ]", "( ) NTSC"; the focused one between > and <, reversed.
void drawButton(Canvas& c, TerminalScreen& s, int row, int col, const std::string& label,
                bool enabled, bool focused, bool isDefault, TerminalScreen::Target target) {
    char look = !enabled ? 'd' : focused ? 'r' : isDefault ? 'b' : ' ';
    c.put(row, col, label, look);
    if (focused) {
        c.put(row, col - 1, ">");
        c.put(row, col + static_cast<int>(label.size()), "<");
    }
    target.row = row;
    target.col = col;
    target.width = static_cast<int>(label.size());
    s.targets.push_back(target);
}

void drawDialog(Canvas& c, TerminalScreen& s, const DialogState& st, const TerminalFocus& focus,
                int top, int left, bool keys) {
    auto at = [&](int row, int col, const std::string& text, int width = -1) {
        c.put(top + row, left + col, text, ' ', width);
    };
    c.frame(top, left, W, H, st.caption + (st.busy ? " [busy]" : ""));
    at(1, 3, "Serial No:");
    at(1, 16, st.serial, 17);
    at(1, 34, "PCB Revision:");
    at(1, 48, st.pcbRevision, 8);
    at(2, 3, "Current Firmware Version:");
    at(2, 29, st.package, 27);
    const struct {
        int row;
        const char* title;
        const std::string& current;
        const std::string& update;
    } groups[] = {{3, "Video Firmware", st.videoCurrent, st.videoUpdate},
                  {6, "Control Firmware", st.controlCurrent, st.controlUpdate}};
    for (const auto& g : groups) {
        c.frame(top + g.row, left + 2, W - 4, 3, g.title);
        at(g.row + 1, 4, "Current Version:");
        at(g.row + 1, 21, g.current, 8);
        at(g.row + 1, 30, "Update Version:");
        at(g.row + 1, 46, g.update, 8);
    }
    c.frame(top + 9, left + 2, W - 4, 3, "Video Standard");
    auto focused = [&](Button b) { return keys && focus.button == b; };
    TerminalScreen::Target target;
    target.button = Button::Ntsc;
    drawButton(c, s, top + 10, left + 14,
               std::string(st.standard == VideoStandard::Ntsc ? "(*)" : "( )") + " NTSC",
               st.standardEnabled, focused(Button::Ntsc), false, target);
    target.button = Button::Pal;
    drawButton(c, s, top + 10, left + 34,
               std::string(st.standard == VideoStandard::Pal ? "(*)" : "( )") + " PAL",
               st.standardEnabled, focused(Button::Pal), false, target);

    const int inner = W - 6;
    const int percent = std::max(0, std::min(100, st.progress));
    const int filled = inner * percent / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(inner - filled, '.') + "]";
    const std::string label = " " + std::to_string(percent) + "% ";
    bar.replace(1 + (inner - label.size()) / 2, label.size(), label);
    at(12, 2, bar);

    target.button = Button::Update;
    drawButton(c, s, top + 13, left + 14, "[ Update ]", st.updateEnabled, focused(Button::Update),
               st.defaultButton == Button::Update, target);
    target.button = Button::Exit;
    drawButton(c, s, top + 13, left + 36, "[ Exit ]", st.exitEnabled, focused(Button::Exit),
               st.defaultButton == Button::Exit, target);

    // Three rows: the longest status ("All updates complete. The package version was left as
    // it was: ...") takes three at this width.
    const std::vector<std::string> status = wrap(st.status, W - 4);
    for (int i = 0; i < 3; ++i) {
        c.fill(top + 14 + i, left + 1, W - 2, 'r');
        if (i < static_cast<int>(status.size()))
            c.put(top + 14 + i, left + 2, status[i], 'r', W - 4);
    }
}

struct BoxShape {
    int width = 0, height = 0;
    std::vector<std::string> lines;
};

BoxShape shapeBox(const Box& box, int columns) {
    BoxShape shape;
    const int textRoom = std::max(10, std::min(columns - 2, 72) - 9);
    shape.lines = wrap(box.text, static_cast<size_t>(textRoom));
    int widest = static_cast<int>(box.caption.size()) + 4;
    for (const std::string& l : shape.lines)
        widest = std::max(widest, static_cast<int>(l.size()) + 9);
    widest = std::max(widest, 22);
    shape.width = widest;
    shape.height = static_cast<int>(shape.lines.size()) + 5;
    return shape;
}

void drawBox(Canvas& c, TerminalScreen& s, const Box& box, const BoxShape& shape,
             const TerminalFocus& focus) {
    const int top = (s.rows - shape.height) / 2;
    const int left = (s.columns - shape.width) / 2;
    for (int r = 0; r < shape.height; ++r) c.fill(top + r, left, shape.width, ' ');
    c.frame(top, left, shape.width, shape.height, box.caption);
    c.put(top + 2, left + 2, box.kind == Box::Kind::Error ? "(x)" : "(?)");
    for (size_t i = 0; i < shape.lines.size(); ++i)
        c.put(top + 2 + static_cast<int>(i), left + 7, shape.lines[i]);

    const std::vector<Answer> answers = box.answers();
    std::vector<std::string> labels;
    int total = 0;
    for (Answer a : answers) {
        labels.push_back(std::string("[ ") + answerName(a) + " ]");
        total += static_cast<int>(labels.back().size());
    }
    total += 3 * static_cast<int>(answers.size() - 1);
    int col = left + (shape.width - total) / 2;
    for (size_t i = 0; i < answers.size(); ++i) {
        TerminalScreen::Target target;
        target.inBox = true;
        target.answer = answers[i];
        drawButton(c, s, top + shape.height - 2, col, labels[i], true, focus.boxAnswer == i,
                   answers[i] == box.defaultAnswer(), target);
        col += static_cast<int>(labels[i].size()) + 3;
    }
}

}  // namespace

const TerminalScreen::Target* TerminalScreen::at(int row, int col) const {
    // The box's buttons lie over the dialog's: the last one drawn wins.
    for (size_t i = targets.size(); i-- > 0;) {
        const Target& t = targets[i];
        if (row == t.row && col >= t.col && col < t.col + t.width)
            return &t;
    }
    return nullptr;
}

TerminalScreen renderTerminalScreen(const DialogState& state, bool showDialog,
                                    const TerminalFocus& focus, int columns, int rows) {
    TerminalScreen s;
    s.columns = std::max(0, columns);
    s.rows = std::max(0, rows);
    s.text.assign(s.rows, std::string(s.columns, ' '));
    s.look.assign(s.rows, std::string(s.columns, ' '));
    Canvas c(s);

    BoxShape shape;
    if (state.box)
        shape = shapeBox(*state.box, s.columns);
    const int needColumns = std::max(showDialog ? W : 0, shape.width);
    const int needRows = std::max(showDialog ? H : 0, shape.height);
    if (s.columns < needColumns || s.rows < needRows) {
        s.tooSmall = true;
        c.put(0, 0,
              "Terminal too small (" + std::to_string(needColumns) + "x" +
                  std::to_string(needRows) + " needed)");
        return s;
    }
    if (showDialog)
        drawDialog(c, s, state, focus, (s.rows - H) / 2, (s.columns - W) / 2, !state.box);
    if (state.box)
        drawBox(c, s, *state.box, shape, focus);
    return s;
}

std::vector<std::string> terminalSummary(const DialogState& state) {
    DialogState plain = state;
    plain.box.reset();
    const TerminalScreen s = renderTerminalScreen(plain, true, TerminalFocus(), W, H);
    std::vector<std::string> lines;
    for (std::string line : s.text) {
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}
