#include "emulator/trace.h"

#include <cstdio>

namespace bvu {
namespace emulator {

std::string guiseName(Guise guise) {
    switch (guise) {
        case Guise::Run:
            return "run";
        case Guise::Bootloader:
            return "bootloader";
        case Guise::Absent:
            return "absent";
        case Guise::Bricked:
            return "bricked";
    }
    return "?";
}

bool parseGuise(const std::string& name, Guise* guise) {
    for (Guise g : {Guise::Run, Guise::Bootloader, Guise::Absent, Guise::Bricked}) {
        if (guiseName(g) == name) {
            *guise = g;
            return true;
        }
    }
    return false;
}

std::string replyName(Reply reply) {
    switch (reply) {
        case Reply::Ack:
            return "ack";
        case Reply::Stall:
            return "stall";
        case Reply::NoAnswer:
            return "no-answer";
        case Reply::Gone:
            return "gone";
    }
    return "?";
}

bool parseReply(const std::string& name, Reply* reply) {
    for (Reply r : {Reply::Ack, Reply::Stall, Reply::NoAnswer, Reply::Gone}) {
        if (replyName(r) == name) {
            *reply = r;
            return true;
        }
    }
    return false;
}

std::string formatTraceEntry(const TraceEntry& e) {
    char buf[160];
    std::string line;
    std::snprintf(buf, sizeof buf, "%6s %s%-10s ", std::to_string(e.sequence).c_str(),
                  e.device == 1 ? "twin:" : "", guiseName(e.guise).c_str());
    line += buf;
    if (e.kind == TraceKind::Bulk) {
        std::snprintf(buf, sizeof buf, "bulk OUT 0x%02X           ", e.endpoint);
    } else {
        std::snprintf(buf, sizeof buf, "%s%02X %02X %02X%02X %02X%02X %02X%02X",
                      e.kind == TraceKind::SetInterface ? "SETIF " : "      ", e.setup[0],
                      e.setup[1], e.setup[3], e.setup[2], e.setup[5], e.setup[4], e.setup[7],
                      e.setup[6]);
    }
    line += buf;
    std::snprintf(buf, sizeof buf, "  len %6u ", e.dataLength);
    line += buf;
    const size_t shown = e.data.size() < 16 ? e.data.size() : 16;
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", e.data[i]);
        line += buf;
    }
    if (e.data.size() > shown || e.dataLength > e.data.size())
        line += "...";
    line += "  " + replyName(e.reply);
    if (!e.fault.empty())
        line += " (fault " + e.fault + ")";
    return line;
}

}  // namespace emulator
}  // namespace bvu
