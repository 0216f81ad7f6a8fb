// The terminal front end: the dialog and its message boxes drawn with ncurses, used with the
// keyboard (Tab, arrows, Enter, Space, Escape, F6 between a box and the dialog) and the mouse.
//
// One thread of its own owns the terminal: it draws from snapshots of the core's state and turns
// keys and clicks into posted clicks and box answers, so it never waits for the dialog's thread.
// The terminal is in curses mode only while a dialog or a box is shown; a dialog's end and a box's
// close wait until the screen has been given back, so that what the program prints afterwards
// lands on the normal screen.
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/window/box_buttons.h"
#include "platform/window/core.h"
#include "platform/window/front_end.h"
#include "platform/window/terminal_layout.h"

namespace bvu {
namespace window {
namespace {

int g_wakeFd = -1;  // write end of the wake pipe, for the signal handlers
std::atomic<bool> g_resized{false};
struct termios g_savedTerminal;
bool g_haveSavedTerminal = false;

void onResize(int) {
    g_resized.store(true);
    char c = 'r';
    if (g_wakeFd >= 0)
        (void)!::write(g_wakeFd, &c, 1);
}

// Ctrl-C and termination: give the terminal back before the process goes.
void onInterrupt(int signal) {
    static const char leave[] = "\033[?1049l\033[?25h\r\n";
    (void)!::write(STDOUT_FILENO, leave, sizeof leave - 1);
    if (g_haveSavedTerminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool isGroupBox(const ControlView& c) {
    return c.kind == Kind::Button && (c.style & BS_TYPEMASK) == BS_GROUPBOX;
}

bool focusable(const ControlView& c) {
    return c.kind == Kind::Button && !isGroupBox(c) && c.enabled;
}

class TerminalFrontEnd : public FrontEnd {
  public:
    static TerminalFrontEnd* create();
    void stop();

    void dialogOpened(HWND) override { wake(); }
    void dialogEnded(HWND) override { settle(); }
    void changed(const Change&) override { wake(); }
    void boxOpened(const BoxView&) override { wake(); }
    void boxClosed(const BoxView&, int) override { settle(); }

  private:
    TerminalFrontEnd() = default;
    void wake();
    void settle();
    void run();
    void snapshot();
    void draw();
    void drawDialog();
    void drawControl(const ControlView& c, const Cell& cell, int room);
    void drawBox(const BoxView& box, int stack);
    void onKey(int key);
    void onMouse();
    void clickControl(HWND control);
    void dialogKey(int key);
    void boxKey(const BoxView& box, int key);
    bool dialogTakesInput() const;

    int pipe_[2] = {-1, -1};
    SCREEN* screen_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t requested_ = 0;
    uint64_t processed_ = 0;
    bool quit_ = false;

    // The UI thread's own.
    bool active_ = false;
    bool haveDialog_ = false;
    DialogView view_;
    DialogLayout layout_;
    std::vector<BoxView> boxes_;
    std::map<int, size_t> boxFocus_;  // box id -> index of the focused button
    int topBox_ = 0;
    bool keysToDialog_ = false;
    HWND focus_ = nullptr;
    HCURSOR waitCursor_ = nullptr;
};

TerminalFrontEnd* g_terminal = nullptr;

TerminalFrontEnd* TerminalFrontEnd::create() {
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0)
        g_haveSavedTerminal = true;
    // Texts in the user's character set; numbers keep the C locale's format.
    std::setlocale(LC_CTYPE, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr)
        return nullptr;
    endwin();  // curses mode only while something is shown
    auto* t = new TerminalFrontEnd();
    t->screen_ = screen;
    t->waitCursor_ = LoadCursorA(nullptr, IDC_WAIT);
    if (::pipe(t->pipe_) != 0) {
        delete t;
        return nullptr;
    }
    for (int fd : t->pipe_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    g_wakeFd = t->pipe_[1];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onResize;
    sigaction(SIGWINCH, &sa, nullptr);
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    t->thread_ = std::thread([t] { t->run(); });
    g_terminal = t;
    std::atexit([] { g_terminal->stop(); });
    return t;
}

void TerminalFrontEnd::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
}

void TerminalFrontEnd::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requested_;
    }
    char c = 'w';
    (void)!::write(pipe_[1], &c, 1);  // a full pipe means a wake-up is pending anyway
}

void TerminalFrontEnd::settle() {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ticket = ++requested_;
    }
    char c = 's';
    (void)!::write(pipe_[1], &c, 1);
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return processed_ >= ticket || quit_; });
}

void TerminalFrontEnd::run() {
    for (;;) {
        uint64_t ticket;
        bool quit;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ticket = requested_;
            quit = quit_;
        }
        snapshot();
        bool showing = !quit && (haveDialog_ || !boxes_.empty());
        if (showing && !active_) {
            set_term(screen_);
            reset_prog_mode();
            cbreak();
            noecho();
            nonl();
            keypad(stdscr, TRUE);
            nodelay(stdscr, TRUE);
            set_escdelay(25);
            curs_set(0);
            mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED, nullptr);
            mouseinterval(0);
            active_ = true;
        } else if (!showing && active_) {
            erase();
            refresh();
            endwin();
            active_ = false;
        }
        if (active_) {
            if (g_resized.exchange(false)) {
                struct winsize ws;
                if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0)
                    resizeterm(ws.ws_row, ws.ws_col);
            }
            draw();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            processed_ = ticket;
        }
        cv_.notify_all();
        if (quit)
            return;
        struct pollfd fds[2] = {{pipe_[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int n = ::poll(fds, active_ ? 2 : 1, -1);
        if (n < 0)
            continue;  // a signal; look again
        char drain[64];
        while (::read(pipe_[0], drain, sizeof drain) > 0) {
        }
        if (active_ && (fds[1].revents & (POLLIN | POLLHUP))) {
            for (int key; (key = getch()) != ERR;) onKey(key);
        }
    }
}

void TerminalFrontEnd::snapshot() {
    Core& core = Core::instance();
    haveDialog_ = core.dialogView(&view_);
    boxes_ = core.openBoxes();
    std::map<int, size_t> focus;
    for (const BoxView& b : boxes_) {
        auto it = boxFocus_.find(b.id);
        if (it != boxFocus_.end()) {
            focus[b.id] = it->second;
            continue;
        }
        std::vector<int> buttons = boxButtons(b.type);
        focus[b.id] =
            std::find(buttons.begin(), buttons.end(), defaultButton(b.type)) - buttons.begin();
    }
    boxFocus_.swap(focus);
    int top = boxes_.empty() ? 0 : boxes_.back().id;
    if (top != topBox_ && top != 0)
        keysToDialog_ = false;  // a new box takes the keys
    topBox_ = top;
    if (!dialogTakesInput())
        keysToDialog_ = false;
    if (haveDialog_) {
        layout_ = layoutDialog(view_, COLS > 0 ? COLS : 80, LINES > 0 ? LINES : 24);
        auto current = std::find_if(view_.controls.begin(), view_.controls.end(),
                                    [&](const ControlView& c) { return c.handle == focus_; });
        if (current == view_.controls.end() || !focusable(*current)) {
            auto first = std::find_if(view_.controls.begin(), view_.controls.end(), focusable);
            focus_ = first != view_.controls.end() ? first->handle : nullptr;
        }
    }
}

bool TerminalFrontEnd::dialogTakesInput() const {
    return haveDialog_ && !view_.blocked;
}

void TerminalFrontEnd::draw() {
    erase();
    if (COLS < 20 || LINES < 8) {
        mvaddstr(0, 0, "Terminal too small");
    } else {
        if (haveDialog_)
            drawDialog();
        for (size_t i = 0; i < boxes_.size(); ++i) drawBox(boxes_[i], static_cast<int>(i));
    }
    refresh();
}

// Plain characters: they look the same in every terminal and in a captured screen.
void drawFrame(const Cell& c) {
    if (c.width < 2 || c.height < 2)
        return;
    mvhline(c.row, c.col + 1, '-', c.width - 2);
    mvhline(c.row + c.height - 1, c.col + 1, '-', c.width - 2);
    mvvline(c.row + 1, c.col, '|', c.height - 2);
    mvvline(c.row + 1, c.col + c.width - 1, '|', c.height - 2);
    for (int r : {c.row, c.row + c.height - 1}) {
        mvaddch(r, c.col, '+');
        mvaddch(r, c.col + c.width - 1, '+');
    }
}

void clearCell(const Cell& c) {
    for (int r = 0; r < c.height; ++r) mvhline(c.row + r, c.col, ' ', c.width);
}

void TerminalFrontEnd::drawDialog() {
    const DialogLayout& l = layout_;
    drawFrame(l.frame);
    std::string title = " " + view_.caption + " ";
    if (GetCursor() == waitCursor_)
        title += "[busy] ";
    int room = l.frame.width - 4;
    mvaddnstr(l.frame.row, l.frame.col + std::max(2, (l.frame.width - int(title.size())) / 2),
              title.c_str(), room);
    // Group boxes first: the controls inside are drawn over them.
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < view_.controls.size(); ++i) {
            if (isGroupBox(view_.controls[i]) == (pass == 0)) {
                drawControl(view_.controls[i], l.controls[i], l.textRoom[i]);
            }
        }
    }
}

void TerminalFrontEnd::drawControl(const ControlView& c, const Cell& cell, int room) {
    const bool showFocus = c.handle == focus_ && (boxes_.empty() || keysToDialog_);
    attr_t attr = c.enabled ? A_NORMAL : A_DIM;
    uint32_t type = c.style & BS_TYPEMASK;
    switch (c.kind) {
        case Kind::Static:
            attrset(attr);
            mvaddnstr(cell.row, cell.col, c.text.c_str(), room);
            break;
        case Kind::Button:
            if (type == BS_GROUPBOX) {
                Cell frame = cell;
                frame.height = std::max(2, frame.height);
                drawFrame(frame);
                std::string title = " " + c.text + " ";
                mvaddnstr(cell.row, cell.col + 1, title.c_str(), std::max(0, cell.width - 2));
            } else {
                std::string label;
                if (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) {
                    label = std::string(c.check == BST_CHECKED ? "(*) " : "( ) ") + c.text;
                } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                           type == BS_AUTO3STATE) {
                    label = std::string(c.check == BST_CHECKED         ? "[x] "
                                        : c.check == BST_INDETERMINATE ? "[-] "
                                                                       : "[ ] ") +
                            c.text;
                } else {
                    label = "[ " + c.text + " ]";
                }
                int col = cell.col;
                if (label.size() < static_cast<size_t>(cell.width) && type <= BS_DEFPUSHBUTTON) {
                    col += (cell.width - static_cast<int>(label.size())) / 2;
                }
                if (type == BS_DEFPUSHBUTTON && c.enabled)
                    attr |= A_BOLD;
                if (showFocus)
                    attr |= A_REVERSE;
                attrset(attr);
                mvaddnstr(cell.row + (cell.height - 1) / 2, col, label.c_str(),
                          std::max(room, static_cast<int>(label.size())));
            }
            break;
        case Kind::Progress: {
            int inner = std::max(1, cell.width - 2);
            int span = c.high - c.low;
            int percent = span > 0 ? (c.pos - c.low) * 100 / span : 0;
            int filled = inner * std::max(0, std::min(100, percent)) / 100;
            std::string bar =
                "[" + std::string(filled, '#') + std::string(inner - filled, '.') + "]";
            std::string text = " " + std::to_string(percent) + "% ";
            if (static_cast<int>(text.size()) < inner) {
                bar.replace(1 + (inner - text.size()) / 2, text.size(), text);
            }
            attrset(A_NORMAL);
            mvaddnstr(cell.row + (cell.height - 1) / 2, cell.col, bar.c_str(), cell.width);
            break;
        }
        case Kind::StatusBar: {
            std::string text;
            for (size_t p = 0; p < c.partTexts.size(); ++p) {
                if (p > 0)
                    text += " | ";
                text += c.partTexts[p];
            }
            attrset(A_REVERSE);
            mvhline(cell.row, cell.col, ' ', cell.width);
            mvaddnstr(cell.row, cell.col + 1, text.c_str(), std::max(0, cell.width - 2));
            break;
        }
        default:
            break;
    }
    attrset(A_NORMAL);
}

void TerminalFrontEnd::drawBox(const BoxView& box, int stack) {
    BoxLayout l = layoutBox(box, COLS, LINES, stack);
    attrset(A_NORMAL);
    clearCell(l.frame);
    drawFrame(l.frame);
    std::string caption = " " + box.caption + " ";
    mvaddnstr(l.frame.row, l.frame.col + std::max(1, (l.frame.width - int(caption.size())) / 2),
              caption.c_str(), l.frame.width - 2);
    int textCol = l.frame.col + 2;
    if (!l.icon.empty()) {
        mvaddstr(l.frame.row + 2, textCol, l.icon.c_str());
        textCol += static_cast<int>(l.icon.size()) + 2;
    }
    for (size_t i = 0; i < l.lines.size() && int(i) + 4 < l.frame.height; ++i) {
        mvaddnstr(l.frame.row + 2 + static_cast<int>(i), textCol, l.lines[i].c_str(),
                  l.frame.col + l.frame.width - 1 - textCol);
    }
    const bool hasKeys = box.id == topBox_ && !keysToDialog_;
    for (size_t i = 0; i < l.buttons.size(); ++i) {
        std::string label = std::string("[ ") + buttonName(l.buttons[i]) + " ]";
        attrset(hasKeys && boxFocus_[box.id] == i ? A_REVERSE : A_NORMAL);
        mvaddstr(l.buttonCells[i].row, l.buttonCells[i].col, label.c_str());
    }
    attrset(A_NORMAL);
}

void TerminalFrontEnd::clickControl(HWND control) {
    Core& core = Core::instance();
    HWND dialog = view_.handle;
    // As the mouse would, the dialog first hears about the cursor.
    core.post(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(control),
              MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN));
    core.postCall(control, [control] {
        return static_cast<LRESULT>(Core::instance().clickOnOwnerThread(control, true));
    });
}

void TerminalFrontEnd::onKey(int key) {
    if (key == KEY_MOUSE) {
        onMouse();
    } else if (key == KEY_RESIZE) {
        g_resized.store(true);
    } else if (key == KEY_F(6)) {
        if (!boxes_.empty() && dialogTakesInput())
            keysToDialog_ = !keysToDialog_;
    } else if (!boxes_.empty() && !keysToDialog_) {
        boxKey(boxes_.back(), key);
    } else if (dialogTakesInput()) {
        dialogKey(key);
    }
    draw();
}

void TerminalFrontEnd::boxKey(const BoxView& box, int key) {
    std::vector<int> buttons = boxButtons(box.type);
    size_t& focus = boxFocus_[box.id];
    int answer = 0;
    switch (key) {
        case '\t':
        case KEY_RIGHT:
            focus = (focus + 1) % buttons.size();
            break;
        case KEY_BTAB:
        case KEY_LEFT:
            focus = (focus + buttons.size() - 1) % buttons.size();
            break;
        case '\n':
        case '\r':
        case ' ':
        case KEY_ENTER:
            answer = buttons[focus];
            break;
        case 27:
            answer = escapeButton(box.type);
            break;
        default:
            for (int b : buttons) {
                if (key < 256 && std::tolower(key) == std::tolower(buttonName(b)[0]))
                    answer = b;
            }
    }
    if (answer != 0)
        Core::instance().answerBox(box.id, answer);
}

void TerminalFrontEnd::dialogKey(int key) {
    std::vector<HWND> order;
    for (const ControlView& c : view_.controls) {
        if (focusable(c))
            order.push_back(c.handle);
    }
    auto at = std::find(order.begin(), order.end(), focus_);
    size_t index = at == order.end() ? 0 : static_cast<size_t>(at - order.begin());
    switch (key) {
        case '\t':
        case KEY_RIGHT:
        case KEY_DOWN:
            if (!order.empty())
                focus_ = order[(index + 1) % order.size()];
            break;
        case KEY_BTAB:
        case KEY_LEFT:
        case KEY_UP:
            if (!order.empty())
                focus_ = order[(index + order.size() - 1) % order.size()];
            break;
        case '\n':
        case '\r':
        case ' ':
        case KEY_ENTER:
            if (focus_ != nullptr)
                clickControl(focus_);
            break;
        case 27: {
            HWND dialog = view_.handle;
            Core::instance().post(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            break;
        }
        default:
            break;
    }
}

void TerminalFrontEnd::onMouse() {
    MEVENT event;
    if (getmouse(&event) != OK)
        return;
    if ((event.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) == 0)
        return;
    if (!boxes_.empty()) {
        const BoxView& top = boxes_.back();
        BoxLayout l = layoutBox(top, COLS, LINES, static_cast<int>(boxes_.size()) - 1);
        for (size_t i = 0; i < l.buttons.size(); ++i) {
            if (l.buttonCells[i].contains(event.y, event.x)) {
                Core::instance().answerBox(top.id, l.buttons[i]);
                return;
            }
        }
        if (l.frame.contains(event.y, event.x)) {
            keysToDialog_ = false;
            return;
        }
    }
    if (!dialogTakesInput())
        return;
    // The control under the mouse: the last one drawn there, group boxes only as a last resort.
    for (size_t k = view_.controls.size(); k-- > 0;) {
        const ControlView& c = view_.controls[k];
        if (!focusable(c) || !layout_.controls[k].contains(event.y, event.x))
            continue;
        focus_ = c.handle;
        keysToDialog_ = true;
        clickControl(c.handle);
        return;
    }
    if (layout_.frame.contains(event.y, event.x))
        keysToDialog_ = true;
}

}  // namespace

FrontEnd* makeTerminalFrontEnd() {
    return TerminalFrontEnd::create();
}

}  // namespace window
}  // namespace bvu
