// bvu-emulator: makes, shows, scripts and powers an emulated device kept in a state file.
//
//   bvu-emulator create STATE [options]     a new device (replaces STATE)
//   bvu-emulator show STATE [--json]        what it holds and where it is
//   bvu-emulator fault STATE KIND [...]     a fault rule; fault STATE --clear removes them all
//   bvu-emulator plug STATE [--port P] | unplug STATE   power (a power cycle is unplug, then
//                                           plug; --port: plugged into another port)
//   bvu-emulator trace STATE [--json] [--clear]
//   bvu-emulator serve STATE... -- COMMAND...  COMMAND against the devices through umockdev
//
// Exit codes: 0 done, 2 bad usage, 1 any other failure; every failure says why on stderr.
// The tool acts on the file: use it between program runs, not while a program holds the
// device (that program saves its own view of the device last).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/state_file.h"
#ifdef BVU_HAVE_SERVE
#include "emulator/umockdev/serve.h"
#endif

namespace {

using namespace bvu::emulator;

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

const char kUsageText[] =
    "usage: bvu-emulator COMMAND STATE [options]\n"
    "  create STATE [--serial TEXT] [--serial-text TEXT] [--pcb TEXT] [--release 1|2]\n"
    "         [--control-version X.YY] [--video-version X.YY] [--package-version TEXT]\n"
    "         [--pal|--ntsc] [--calibration HEX36] [--memory ADDRESS:HEX]... [--bootloader]\n"
    "         [--port P]\n"
    "         [--busy-status] [--interface N] [--twin] [--refuse-set-interface]\n"
    "         [--preparation-ms MS] [--reprogramming-ms MS] [--erase-ms MS]\n"
    "         [--reenumeration-ms MS] [--restart-ms MS]\n"
    "  show STATE [--json]\n"
    "  fault STATE KIND [--after N] [--guise run|bootloader] [--match TYPE:REQUEST[:VALUE]]\n"
    "         [--bytes K] [--status S] [--replug-after MS] [--replug-port P]\n"
    "         KIND: timeout stall short empty unplug dfu-error never-ready busy\n"
    "  fault STATE --clear\n"
    "  plug STATE [--port P] | unplug STATE\n"
    "  trace STATE [--json] [--clear]\n"
    "  serve STATE [STATE...] -- COMMAND [ARGS...]\n"
    "  P: a port, N or N.N... (port N of the root hub, then of the hubs behind it)\n";

int usage(const std::string& why) {
    if (!why.empty())
        std::fprintf(stderr, "bvu-emulator: %s\n", why.c_str());
    std::fputs(kUsageText, stderr);
    return kUsage;
}

int failed(const std::string& why) {
    std::fprintf(stderr, "bvu-emulator: %s\n", why.c_str());
    return kFailed;
}

// Options after STATE, one at a time.
class Args {
  public:
    Args(std::vector<std::string> args) : args_(std::move(args)) {}
    bool done() const { return at_ >= args_.size(); }
    std::string next() { return args_[at_++]; }
    // The value of the option just taken.
    bool value(const std::string& option, std::string* out, std::string* why) {
        if (done()) {
            *why = option + " needs a value";
            return false;
        }
        *out = next();
        return true;
    }
    bool number(const std::string& option, uint64_t max, uint64_t* out, std::string* why) {
        std::string text;
        if (!value(option, &text, why))
            return false;
        if (!parseNumber(text, max, out)) {
            *why = option + " takes a number up to " + std::to_string(max) + ", not '" + text + "'";
            return false;
        }
        return true;
    }

  private:
    std::vector<std::string> args_;
    size_t at_ = 0;
};

int create(const std::string& state, Args& a) {
    CreateOptions o;
    std::string why, text;
    uint64_t n = 0;
    while (!a.done()) {
        const std::string opt = a.next();
        bool ok = true;
        if (opt == "--serial") {
            ok = a.value(opt, &o.serial, &why);
        } else if (opt == "--serial-text") {
            ok = a.value(opt, &o.serialText, &why);
        } else if (opt == "--pcb") {
            ok = a.value(opt, &o.pcbRevision, &why);
        } else if (opt == "--release") {
            ok = a.number(opt, 255, &n, &why);
            o.release = static_cast<int>(n);
        } else if (opt == "--control-version") {
            ok = a.value(opt, &o.controlVersion, &why);
        } else if (opt == "--video-version") {
            ok = a.value(opt, &o.videoVersion, &why);
        } else if (opt == "--package-version") {
            ok = a.value(opt, &o.packageVersion, &why);
        } else if (opt == "--pal" || opt == "--ntsc") {
            o.pal = opt == "--pal";
        } else if (opt == "--calibration") {
            ok = a.value(opt, &text, &why);
            if (ok && (text.size() != 36 || !fromHex(text, &o.calibration))) {
                why = "--calibration takes 36 hex digits (18 bytes)";
                ok = false;
            }
        } else if (opt == "--memory") {
            ok = a.value(opt, &text, &why);
            const size_t colon = text.find(':');
            uint64_t address = 0;
            std::vector<uint8_t> bytes;
            if (ok && (colon == std::string::npos ||
                       !parseNumber(text.substr(0, colon), kMemorySize - 1, &address) ||
                       !fromHex(text.substr(colon + 1), &bytes) || bytes.empty())) {
                why = "--memory takes ADDRESS:HEX (e.g. 0x40:0102FF)";
                ok = false;
            }
            o.memory.emplace_back(static_cast<uint8_t>(address), bytes);
        } else if (opt == "--bootloader") {
            o.bootloader = true;
        } else if (opt == "--port") {
            ok = a.value(opt, &o.port, &why);
        } else if (opt == "--busy-status") {
            o.variant.busyStatus = true;
        } else if (opt == "--interface") {
            ok = a.number(opt, 255, &n, &why);
            o.variant.interfaceNumber = static_cast<uint8_t>(n);
        } else if (opt == "--twin") {
            o.variant.twin = true;
        } else if (opt == "--refuse-set-interface") {
            o.variant.refuseSetInterface = true;
        } else if (opt == "--preparation-ms" || opt == "--reprogramming-ms" ||
                   opt == "--erase-ms" || opt == "--reenumeration-ms" || opt == "--restart-ms") {
            ok = a.number(opt, 600000, &n, &why);
            uint32_t ms = static_cast<uint32_t>(n);
            if (opt == "--preparation-ms")
                o.timing.preparationMs = ms;
            if (opt == "--reprogramming-ms")
                o.timing.reprogrammingMs = ms;
            if (opt == "--erase-ms")
                o.timing.eraseMs = ms;
            if (opt == "--reenumeration-ms")
                o.timing.reenumerationMs = ms;
            if (opt == "--restart-ms")
                o.timing.restartMs = ms;
        } else {
            return usage("unknown option for create: " + opt);
        }
        if (!ok)
            return usage(why);
    }
    if (!checkCreateOptions(o, &why))
        return usage(why);
    if (!createDevice(state, o, &why))
        return failed(why);
    return kOk;
}

std::string hexByte(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

void printSummary(const std::string& state, const DeviceSnapshot& s) {
    std::string where = guiseName(s.guise);
    if (s.guise == Guise::Bricked) {
        where +=
            " (the start-up bit selects an application the flash does not hold: it will "
            "never enumerate again)";
    } else if (!s.plugged) {
        where += " (unplugged)";
    } else if (s.vanished) {
        where +=
            " (vanished: it started an application the flash does not hold; power-cycle "
            "it)";
    } else if (s.arriving != Guise::Absent) {
        where += " (re-enumerating into " + guiseName(s.arriving) + ")";
    }
    auto orNone = [](const std::string& v) { return v.empty() ? std::string("none") : v; };
    std::printf("Emulated device %s\n", state.c_str());
    std::printf("  guise              %s\n", where.c_str());
    std::printf("  port               %s\n", s.port.c_str());
    std::printf("  serial             %s (info text \"%s\")\n", s.serial.c_str(),
                s.serialText.c_str());
    std::printf("  PCB revision       %s\n", s.pcbRevision.c_str());
    std::printf("  release            %d\n", s.release);
    std::printf("  control firmware   %s\n", orNone(s.controlVersion).c_str());
    std::printf("  video firmware     %s (reports %s)\n", orNone(s.videoVersion).c_str(),
                hexByte(s.videoVersionByte).c_str());
    std::printf("  package version    %s\n", orNone(s.packageVersion).c_str());
    std::printf("  video standard     %s\n", s.videoStandard.c_str());
    std::printf("  start-up bit       %d (%s)\n", s.startupBit ? 1 : 0,
                s.startupBit ? "application" : "bootloader");
    std::printf("  security byte      %s\n", hexByte(s.securityByte).c_str());
    std::printf("  control flash      sha256 %s\n", s.controlFlashSha256.c_str());
    std::printf("  video flash        sha256 %s (%s bytes)\n", s.videoFlashSha256.c_str(),
                std::to_string(s.videoFlash.size()).c_str());
    std::printf("  requests           %s\n", std::to_string(s.requests).c_str());
    std::printf("  pending faults     %s\n", std::to_string(s.pendingFaults).c_str());
    if (s.twin)
        std::printf("  variant            with a second identical device\n");
    std::printf("  memory\n");
    for (size_t row = 0; row < s.memory.size(); row += 16)
        std::printf("    %02X  %s\n", static_cast<unsigned>(row),
                    toHex(s.memory.data() + row, 16).c_str());
}

int show(const std::string& state, Args& a) {
    bool json = false;
    while (!a.done()) {
        const std::string opt = a.next();
        if (opt != "--json")
            return usage("unknown option for show: " + opt);
        json = true;
    }
    DeviceSnapshot s;
    std::string why;
    if (!inspect(state, &s, &why))
        return failed(why);
    if (json) {
        std::printf("%s\n", snapshotJson(s).c_str());
    } else {
        printSummary(state, s);
    }
    return kOk;
}

int fault(const std::string& state, Args& a) {
    if (a.done())
        return usage("fault needs a KIND or --clear");
    const std::string kind = a.next();
    std::string why;
    if (kind == "--clear") {
        if (!a.done())
            return usage("fault --clear takes no other option");
        if (!clearFaults(state, &why))
            return failed(why);
        return kOk;
    }
    FaultRule rule;
    if (!parseFaultKind(kind, &rule.kind))
        return usage("unknown fault kind: " + kind);
    bool haveBytes = false;
    uint64_t n = 0;
    while (!a.done()) {
        const std::string opt = a.next();
        bool ok = true;
        std::string text;
        if (opt == "--after") {
            ok = a.number(opt, 0xFFFFFFFFu, &n, &why);
            rule.after = static_cast<uint32_t>(n);
        } else if (opt == "--guise") {
            ok = a.value(opt, &text, &why);
            if (ok && !parseGuise(text, &rule.guise))
                ok = false;
            if (ok && rule.guise != Guise::Run && rule.guise != Guise::Bootloader)
                ok = false;
            if (!ok && why.empty())
                why = "--guise takes run or bootloader";
        } else if (opt == "--match") {
            ok = a.value(opt, &text, &why) && parseMatch(text, &rule, &why);
        } else if (opt == "--bytes") {
            ok = a.number(opt, 0xFFFF, &n, &why);
            rule.bytes = static_cast<uint32_t>(n);
            haveBytes = true;
        } else if (opt == "--status") {
            ok = a.number(opt, 255, &n, &why);
            rule.status = static_cast<uint8_t>(n);
        } else if (opt == "--replug-after") {
            ok = a.number(opt, 3600000, &n, &why);
            rule.replugAfterMs = static_cast<uint32_t>(n);
        } else if (opt == "--replug-port") {
            ok = a.value(opt, &rule.replugPort, &why);
            if (ok && !isPortText(rule.replugPort)) {
                why = "--replug-port takes a port, N or N.N...";
                ok = false;
            }
        } else {
            return usage("unknown option for fault: " + opt);
        }
        if (!ok)
            return usage(why);
    }
    if (rule.kind == FaultKind::Short && !haveBytes)
        return usage("a short fault needs --bytes K");
    if (!rule.replugPort.empty() && (rule.kind != FaultKind::Unplug || rule.replugAfterMs == 0))
        return usage("--replug-port needs an unplug fault with --replug-after");
    if (!addFault(state, rule, &why))
        return failed(why);
    return kOk;
}

int power(const std::string& command, const std::string& state, Args& a) {
    std::string why, port;
    if (command == "plug" && !a.done()) {
        if (a.next() != "--port" || !a.value("--port", &port, &why) || !a.done())
            return usage(why.empty() ? "plug takes only --port P" : why);
        if (!isPortText(port))
            return usage("--port takes a port, N or N.N...");
    }
    if (!a.done())
        return usage(command + " takes no options");
    bool ok = command == "unplug" ? unplug(state, &why)
              : port.empty()      ? plug(state, &why)
                                  : plugAt(state, port, &why);
    return ok ? kOk : failed(why);
}

int showTrace(const std::string& state, Args& a) {
    bool json = false, clear = false;
    while (!a.done()) {
        const std::string opt = a.next();
        if (opt == "--json") {
            json = true;
        } else if (opt == "--clear") {
            clear = true;
        } else {
            return usage("unknown option for trace: " + opt);
        }
    }
    std::string why;
    if (clear) {
        std::shared_ptr<EmulatedBus> bus = openBus(state, &why);
        if (!bus)
            return failed(why);
        clearTrace(*bus);
        return kOk;
    }
    std::vector<TraceEntry> entries;
    if (!trace(state, &entries, &why))
        return failed(why);
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const TraceEntry& e : entries) {
            nlohmann::ordered_json j;
            j["seq"] = e.sequence;
            j["device"] = e.device;
            j["guise"] = guiseName(e.guise);
            j["kind"] = e.kind == TraceKind::Bulk           ? "bulk"
                        : e.kind == TraceKind::SetInterface ? "set-interface"
                                                            : "control";
            j["setup"] = toHex(e.setup, 8);
            j["endpoint"] = e.endpoint;
            j["length"] = e.dataLength;
            j["data"] = toHex(e.data.data(), e.data.size());
            j["reply"] = replyName(e.reply);
            j["fault"] = e.fault;
            list.push_back(j);
        }
        std::printf("%s\n", list.dump(1).c_str());
    } else {
        std::printf("   seq guise      type req value index length data  reply\n");
        for (const TraceEntry& e : entries) std::printf("%s\n", formatTraceEntry(e).c_str());
    }
    return kOk;
}

int serve(const std::vector<std::string>& rest) {
#ifdef BVU_HAVE_SERVE
    return bvu::emulator::runServe(rest);
#else
    (void)rest;
    std::fprintf(stderr, "serve is not available in this build\n");
    return kUsage;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage("");
    const std::string command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == "serve")
        return serve(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args.size() < 2)
        return usage(command + " needs a STATE file");
    const std::string state = args[1];
    Args rest(std::vector<std::string>(args.begin() + 2, args.end()));
    try {
        if (command == "create")
            return create(state, rest);
        if (command == "show")
            return show(state, rest);
        if (command == "fault")
            return fault(state, rest);
        if (command == "plug" || command == "unplug")
            return power(command, state, rest);
        if (command == "trace")
            return showTrace(state, rest);
    } catch (const std::exception& e) {
        return failed(e.what());
    }
    return usage("unknown command: " + command);
}
