#include "app/terminal_front_end.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/dialog_presenter.h"
#include "app/terminal_screen.h"

namespace {

// What the signal handlers may touch: the wake pipe's write end, and what gives the terminal
// back (written while the handlers are not installed).
int g_wakeFd = -1;
char g_restore[256] = "";
size_t g_restoreLength = 0;
struct termios g_savedTerminal;
bool g_haveSavedTerminal = false;

void writeWake(char c) {
    if (g_wakeFd >= 0)
        (void)!::write(g_wakeFd, &c, 1);  // a full pipe means a wake-up is pending anyway
}

void onResize(int) {
    writeWake('r');
}

void onInterrupt(int) {
    writeWake('i');
}

// SIGTERM, SIGHUP, SIGQUIT: the terminal back as it was, then the end by the same signal (the
// handler was installed with SA_RESETHAND).
void onEnd(int signal) {
    (void)!::write(STDOUT_FILENO, g_restore, g_restoreLength);
    if (g_haveSavedTerminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    ::raise(signal);
}

void appendCapability(std::string& out, const char* name) {
    char* value = tigetstr(name);
    if (value != nullptr && value != reinterpret_cast<char*>(-1))
        out += value;
}

class TerminalFrontEnd : public FrontEnd {
  public:
    static TerminalFrontEnd* create();
    ~TerminalFrontEnd() override;

    void runDialog(DialogPresenter& presenter) override;
    Answer showBox(const Box& box) override;

    void show(const DialogState& state) override;
    void close(bool byItself) override { keepLastLook_ = byItself; }
    void wake() override { writeWake('w'); }
    void stopNow() override;

  private:
    TerminalFrontEnd() = default;
    void enter();
    void leave();
    void draw();
    // Waits for a key, a wake-up, a resize or Ctrl-C, and handles it.
    void waitAndHandle();
    void onKey(int key);
    void onMouse();
    void boxKey(const Box& box, int key);
    void dialogKey(int key);
    void press(Button button);
    void moveFocus(int step);
    std::vector<Button> stops() const;

    SCREEN* screen_ = nullptr;
    int pipe_[2] = {-1, -1};
    bool active_ = false;
    struct sigaction oldWinch_, oldInt_, oldTerm_, oldHup_, oldQuit_;

    DialogPresenter* presenter_ = nullptr;
    DialogState state_;
    bool showDialog_ = false;
    bool keepLastLook_ = false;
    TerminalFocus focus_;
    std::optional<Button> lastDefault_;
    int lastBox_ = 0;
    std::optional<Answer> boxAnswer_;  // showBox's answer
    TerminalScreen screen_shown_;
};

TerminalFrontEnd* TerminalFrontEnd::create() {
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0)
        g_haveSavedTerminal = true;
    // Texts in the user's character set; numbers keep the C locale's format.
    std::setlocale(LC_CTYPE, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr)
        return nullptr;
    auto* t = new TerminalFrontEnd();
    t->screen_ = screen;
    std::string restore;
    appendCapability(restore, "sgr0");
    appendCapability(restore, "cnorm");
    appendCapability(restore, "rmkx");
    restore += "\033[?1000l\033[?1002l\033[?1006l";  // mouse reporting off
    appendCapability(restore, "rmcup");
    std::snprintf(g_restore, sizeof g_restore, "%s", restore.c_str());
    g_restoreLength = std::strlen(g_restore);
    endwin();  // curses mode only while something is shown
    if (::pipe(t->pipe_) != 0) {
        delete t;
        return nullptr;
    }
    for (int fd : t->pipe_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    g_wakeFd = t->pipe_[1];
    return t;
}

TerminalFrontEnd::~TerminalFrontEnd() {
    leave();
    g_wakeFd = -1;
    for (int fd : pipe_) {
        if (fd >= 0)
            ::close(fd);
    }
    if (screen_ != nullptr)
        delscreen(screen_);
}

void TerminalFrontEnd::enter() {
    if (active_)
        return;
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
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
        resizeterm(ws.ws_row, ws.ws_col);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onResize;
    sigaction(SIGWINCH, &sa, &oldWinch_);
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, &oldInt_);
    sa.sa_handler = onEnd;
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGTERM, &sa, &oldTerm_);
    sigaction(SIGHUP, &sa, &oldHup_);
    sigaction(SIGQUIT, &sa, &oldQuit_);
    active_ = true;
}

void TerminalFrontEnd::leave() {
    if (!active_)
        return;
    mousemask(0, nullptr);
    keypad(stdscr, FALSE);
    curs_set(1);
    erase();
    refresh();
    endwin();
    sigaction(SIGWINCH, &oldWinch_, nullptr);
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGHUP, &oldHup_, nullptr);
    sigaction(SIGQUIT, &oldQuit_, nullptr);
    active_ = false;
}

void TerminalFrontEnd::stopNow() {
    leave();
    std::fflush(stdout);
    ::signal(SIGINT, SIG_DFL);
    ::raise(SIGINT);
    _exit(130);  // SIGINT was blocked or ignored by whoever started the program
}

std::vector<Button> TerminalFrontEnd::stops() const {
    std::vector<Button> order;
    if (state_.standardEnabled)
        order.push_back(state_.standard == VideoStandard::Pal ? Button::Pal : Button::Ntsc);
    if (state_.updateEnabled)
        order.push_back(Button::Update);
    if (state_.exitEnabled)
        order.push_back(Button::Exit);
    return order;
}

void TerminalFrontEnd::show(const DialogState& state) {
    state_ = state;
    if (state.box && state.box->id != lastBox_) {
        lastBox_ = state.box->id;
        const std::vector<Answer> answers = state.box->answers();
        focus_.boxAnswer = 0;
        for (size_t i = 0; i < answers.size(); ++i) {
            if (answers[i] == state.box->defaultAnswer())
                focus_.boxAnswer = i;
        }
    }
    // The focus follows the default button when that changes, and leaves a control that is no
    // longer enabled.
    if (lastDefault_ != state.defaultButton) {
        lastDefault_ = state.defaultButton;
        if (state.enabled(state.defaultButton))
            focus_.button = state.defaultButton;
    }
    if (!focus_.button || !state.enabled(*focus_.button)) {
        const std::vector<Button> order = stops();
        focus_.button.reset();
        if (state.enabled(state.defaultButton))
            focus_.button = state.defaultButton;
        else if (!order.empty())
            focus_.button = order.front();
    }
    if (active_)
        draw();
}

void TerminalFrontEnd::draw() {
    screen_shown_ = renderTerminalScreen(state_, showDialog_, focus_, COLS, LINES);
    erase();
    for (int r = 0; r < screen_shown_.rows; ++r) {
        const std::string& text = screen_shown_.text[r];
        const std::string& look = screen_shown_.look[r];
        for (int c = 0; c < screen_shown_.columns; ++c) {
            attr_t attr = A_NORMAL;
            switch (look[c]) {
                case 'b':
                    attr = A_BOLD;
                    break;
                case 'r':
                    attr = A_REVERSE;
                    break;
                case 'd':
                    attr = A_DIM;
                    break;
                default:
                    break;
            }
            // The last cell of the last row cannot be written without scrolling.
            if (r == LINES - 1 && c == COLS - 1)
                continue;
            mvaddch(r, c, static_cast<unsigned char>(text[c]) | attr);
        }
    }
    refresh();
}

void TerminalFrontEnd::waitAndHandle() {
    struct pollfd fds[2] = {{pipe_[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
        return;  // a signal; its byte is in the pipe
    char bytes[64];
    ssize_t n;
    bool resized = false, interrupted = false;
    while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            resized = resized || bytes[i] == 'r';
            interrupted = interrupted || bytes[i] == 'i';
        }
    }
    if (resized) {
        struct winsize ws;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
            resizeterm(ws.ws_row, ws.ws_col);
    }
    for (int key; (key = getch()) != ERR;) {
        onKey(key);
    }
    if (interrupted) {
        if (presenter_ != nullptr)
            presenter_->interrupt();
        else
            stopNow();  // a box outside the dialog: nothing is being written
    }
    draw();
}

void TerminalFrontEnd::runDialog(DialogPresenter& presenter) {
    struct Leave {
        TerminalFrontEnd* t;
        ~Leave() {
            t->presenter_ = nullptr;
            t->showDialog_ = false;
            t->leave();
        }
    } guard{this};
    presenter_ = &presenter;
    showDialog_ = true;
    keepLastLook_ = false;
    lastDefault_.reset();
    enter();
    presenter.start();
    for (;;) {
        presenter.deliver();
        if (presenter.ended()) {
            showDialog_ = false;  // a box that is still open stays alone
            if (!presenter.state().box)
                break;
        }
        draw();
        waitAndHandle();
    }
    const DialogState last = presenter.state();
    presenter_ = nullptr;
    leave();
    if (keepLastLook_) {
        for (const std::string& line : terminalSummary(last)) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

Answer TerminalFrontEnd::showBox(const Box& box) {
    struct Leave {
        TerminalFrontEnd* t;
        ~Leave() { t->leave(); }
    } guard{this};
    const DialogState saved = state_;
    DialogState alone;
    alone.box = box;
    boxAnswer_.reset();
    show(alone);
    enter();
    while (!boxAnswer_) {
        draw();
        waitAndHandle();
    }
    state_ = saved;
    return *boxAnswer_;
}

void TerminalFrontEnd::onKey(int key) {
    if (key == KEY_MOUSE) {
        onMouse();
    } else if (key == KEY_RESIZE) {
        // ncurses has resized its screen already.
    } else if (state_.box) {
        boxKey(*state_.box, key);
    } else if (presenter_ != nullptr && showDialog_) {
        dialogKey(key);
    }
}

void TerminalFrontEnd::boxKey(const Box& box, int key) {
    const std::vector<Answer> answers = box.answers();
    size_t& at = focus_.boxAnswer;
    std::optional<Answer> chosen;
    switch (key) {
        case '\t':
        case KEY_RIGHT:
        case KEY_DOWN:
            at = (at + 1) % answers.size();
            break;
        case KEY_BTAB:
        case KEY_LEFT:
        case KEY_UP:
            at = (at + answers.size() - 1) % answers.size();
            break;
        case '\n':
        case '\r':
        case ' ':
        case KEY_ENTER:
            chosen = answers[at];
            break;
        case 27:  // Escape: an OK box closes; a question needs its answer
            if (box.kind == Box::Kind::Error)
                chosen = Answer::Ok;
            break;
        default:
            for (Answer a : answers) {
                if (key > 0 && key < 256 && std::tolower(key) == std::tolower(answerName(a)[0]))
                    chosen = a;
            }
    }
    if (!chosen)
        return;
    if (presenter_ != nullptr && presenter_->state().box) {
        presenter_->answer(box.id, *chosen);
    } else {
        boxAnswer_ = chosen;  // a box outside the dialog
    }
}

void TerminalFrontEnd::press(Button button) {
    focus_.button = button;
    switch (button) {
        case Button::Update:
            presenter_->update();
            break;
        case Button::Exit:
            presenter_->exit();
            break;
        case Button::Ntsc:
            presenter_->ntsc();
            break;
        case Button::Pal:
            presenter_->pal();
            break;
    }
}

void TerminalFrontEnd::moveFocus(int step) {
    const std::vector<Button> order = stops();
    if (order.empty())
        return;
    // NTSC and PAL are one stop.
    auto same = [&](Button b) {
        const bool radio = b == Button::Ntsc || b == Button::Pal;
        return focus_.button && (*focus_.button == b || (radio && (*focus_.button == Button::Ntsc ||
                                                                   *focus_.button == Button::Pal)));
    };
    size_t index = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        if (same(order[i]))
            index = i;
    }
    const size_t n = order.size();
    focus_.button = order[(index + n + static_cast<size_t>(step + static_cast<int>(n))) % n];
}

void TerminalFrontEnd::dialogKey(int key) {
    const bool onRadio =
        focus_.button && (*focus_.button == Button::Ntsc || *focus_.button == Button::Pal);
    switch (key) {
        case '\t':
            moveFocus(1);
            break;
        case KEY_BTAB:
            moveFocus(-1);
            break;
        case KEY_LEFT:
        case KEY_UP:
        case KEY_RIGHT:
        case KEY_DOWN:
            if (onRadio) {
                // Moving within the group selects, as in the Windows dialog.
                press(*focus_.button == Button::Ntsc ? Button::Pal : Button::Ntsc);
            } else {
                moveFocus(key == KEY_LEFT || key == KEY_UP ? -1 : 1);
            }
            break;
        case '\n':
        case '\r':
        case ' ':
        case KEY_ENTER:
            if (focus_.button)
                press(*focus_.button);
            break;
        case 27:
            presenter_->cancel();
            break;
        default:
            break;
    }
}

void TerminalFrontEnd::onMouse() {
    MEVENT event;
    if (getmouse(&event) != OK || (event.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) == 0)
        return;
    const TerminalScreen::Target* target = screen_shown_.at(event.y, event.x);
    if (target == nullptr)
        return;
    if (target->inBox) {
        if (state_.box) {
            if (presenter_ != nullptr && presenter_->state().box)
                presenter_->answer(state_.box->id, target->answer);
            else
                boxAnswer_ = target->answer;
        }
        return;
    }
    if (presenter_ != nullptr && showDialog_ && state_.takesInput() &&
        state_.enabled(target->button))
        press(target->button);
}

}  // namespace

std::unique_ptr<FrontEnd> makeTerminalFrontEnd() {
    return std::unique_ptr<FrontEnd>(TerminalFrontEnd::create());
}
