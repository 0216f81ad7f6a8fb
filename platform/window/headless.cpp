#include "platform/window/headless_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/window/box_buttons.h"
#include "platform/window/headless_front_end.h"

namespace bvu {
namespace window {

using headless::escapeText;

namespace {

bool matches(const std::string& pattern, const std::string& text) {
    if (!pattern.empty() && pattern.back() == '*') {
        return text.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    }
    return pattern == text;
}

clock::TimePoint deadlineIn(uint32_t timeoutMs) {
    return clock::now() + clock::scaled(std::chrono::milliseconds(timeoutMs));
}

}  // namespace

// ---- The front end ----------------------------------------------------------------------------

HeadlessFrontEnd& HeadlessFrontEnd::instance() {
    static HeadlessFrontEnd* instance = new HeadlessFrontEnd();
    return *instance;
}

void HeadlessFrontEnd::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.clear();
    hold_ = false;
    scriptReading_ = false;
    pending_.clear();
    history_.clear();
    apiCursor_ = 0;
    tenth_.clear();
}

void HeadlessFrontEnd::setSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

void HeadlessFrontEnd::writeLine(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
    }
    if (sink) {
        sink(line);
        return;
    }
    // One write a line, so that lines from several threads do not mix.
    std::string out = line + "\n";
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void HeadlessFrontEnd::queueAnswer(int button) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.push_back(button);
    }
    resolve();
}

void HeadlessFrontEnd::hold(bool hold) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = hold;
    }
    resolve();
}

void HeadlessFrontEnd::setScriptReading(bool reading) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scriptReading_ = reading;
    }
    resolve();
}

void HeadlessFrontEnd::resolve() {
    struct Decision {
        int box;
        int answer;
        std::string note;
    };
    std::vector<Decision> decisions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!pending_.empty()) {
            const BoxView& box = pending_.front();
            Decision d{box.id, defaultButton(box.type), std::string()};
            if (!queued_.empty()) {
                int wanted = queued_.front();
                queued_.pop_front();
                std::vector<int> buttons = boxButtons(box.type);
                if (wanted != 0 &&
                    std::find(buttons.begin(), buttons.end(), wanted) != buttons.end()) {
                    d.answer = wanted;
                } else if (wanted != 0) {
                    d.note = std::string("script: answer ") + buttonName(wanted) +
                             " does not fit the box \"" + escapeText(box.caption) +
                             "\"; its default is used";
                }
            } else if (hold_ || scriptReading_) {
                break;
            }
            decisions.push_back(d);
            pending_.erase(pending_.begin());
        }
    }
    for (const Decision& d : decisions) {
        if (!d.note.empty())
            writeLine(d.note);
        Core::instance().answerBox(d.box, d.answer);
    }
}

bool HeadlessFrontEnd::waitForStatus(const std::string& pattern, size_t* cursor,
                                     clock::TimePoint deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t* at = cursor != nullptr ? cursor : &apiCursor_;
    return cv_.wait_until(lock, deadline, [&] {
        for (size_t i = *at; i < history_.size(); ++i) {
            if (matches(pattern, history_[i])) {
                *at = i + 1;
                return true;
            }
        }
        return false;
    });
}

std::vector<std::string> HeadlessFrontEnd::history() {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_;
}

void HeadlessFrontEnd::dialogOpened(HWND) {
    std::lock_guard<std::mutex> lock(mutex_);
    tenth_.clear();
}

void HeadlessFrontEnd::changed(const Change& change) {
    std::string line;
    if (change.what == Change::StatusText) {
        if (change.part == 0) {
            line = "status: " + escapeText(change.text);
            std::lock_guard<std::mutex> lock(mutex_);
            history_.push_back(change.text);
            cv_.notify_all();
        } else {
            line = "status[" + std::to_string(change.part) + "]: " + escapeText(change.text);
        }
    } else if (change.what == Change::Progress) {
        int span = change.high - change.low;
        int percent = span > 0 ? (change.pos - change.low) * 100 / span : 0;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = tenth_.find(change.window);
        int last = it == tenth_.end() ? 0 : it->second;  // a new bar stands at 0
        if (percent / 10 == last)
            return;
        tenth_[change.window] = percent / 10;
        const std::string label = change.text.empty() ? "" : escapeText(change.text) + ": ";
        line = "progress: " + label + std::to_string(percent) + "%";
    } else {
        return;
    }
    writeLine(line);
}

void HeadlessFrontEnd::boxOpened(const BoxView& box) {
    writeLine("box: " + escapeText(box.caption) + ": " + escapeText(box.text));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(box);
    }
    resolve();
}

void HeadlessFrontEnd::boxClosed(const BoxView& box, int answer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [&](const BoxView& b) { return b.id == box.id; }),
                       pending_.end());
    }
    writeLine("answer: " + escapeText(box.caption) + ": " + buttonName(answer));
}

void HeadlessFrontEnd::endingAtEndOfInput(HWND) {
    writeLine("script: end of input; the dialog gets the Exit command");
}

// ---- Test interface ---------------------------------------------------------------------------

namespace headless {

std::string escapeText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

void note(const std::string& line) {
    if (&frontEnd() == &HeadlessFrontEnd::instance()) {
        HeadlessFrontEnd::instance().writeLine(line);
    }
}

void setOutputForTests(std::function<void(const std::string& line)> sink) {
    HeadlessFrontEnd::instance().setSink(std::move(sink));
}

void queueAnswer(int button) {
    HeadlessFrontEnd::instance().queueAnswer(button);
}

void holdBoxes(bool hold) {
    HeadlessFrontEnd::instance().hold(hold);
}

bool waitForBox(uint32_t timeoutMs, BoxView* out) {
    return Core::instance().waitForBox(deadlineIn(timeoutMs), out);
}

bool answerBox(int button, uint32_t timeoutMs) {
    BoxView box;
    if (!waitForBox(timeoutMs, &box))
        return false;
    return Core::instance().answerBox(box.id, button != 0 ? button : defaultButton(box.type));
}

std::vector<BoxView> openBoxes() {
    return Core::instance().openBoxes();
}

HWND waitForDialog(uint32_t timeoutMs) {
    Core& core = Core::instance();
    return core.waitForDialog(deadlineIn(timeoutMs)) ? core.openDialog() : nullptr;
}

bool waitForDialogEnd(uint32_t timeoutMs) {
    return Core::instance().waitForNoDialog(deadlineIn(timeoutMs));
}

Core::Click click(int id) {
    Core& core = Core::instance();
    HWND control = core.dialogItem(core.openDialog(), id);
    if (control == nullptr)
        return Core::Click::NoControl;
    return static_cast<Core::Click>(core.sendCall(control, [control] {
        return static_cast<LRESULT>(Core::instance().clickOnOwnerThread(control, true));
    }));
}

namespace {
// Input that reaches the dialog itself, unless its own box blocks it.
bool dialogInput(UINT message, WPARAM wParam) {
    Core& core = Core::instance();
    HWND dialog = core.openDialog();
    if (dialog == nullptr)
        return false;
    return core.sendCall(dialog, [dialog, message, wParam]() -> LRESULT {
        DialogView view;
        if (!Core::instance().dialogView(&view) || view.blocked)
            return FALSE;
        SendMessageA(dialog, message, wParam, 0);
        return TRUE;
    }) != FALSE;
}
}  // namespace

bool close() {
    return dialogInput(WM_CLOSE, 0);
}

bool escape() {
    return dialogInput(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
}

HCURSOR moveMouse(int hitTest) {
    Core& core = Core::instance();
    HWND dialog = core.openDialog();
    if (dialog != nullptr) {
        SendMessageA(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog),
                     MAKELPARAM(hitTest, WM_MOUSEMOVE));
    }
    return GetCursor();
}

namespace {
bool controlOf(int id, ControlView* view) {
    Core& core = Core::instance();
    HWND control = core.dialogItem(core.openDialog(), id);
    return control != nullptr && core.controlView(control, view);
}
}  // namespace

std::string text(int id) {
    ControlView v;
    return controlOf(id, &v) ? v.text : std::string();
}

bool enabled(int id) {
    ControlView v;
    return controlOf(id, &v) && v.enabled;
}

int checkState(int id) {
    ControlView v;
    return controlOf(id, &v) ? v.check : BST_UNCHECKED;
}

Progress progress(int id) {
    ControlView v;
    if (!controlOf(id, &v))
        return Progress{};
    return Progress{v.low, v.high, v.pos};
}

std::string statusText(int part) {
    DialogView d;
    if (!Core::instance().dialogView(&d))
        return std::string();
    for (const ControlView& c : d.controls) {
        if (c.kind == Kind::StatusBar && part >= 0 &&
            static_cast<size_t>(part) < c.partTexts.size()) {
            return c.partTexts[part];
        }
    }
    return std::string();
}

std::string caption() {
    DialogView d;
    return Core::instance().dialogView(&d) ? d.caption : std::string();
}

HICON icon(int which) {
    DialogView d;
    if (!Core::instance().dialogView(&d))
        return nullptr;
    return d.icons[which == ICON_BIG ? ICON_BIG : ICON_SMALL];
}

std::vector<std::string> statusHistory() {
    return HeadlessFrontEnd::instance().history();
}

bool waitForStatus(const std::string& pattern, uint32_t timeoutMs) {
    return HeadlessFrontEnd::instance().waitForStatus(pattern, nullptr, deadlineIn(timeoutMs));
}

}  // namespace headless
}  // namespace window
}  // namespace bvu
