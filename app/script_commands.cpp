#include "app/script_commands.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool parseId(const std::string& text, int* id) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 0xFFFF)
        return false;
    *id = static_cast<int>(v);
    return true;
}

struct ButtonName {
    const char* script;
    const char* shown;
    std::optional<Answer> answer;
};

const ButtonName kButtons[] = {
    {"ok", "OK", Answer::Ok},
    {"cancel", "Cancel", std::nullopt},
    {"abort", "Abort", std::nullopt},
    {"retry", "Retry", std::nullopt},
    {"ignore", "Ignore", std::nullopt},
    {"yes", "Yes", Answer::Yes},
    {"no", "No", Answer::No},
    {"tryagain", "Try Again", std::nullopt},
    {"continue", "Continue", std::nullopt},
};

}  // namespace

bool parseScriptCommand(const std::string& line, ScriptCommand* out, std::string* error) {
    using Kind = ScriptCommand::Kind;
    *out = ScriptCommand();
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#')
        return true;
    const size_t blank = text.find_first_of(" \t");
    const std::string keyword = text.substr(0, blank);
    const std::string rest = blank == std::string::npos ? std::string() : trim(text.substr(blank));
    auto needsNothing = [&](Kind kind) {
        if (!rest.empty()) {
            *error = keyword + " takes no argument";
            return false;
        }
        out->kind = kind;
        return true;
    };
    auto needsId = [&](Kind kind) {
        if (!parseId(rest, &out->control)) {
            *error = keyword + " needs a control identifier (0 to 65535), not '" + rest + "'";
            return false;
        }
        out->kind = kind;
        return true;
    };
    if (keyword == "answer") {
        if (rest == "default") {
            out->defaultAnswer = true;
            out->kind = Kind::Answer;
            return true;
        }
        for (const ButtonName& b : kButtons) {
            if (strcasecmp(rest.c_str(), b.script) == 0) {
                out->answer = b.answer;
                out->answerName = b.shown;
                out->kind = Kind::Answer;
                return true;
            }
        }
        *error =
            "answer needs a button (yes, no, ok, cancel, abort, retry, ignore, tryagain, "
            "continue or default), not '" +
            rest + "'";
        return false;
    }
    if (keyword == "click")
        return needsId(Kind::Click);
    if (keyword == "wait-enabled")
        return needsId(Kind::WaitEnabled);
    if (keyword == "wait-disabled")
        return needsId(Kind::WaitDisabled);
    if (keyword == "close")
        return needsNothing(Kind::Close);
    if (keyword == "escape")
        return needsNothing(Kind::Escape);
    if (keyword == "wait-status") {
        if (rest.empty()) {
            *error = "wait-status needs a text";
            return false;
        }
        out->kind = Kind::WaitStatus;
        out->text = rest;
        return true;
    }
    if (keyword == "timeout") {
        char* end = nullptr;
        const double v = std::strtod(rest.c_str(), &end);
        if (rest.empty() || *end != '\0' || !std::isfinite(v) || v <= 0) {
            *error = "timeout needs a positive number of seconds, not '" + rest + "'";
            return false;
        }
        out->kind = Kind::Timeout;
        out->seconds = v;
        return true;
    }
    *error = "unknown command '" + keyword + "'";
    return false;
}

bool statusMatches(const std::string& pattern, const std::string& status) {
    if (!pattern.empty() && pattern.back() == '*') {
        return status.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    }
    return pattern == status;
}

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
