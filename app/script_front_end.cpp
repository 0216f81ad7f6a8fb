#include "app/script_front_end.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/dialog_presenter.h"
#include "app/resources/resource.h"
#include "app/script_commands.h"
#include "platform/clock.h"

namespace {

using Press = DialogPresenter::Press;
using Kind = ScriptCommand::Kind;

// One write a line, so that lines never mix with other writers of standard error.
void writeLine(const std::string& line) {
    const std::string out = line + "\n";
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string field(const char* label, const std::optional<std::string>& value) {
    return std::string(label) + (value ? " " + escapeText(*value) : " not read");
}

std::string unitLine(const UnitRecord& unit, const CarriedVersions& carried, bool afterUpdate) {
    std::string line =
        std::string("device: ") + (afterUpdate ? "after the update: " : "before the update: ") +
        field("serial", unit.serial) + ", " + field("PCB revision", unit.pcbRevision);
    if (unit.videoStandard) {
        line += ", " + escapeText(*unit.videoStandard);
    }
    return line + ", " + field("package", unit.package) + ", " +
           field("video firmware", unit.video) + ", " + field("control firmware", unit.control) +
           " (carried: package " + escapeText(carried.package) + ", video " +
           escapeText(carried.video) + ", control " + escapeText(carried.control) + ")";
}

std::string seconds(double s) {
    std::ostringstream out;
    out << s << " s";
    return out.str();
}

// What the reader thread hands the dialog's loop; shared, so that the reader, which may still
// wait in read() when the program ends, never outlives it.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    bool ended = false;
    uint64_t wakes = 0;

    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++wakes;
        }
        changed.notify_all();
    }
};

void readStandardInput(std::shared_ptr<Inbox> inbox) {
    std::string buffer;
    for (;;) {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(inbox->mutex);
        if (n > 0) {
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                inbox->lines.push_back(buffer.substr(0, end));
                buffer.erase(0, end + 1);
            }
        } else {
            if (!buffer.empty())
                inbox->lines.push_back(buffer);
            inbox->ended = true;
        }
        ++inbox->wakes;
        inbox->changed.notify_all();
        if (inbox->ended)
            return;
    }
}

class ScriptFrontEnd : public FrontEnd {
  public:
    ScriptFrontEnd() : inbox_(std::make_shared<Inbox>()) {}

    void runDialog(DialogPresenter& presenter) override;
    Answer showBox(const Box& box) override;

    void show(const DialogState& state) override;
    void close(bool) override { inbox_->wake(); }
    void wake() override { inbox_->wake(); }
    void unitRecorded(const UnitRecord& unit, const CarriedVersions& carried,
                      bool afterUpdate) override {
        writeLine(unitLine(unit, carried, afterUpdate));
    }
    void errorDetail(const std::string& detail) override {
        writeLine("detail: " + escapeText(detail));
    }

  private:
    void startReading();
    bool runScript(DialogPresenter& presenter);
    bool resolveBox(DialogPresenter& presenter);
    // False while the current command waits.
    bool execute(DialogPresenter& presenter);
    void note(const std::string& message) {
        writeLine("script: line " + std::to_string(lineNumber_) + ": " + message);
    }
    void endScript() {
        scriptEnded_ = true;
        current_.reset();
    }
    // Whether more answers may come before the script acts or waits again.
    bool reading() const { return !scriptEnded_ && !current_; }

    std::shared_ptr<Inbox> inbox_;
    bool started_ = false;

    // The dialog's loop's own.
    DialogState shown_;
    int lastTenth_ = 0;  // a new bar stands at 0
    std::vector<std::string> statusHistory_;
    size_t statusCursor_ = 0;  // wait-status looks from here
    int boxSeen_ = 0;
    int boxAnswered_ = 0;
    std::deque<ScriptCommand> answers_;
    std::optional<ScriptCommand> current_;
    bvu::clock::TimePoint deadline_;
    double timeout_ = 600;
    int lineNumber_ = 0;
    bool scriptEnded_ = false;
};

void ScriptFrontEnd::startReading() {
    if (started_)
        return;
    started_ = true;
    if (isatty(STDIN_FILENO)) {
        scriptEnded_ = true;  // nobody types a script
        return;
    }
    std::thread(readStandardInput, inbox_).detach();
}

void ScriptFrontEnd::show(const DialogState& state) {
    const int tenth = state.progress / 10;
    if (tenth != lastTenth_) {
        lastTenth_ = tenth;
        writeLine("progress: " +
                  (state.progressStep.empty() ? "" : escapeText(state.progressStep) + ": ") +
                  std::to_string(state.progress) + "%");
    }
    if (state.statusCount != shown_.statusCount) {
        writeLine("status: " + escapeText(state.status));
        statusHistory_.push_back(state.status);
    }
    if (state.box && state.box->id != boxSeen_) {
        boxSeen_ = state.box->id;
        writeLine("box: " + escapeText(state.box->caption) + ": " + escapeText(state.box->text));
    }
    shown_ = state;
}

Answer ScriptFrontEnd::showBox(const Box& box) {
    writeLine("box: " + escapeText(box.caption) + ": " + escapeText(box.text));
    const Answer answer = box.defaultAnswer();
    writeLine("answer: " + escapeText(box.caption) + ": " + answerName(answer));
    return answer;
}

bool ScriptFrontEnd::resolveBox(DialogPresenter& presenter) {
    const std::optional<Box>& box = presenter.state().box;
    if (!box || box->id == boxAnswered_) {
        return false;
    }
    Answer answer = box->defaultAnswer();
    if (!answers_.empty()) {
        const ScriptCommand wanted = answers_.front();
        answers_.pop_front();
        if (wanted.answer && box->offers(*wanted.answer)) {
            answer = *wanted.answer;
        } else if (!wanted.defaultAnswer) {
            writeLine("script: answer " + wanted.answerName + " does not fit the box \"" +
                      escapeText(box->caption) + "\"; its default is used");
        }
    } else if (reading()) {
        return false;  // the answer may be on the script's next line
    }
    boxAnswered_ = box->id;
    writeLine("answer: " + escapeText(box->caption) + ": " + answerName(answer));
    presenter.answer(box->id, answer);
    return true;
}

bool ScriptFrontEnd::runScript(DialogPresenter& presenter) {
    bool acted = false;
    for (;;) {
        if (current_) {
            if (!execute(presenter)) {
                return acted;
            }
            acted = true;
            continue;
        }
        if (scriptEnded_) {
            return acted;
        }
        std::string line;
        {
            std::lock_guard<std::mutex> lock(inbox_->mutex);
            if (inbox_->lines.empty()) {
                if (inbox_->ended) {
                    scriptEnded_ = true;
                }
                return acted;
            }
            line = inbox_->lines.front();
            inbox_->lines.pop_front();
        }
        ++lineNumber_;
        acted = true;
        ScriptCommand command;
        std::string error;
        if (!parseScriptCommand(line, &command, &error)) {
            note(error + "; line skipped");
        } else if (command.kind == Kind::Answer) {
            answers_.push_back(command);
        } else if (command.kind == Kind::Timeout) {
            timeout_ = command.seconds;
        } else if (command.kind != Kind::Nothing) {
            current_ = command;
            deadline_ =
                bvu::clock::now() + bvu::clock::scaled(std::chrono::milliseconds(
                                        static_cast<int64_t>(std::llround(timeout_ * 1000))));
        }
    }
}

bool ScriptFrontEnd::execute(DialogPresenter& presenter) {
    const ScriptCommand& c = *current_;
    const DialogState& state = presenter.state();
    auto timedOut = [&](const std::string& what) {
        if (bvu::clock::now() < deadline_) {
            return false;
        }
        note(what + " within " + seconds(timeout_));
        writeLine("script: ended after a time-out");
        endScript();
        return true;
    };
    switch (c.kind) {
        case Kind::Click: {
            Press press = Press::Done;
            const char* problem = nullptr;
            switch (c.control) {
                case IDC_UPDATE:
                    press = presenter.update();
                    break;
                case IDC_EXIT:
                    press = presenter.exit();
                    break;
                case IDC_NTSC:
                    press = presenter.ntsc();
                    break;
                case IDC_PAL:
                    press = presenter.pal();
                    break;
                case IDC_SERIAL:
                case IDC_FIRMWARE_VERSION:
                case IDC_PCB_REVISION:
                case IDC_VIDEO_CURRENT:
                case IDC_VIDEO_UPDATE:
                case IDC_CONTROL_CURRENT:
                case IDC_CONTROL_UPDATE:
                case IDC_PROGRESS:
                case IDC_STATUSBAR:
                    problem = "the control does not react to clicks";
                    break;
                default:
                    problem = "there is no such control";
            }
            if (press == Press::Disabled)
                problem = "the control is disabled";
            if (press == Press::Blocked)
                problem = "the dialog does not take input now";
            if (problem != nullptr)
                note("click " + std::to_string(c.control) + " ignored: " + problem);
            break;
        }
        case Kind::Close:
        case Kind::Escape:
            if (presenter.cancel() != Press::Done) {
                note(std::string(c.kind == Kind::Close ? "close" : "escape") +
                     " ignored: the dialog does not take input now");
            }
            break;
        case Kind::WaitStatus: {
            for (size_t i = statusCursor_; i < statusHistory_.size(); ++i) {
                if (statusMatches(c.text, statusHistory_[i])) {
                    statusCursor_ = i + 1;
                    current_.reset();
                    return true;
                }
            }
            return timedOut("the status \"" + escapeText(c.text) + "\" did not come");
        }
        case Kind::WaitEnabled:
        case Kind::WaitDisabled: {
            const bool wanted = c.kind == Kind::WaitEnabled;
            bool enabled = true;  // a control that is no button is always enabled
            if (c.control == IDC_UPDATE)
                enabled = state.updateEnabled;
            else if (c.control == IDC_EXIT)
                enabled = state.exitEnabled;
            else if (c.control == IDC_NTSC || c.control == IDC_PAL)
                enabled = state.standardEnabled;
            if (enabled != wanted) {
                return timedOut("control " + std::to_string(c.control) + " was not " +
                                (wanted ? "enabled" : "disabled"));
            }
            break;
        }
        default:
            break;
    }
    current_.reset();
    return true;
}

void ScriptFrontEnd::runDialog(DialogPresenter& presenter) {
    shown_ = DialogState();
    lastTenth_ = 0;
    startReading();
    presenter.start();
    for (;;) {
        uint64_t wakes;
        {
            std::lock_guard<std::mutex> lock(inbox_->mutex);
            wakes = inbox_->wakes;
        }
        bool acted;
        do {
            presenter.deliver();
            acted = runScript(presenter);
            acted = resolveBox(presenter) || acted;
        } while (acted);
        if (presenter.ended() && !presenter.state().box) {
            return;
        }
        if (scriptEnded_ && !presenter.ended() && presenter.idle()) {
            writeLine("script: end of input; the dialog gets the Exit command");
            presenter.exit();
            continue;
        }
        std::unique_lock<std::mutex> lock(inbox_->mutex);
        auto woken = [&] { return inbox_->wakes != wakes; };
        if (current_) {
            inbox_->changed.wait_until(lock, deadline_, woken);
        } else {
            inbox_->changed.wait(lock, woken);
        }
    }
}

}  // namespace

std::unique_ptr<FrontEnd> makeScriptFrontEnd() {
    return std::unique_ptr<FrontEnd>(new ScriptFrontEnd());
}
