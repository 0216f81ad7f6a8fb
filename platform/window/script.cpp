// The headless front end's input script: parsing, running, and the standard-input reader.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/window/box_buttons.h"
#include "platform/window/headless_driver.h"
#include "platform/window/headless_front_end.h"

namespace bvu {
namespace window {
namespace headless {
namespace {

std::string trim(const std::string& s) {
    size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool parseId(const std::string& text, int* id) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 0xFFFF)
        return false;
    *id = static_cast<int>(v);
    return true;
}

const char* clickProblem(Core::Click result) {
    switch (result) {
        case Core::Click::NoControl:
            return "there is no such control";
        case Core::Click::Disabled:
            return "the control is disabled";
        case Core::Click::Blocked:
            return "the dialog does not take input now";
        case Core::Click::Inert:
            return "the control does not react to clicks";
        case Core::Click::Done:
            break;
    }
    return "";
}

std::string seconds(double s) {
    std::ostringstream out;
    out << s << " s";
    return out.str();
}

}  // namespace

bool parseCommand(const std::string& line, Command* out, std::string* error) {
    *out = Command();
    std::string text = trim(line);
    if (text.empty() || text[0] == '#')
        return true;
    size_t blank = text.find_first_of(" \t");
    std::string keyword = text.substr(0, blank);
    std::string rest = blank == std::string::npos ? std::string() : trim(text.substr(blank));
    auto needsNothing = [&](Command::Kind kind) {
        if (!rest.empty()) {
            *error = keyword + " takes no argument";
            return false;
        }
        out->kind = kind;
        return true;
    };
    auto needsId = [&](Command::Kind kind) {
        if (!parseId(rest, &out->number)) {
            *error = keyword + " needs a control identifier (0 to 65535), not '" + rest + "'";
            return false;
        }
        out->kind = kind;
        return true;
    };
    if (keyword == "answer") {
        if (rest == "default") {
            out->number = 0;
        } else if (!buttonFromName(rest, &out->number)) {
            *error =
                "answer needs a button (yes, no, ok, cancel, abort, retry, ignore, tryagain, "
                "continue or default), not '" +
                rest + "'";
            return false;
        }
        out->kind = Command::Answer;
        return true;
    }
    if (keyword == "click")
        return needsId(Command::Click);
    if (keyword == "wait-enabled")
        return needsId(Command::WaitEnabled);
    if (keyword == "wait-disabled")
        return needsId(Command::WaitDisabled);
    if (keyword == "close")
        return needsNothing(Command::Close);
    if (keyword == "escape")
        return needsNothing(Command::Escape);
    if (keyword == "wait-status") {
        if (rest.empty()) {
            *error = "wait-status needs a text";
            return false;
        }
        out->kind = Command::WaitStatus;
        out->text = rest;
        return true;
    }
    if (keyword == "timeout") {
        char* end = nullptr;
        double v = std::strtod(rest.c_str(), &end);
        if (rest.empty() || *end != '\0' || !std::isfinite(v) || v <= 0) {
            *error = "timeout needs a positive number of seconds, not '" + rest + "'";
            return false;
        }
        out->kind = Command::Timeout;
        out->seconds = v;
        return true;
    }
    *error = "unknown command '" + keyword + "'";
    return false;
}

void runScript(const std::function<bool(std::string* line)>& nextLine) {
    HeadlessFrontEnd& fe = HeadlessFrontEnd::instance();
    Core& core = Core::instance();
    double timeout = 600;
    size_t statusCursor = 0;
    int number = 0;
    auto report = [&](const std::string& message) {
        fe.writeLine("script: line " + std::to_string(number) + ": " + message);
    };
    fe.setScriptReading(true);
    std::string line;
    while (nextLine(&line)) {
        ++number;
        Command c;
        std::string error;
        if (!parseCommand(line, &c, &error)) {
            report(error + "; line skipped");
            continue;
        }
        if (c.kind == Command::Nothing)
            continue;
        if (c.kind == Command::Answer) {
            fe.queueAnswer(c.number);
            continue;
        }
        if (c.kind == Command::Timeout) {
            timeout = c.seconds;
            continue;
        }
        // A box that opens while the script acts or waits takes its default: the script cannot
        // answer it before the command is done.
        fe.setScriptReading(false);
        clock::TimePoint deadline =
            clock::now() + clock::scaled(std::chrono::milliseconds(
                               static_cast<int64_t>(std::llround(timeout * 1000))));
        bool timedOut = false;
        switch (c.kind) {
            case Command::Click:
            case Command::Close:
            case Command::Escape: {
                if (!core.waitForDialog(deadline)) {
                    report("no dialog open within " + seconds(timeout));
                    timedOut = true;
                    break;
                }
                if (c.kind == Command::Click) {
                    Core::Click r = click(c.number);
                    if (r != Core::Click::Done) {
                        report("click " + std::to_string(c.number) +
                               " ignored: " + clickProblem(r));
                    }
                } else if (!(c.kind == Command::Close ? close() : escape())) {
                    report(std::string(c.kind == Command::Close ? "close" : "escape") +
                           " ignored: the dialog does not take input now");
                }
                break;
            }
            case Command::WaitStatus:
                if (!fe.waitForStatus(c.text, &statusCursor, deadline)) {
                    report("the status \"" + escapeText(c.text) + "\" did not come within " +
                           seconds(timeout));
                    timedOut = true;
                }
                break;
            case Command::WaitEnabled:
            case Command::WaitDisabled: {
                bool wanted = c.kind == Command::WaitEnabled;
                if (!core.waitForEnabled(c.number, wanted, deadline)) {
                    report("control " + std::to_string(c.number) + " was not " +
                           (wanted ? "enabled" : "disabled") + " within " + seconds(timeout));
                    timedOut = true;
                }
                break;
            }
            default:
                break;
        }
        if (timedOut) {
            fe.writeLine("script: ended after a time-out");
            break;
        }
        fe.setScriptReading(true);
    }
    fe.setScriptReading(false);
    core.setInputEnded();
}

}  // namespace headless

void startStdinScript() {
    if (isatty(STDIN_FILENO)) {
        Core::instance().setInputEnded();
        return;
    }
    // Boxes that open before the reader has read anything wait for it.
    HeadlessFrontEnd::instance().setScriptReading(true);
    std::thread([] {
        std::string buffer;
        bool ended = false;
        headless::runScript([&](std::string* line) {
            for (;;) {
                size_t end = buffer.find('\n');
                if (end != std::string::npos) {
                    *line = buffer.substr(0, end);
                    buffer.erase(0, end + 1);
                    return true;
                }
                if (ended) {
                    if (buffer.empty())
                        return false;
                    *line = buffer;
                    buffer.clear();
                    return true;
                }
                char chunk[4096];
                ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
                if (n > 0) {
                    buffer.append(chunk, static_cast<size_t>(n));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    ended = true;
                }
            }
        });
    }).detach();
}

}  // namespace window
}  // namespace bvu
