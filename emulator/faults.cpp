#include "emulator/faults.h"

#include <cstdio>
#include <cstdlib>

namespace bvu {
namespace emulator {
namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};
constexpr KindName kNames[] = {
    {FaultKind::Timeout, "timeout"},
    {FaultKind::Stall, "stall"},
    {FaultKind::Short, "short"},
    {FaultKind::Empty, "empty"},
    {FaultKind::Unplug, "unplug"},
    {FaultKind::DfuError, "dfu-error"},
    {FaultKind::NeverReady, "never-ready"},
    {FaultKind::Busy, "busy"},
};

// The guise a rule counts in when none is given: the guise its kind belongs to.
Guise effectiveGuise(const FaultRule& rule) {
    if (rule.guise == Guise::Run || rule.guise == Guise::Bootloader)
        return rule.guise;
    switch (rule.kind) {
        case FaultKind::DfuError:
        case FaultKind::Busy:
            return Guise::Bootloader;
        case FaultKind::NeverReady:
            return Guise::Run;
        default:
            return Guise::Absent;
    }
}

bool looksAt(const FaultRule& rule, const RequestView& r) {
    Guise g = effectiveGuise(rule);
    if (g != Guise::Absent && g != r.guise)
        return false;
    if (!rule.match)
        return true;
    if (rule.matchBulk)
        return r.setup == nullptr && r.endpoint == rule.matchRequest;
    if (r.setup == nullptr)
        return false;
    if (r.setup[0] != rule.matchType || r.setup[1] != rule.matchRequest)
        return false;
    if (!rule.matchValue)
        return true;
    return static_cast<uint16_t>(r.setup[2] | r.setup[3] << 8) == rule.value;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            break;
        start = at + 1;
    }
    return parts;
}

}  // namespace

std::string faultKindName(FaultKind kind) {
    for (const auto& k : kNames)
        if (k.kind == kind)
            return k.name;
    return "?";
}

bool parseFaultKind(const std::string& name, FaultKind* kind) {
    for (const auto& k : kNames) {
        if (name == k.name) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char* end = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (end == text.c_str() || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

bool parseMatch(const std::string& text, FaultRule* rule, std::string* why) {
    std::vector<std::string> parts = split(text, ':');
    uint64_t a = 0, b = 0, c = 0;
    if (parts.size() == 2 && parts[0] == "bulk") {
        if (!parseNumber(parts[1], 0xFF, &b)) {
            *why = "bad endpoint in '" + text + "'";
            return false;
        }
        rule->match = true;
        rule->matchBulk = true;
        rule->matchRequest = static_cast<uint8_t>(b);
        rule->matchValue = false;
        return true;
    }
    if (parts.size() < 2 || parts.size() > 3 || !parseNumber(parts[0], 0xFF, &a) ||
        !parseNumber(parts[1], 0xFF, &b) ||
        (parts.size() == 3 && !parseNumber(parts[2], 0xFFFF, &c))) {
        *why = "a pattern is TYPE:REQUEST[:VALUE] or bulk:ENDPOINT, not '" + text + "'";
        return false;
    }
    rule->match = true;
    rule->matchBulk = false;
    rule->matchType = static_cast<uint8_t>(a);
    rule->matchRequest = static_cast<uint8_t>(b);
    rule->matchValue = parts.size() == 3;
    rule->value = static_cast<uint16_t>(c);
    return true;
}

std::string matchText(const FaultRule& rule) {
    if (!rule.match)
        return "";
    char buf[40];
    if (rule.matchBulk) {
        std::snprintf(buf, sizeof buf, "bulk:0x%02X", rule.matchRequest);
    } else if (rule.matchValue) {
        std::snprintf(buf, sizeof buf, "0x%02X:%u:0x%04X", rule.matchType, rule.matchRequest,
                      rule.value);
    } else {
        std::snprintf(buf, sizeof buf, "0x%02X:%u", rule.matchType, rule.matchRequest);
    }
    return buf;
}

bool strikeRule(std::vector<FaultRule>& rules, const RequestView& request, FaultRule* struck) {
    int strikes = -1;
    for (size_t i = 0; i < rules.size(); ++i) {
        FaultRule& rule = rules[i];
        if (!looksAt(rule, request))
            continue;
        if (rule.after > 0) {
            --rule.after;
        } else if (strikes < 0) {
            strikes = static_cast<int>(i);
        }
    }
    if (strikes < 0)
        return false;
    *struck = rules[static_cast<size_t>(strikes)];
    rules.erase(rules.begin() + strikes);
    return true;
}

}  // namespace emulator
}  // namespace bvu
