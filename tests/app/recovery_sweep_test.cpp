// What an interrupted update leaves, for every request of it: a unit gets one fault at request n
// of one guise (counted from the start of the run in run mode, from its arrival in the
// bootloader there), `updater -batch -calib` runs, the unit is power-cycled, and `updater -batch
// -calib` runs again. The first run either succeeds, leaving the unit exactly as a clean run
// leaves it, or ends with one "Update Error" box or the box of a device that cannot be used; the
// unit is never bricked; after the second run it is byte for byte what a clean run leaves: every
// cell of its memory, both flashes, the versions, the start-up and security bytes.
//
// Two units, both carrying settings that the default values would clear: one with control
// firmware 1.09, which owes its default values (they are programmed once, whatever the
// interruption), and one with 1.10, which never owes them (they are never programmed).
//
// Every request index is swept for the faults that end a request outright (unplug, time-out), a
// sample of them for the others. Each test case takes one range of indices; the last range of a
// kind runs on until the fault no longer strikes (the run is over), so a longer run is swept
// whole without anyone counting its requests here. Under the sanitizers, which slow everything
// down several times over, a coarser sample runs; the optimised build sweeps every index.
//
// One line per fault on standard output ("sweep: ..."), for reading the outcome as a table.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "process_runner.h"

namespace bvu {
namespace test {
namespace {

using emulator::FaultKind;
using emulator::Guise;

#if defined(__SANITIZE_THREAD__)
const char* const kTimeScale = "0.2";
constexpr int kStrideOfFullKinds = 13;
constexpr int kStrideOfSampledKinds = 41;
#elif defined(__SANITIZE_ADDRESS__)
const char* const kTimeScale = "0.1";
constexpr int kStrideOfFullKinds = 5;
constexpr int kStrideOfSampledKinds = 17;
#else
const char* const kTimeScale = "0.05";
constexpr int kStrideOfFullKinds = 1;
constexpr int kStrideOfSampledKinds = 6;
#endif
constexpr int kUnbounded = 1 << 20;

// The two units of the sweep.
enum class Subject { OwesDefaults, NeverOwes };

const char* subjectName(Subject s) {
    return s == Subject::OwesDefaults ? "old" : "new";
}

emulator::CreateOptions unitOf(Subject s) {
    emulator::CreateOptions o = oldDevice();
    if (s == Subject::NeverOwes) {
        o.controlVersion = "1.10";
        o.packageVersion = "2.06";
    }
    // Settings a user left: every cell that the default values set back (all but the factory
    // data 0x00-0x11, the package version 0x33-0x37 and the video standard 0x3D), 0x3E at 1.
    o.memory.emplace_back(0x12, std::vector<uint8_t>(0x33 - 0x12, 0x5A));
    o.memory.emplace_back(0x38, std::vector<uint8_t>(0x3D - 0x38, 0x5A));
    o.memory.emplace_back(0x3E, std::vector<uint8_t>{0x01});
    o.memory.emplace_back(0x3F, std::vector<uint8_t>(0x100 - 0x3F, 0xA5));
    o.pal = true;
    return o;
}

struct UpdaterRun {
    int exitCode = -1;
    std::vector<std::string> boxes;
    std::string err;
};

UpdaterRun runUpdater(const DeviceFile& device) {
    ProcessOptions options;
    options.env["BVU_USB"] = device.usbSetting();
    options.env["BVU_TIME_SCALE"] = kTimeScale;
    options.env["BVU_FRONTEND"] = "headless";
    options.timeoutMs = 120000;
    const ProcessResult result = runProcess({BVU_UPDATER_PATH, "-batch", "-calib"}, options);
    EXPECT_FALSE(result.timedOut) << result.err;
    EXPECT_EQ(result.signal, 0) << result.err;
    UpdaterRun run;
    run.exitCode = result.exitCode;
    run.err = result.err;
    for (const std::string& line : lines(result.err)) {
        if (line.rfind("box: ", 0) == 0) {
            run.boxes.push_back(line);
        }
    }
    return run;
}

// What a clean run leaves on a unit like this one: the unit itself, updated once without a fault
// (once per process and subject).
const emulator::DeviceSnapshot& cleanRunOf(Subject s) {
    static std::mutex mutex;
    static std::map<Subject, emulator::DeviceSnapshot> clean;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = clean.find(s);
    if (found == clean.end()) {
        DeviceFile device(unitOf(s));
        const UpdaterRun run = runUpdater(device);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        found = clean.emplace(s, device.snapshot()).first;
    }
    return found->second;
}

// Everything that a unit keeps and that differs from what the clean run left; "" when nothing.
std::string differences(const emulator::DeviceSnapshot& got,
                        const emulator::DeviceSnapshot& clean) {
    std::string out;
    auto expect = [&out](bool same, const std::string& what) {
        if (!same) {
            out += what + "\n";
        }
    };
    expect(got.guise == clean.guise && got.vanished == clean.vanished,
           "guise " + emulator::guiseName(got.guise) + (got.vanished ? " (vanished)" : ""));
    expect(got.controlVersion == clean.controlVersion,
           "control firmware '" + got.controlVersion + "'");
    expect(got.videoVersion == clean.videoVersion, "video firmware '" + got.videoVersion + "'");
    expect(got.packageVersion == clean.packageVersion,
           "package version '" + got.packageVersion + "'");
    expect(got.controlFlash == clean.controlFlash, "control flash " + got.controlFlashSha256);
    expect(got.videoFlash == clean.videoFlash, "video flash " + got.videoFlashSha256);
    expect(got.startupByte == clean.startupByte,
           "start-up byte " + std::to_string(got.startupByte));
    expect(got.securityByte == clean.securityByte,
           "security byte " + std::to_string(got.securityByte));
    std::string cells;
    for (size_t i = 0; i < got.memory.size(); ++i) {
        if (got.memory[i] != clean.memory[i]) {
            char text[32];
            std::snprintf(text, sizeof text, " %02X:%02X", static_cast<unsigned>(i),
                          static_cast<unsigned>(got.memory[i]));
            cells += text;
        }
    }
    expect(cells.empty(), "memory" + cells);
    return out;
}

// The struck request as the table names it.
std::string describe(const emulator::TraceEntry& e) {
    if (e.kind == emulator::TraceKind::SetInterface) {
        return "SET_INTERFACE";
    }
    char text[64];
    if (e.kind == emulator::TraceKind::Bulk) {
        std::snprintf(text, sizeof text, "bulk %02X", e.endpoint);
        return text;
    }
    const unsigned value = e.setup[2] | e.setup[3] << 8;
    const unsigned index = e.setup[4] | e.setup[5] << 8;
    const unsigned length = e.setup[6] | e.setup[7] << 8;
    if (e.setup[0] == 0x20 || e.setup[0] == 0xA0) {  // the device's own requests
        const char* name = e.setup[1] == 1 ? "CMD" : e.setup[1] == 2 ? "WRITE" : "READ";
        std::snprintf(text, sizeof text, "%s %u,%u @%02X", name, value >> 8, value & 0xFF, index);
        return text;
    }
    if (e.setup[0] == 0x80) {
        return e.setup[1] == 6 ? "GET_DESCRIPTOR" : "GET_STATUS";
    }
    switch (e.setup[1]) {
        case 1: {
            std::string s = "DNLOAD " + std::to_string(length);
            for (size_t i = 0; i < e.data.size() && i < 6; ++i) {
                std::snprintf(text, sizeof text, " %02X", e.data[i]);
                s += text;
            }
            return s;
        }
        case 2:
            return "UPLOAD " + std::to_string(length);
        case 3:
            return "GETSTATUS";
        case 4:
            return "CLRSTATUS";
        case 5:
            return "GETSTATE";
        default:
            std::snprintf(text, sizeof text, "%02X %02X", e.setup[0], e.setup[1]);
            return text;
    }
}

// The first line of the first box's text, or "ok".
std::string outcomeOf(const UpdaterRun& run) {
    if (run.exitCode == 0) {
        return "ok";
    }
    if (run.boxes.empty()) {
        return "exit " + std::to_string(run.exitCode) + " without a box";
    }
    const std::string& box = run.boxes.front();
    return box.substr(0, box.find("\\n"));
}

struct Range {
    const char* name;
    Subject subject;
    Guise guise;
    FaultKind kind;
    int first;
    int last;  // exclusive; kUnbounded: until the fault no longer strikes
    int stride;
};

// One fault at one request index, the power cycle and the second run. False when the fault
// did not strike: the run made fewer requests in that guise.
bool sweepOne(const Range& range, int index) {
    const emulator::DeviceSnapshot& clean = cleanRunOf(range.subject);
    DeviceFile device(unitOf(range.subject));
    emulator::FaultRule rule;
    rule.kind = range.kind;
    rule.guise = range.guise;
    rule.after = static_cast<uint32_t>(index);
    rule.bytes = 1;   // short
    rule.status = 3;  // dfu-error: errWRITE
    device.addFault(rule);

    const UpdaterRun first = runUpdater(device);
    const emulator::DeviceSnapshot afterFirst = device.snapshot();
    if (afterFirst.pendingFaults > 0) {
        EXPECT_EQ(first.exitCode, 0) << first.err;
        EXPECT_EQ(differences(afterFirst, clean), "");
        return false;
    }
    std::string request = "?";
    for (const emulator::TraceEntry& e : device.trace()) {
        if (!e.fault.empty()) {
            request = describe(e);
        }
    }
    const std::string what = std::string(subjectName(range.subject)) + " unit, " + range.name +
                             " at " + emulator::guiseName(range.guise) + " request " +
                             std::to_string(index) + " (" + request + ")";
    // A run that says it succeeded must have left the unit as a clean run does; one that failed
    // says so in one box.
    if (first.exitCode == 0) {
        EXPECT_EQ(differences(afterFirst, clean), "") << what;
    } else {
        EXPECT_EQ(first.exitCode, 1) << what << "\n" << first.err;
        EXPECT_EQ(first.boxes.size(), 1u) << what << "\n" << first.err;
    }

    device.powerCycle();
    const emulator::DeviceSnapshot powered = device.snapshot();
    EXPECT_NE(powered.guise, Guise::Bricked) << what;
    EXPECT_FALSE(powered.vanished) << what;

    const UpdaterRun second = runUpdater(device);
    EXPECT_EQ(second.exitCode, 0) << what << "\n" << second.err;
    EXPECT_TRUE(second.boxes.empty()) << what << "\n" << second.err;
    const std::string left = differences(device.snapshot(), clean);
    EXPECT_EQ(left, "") << what;
    // Over both runs: programmed once for the unit that owes them, never for the other (a second
    // time only after an interruption in the middle of programming them).
    const int programmed = commandCount(device.trace(), 0x0E00);
    if (range.subject == Subject::NeverOwes) {
        EXPECT_EQ(programmed, 0) << what;
    } else {
        EXPECT_GE(programmed, 1) << what;
    }

    std::printf("sweep: %s | %s | %s | %d | %s | run 1: %s | powered up in %s | run 2: %s\n",
                subjectName(range.subject), emulator::guiseName(range.guise).c_str(), range.name,
                index, request.c_str(), outcomeOf(first).c_str(),
                emulator::guiseName(powered.guise).c_str(),
                second.exitCode == 0 && left.empty() ? "as a clean run" : "DIFFERENT");
    std::fflush(stdout);
    return true;
}

class RecoverySweep : public ::testing::TestWithParam<Range> {};

// Two indices at a time: the runs spend their time waiting on the (compressed) clock.
TEST_P(RecoverySweep, EveryInterruptionIsRecoveredByOneMoreRun) {
    const Range& range = GetParam();
    cleanRunOf(range.subject);  // before the threads, which would otherwise wait for it in turn
    int swept = 0;
    bool ended = false;
    for (int index = range.first; index < range.last && !ended; index += 2 * range.stride) {
        const int other = index + range.stride;
        bool otherStruck = false;
        std::thread second;
        if (other < range.last) {
            second = std::thread([&] { otherStruck = sweepOne(range, other); });
        }
        const bool struck = sweepOne(range, index);
        if (second.joinable()) {
            second.join();
        }
        swept += (struck ? 1 : 0) + (otherStruck ? 1 : 0);
        ended = !struck || (other < range.last && !otherStruck);
    }
    EXPECT_GT(swept, 0) << "no request in this range: the run makes fewer";
    if (range.last == kUnbounded) {
        EXPECT_TRUE(ended) << "the sweep did not reach the end of the run";
    }
}

// The test's name in ctest's list, instead of the parameter's bytes.
void PrintTo(const Range& range, std::ostream* out) {
    *out << subjectName(range.subject) << " " << emulator::guiseName(range.guise) << " "
         << range.name << " from " << range.first;
}

std::vector<Range> ranges() {
    std::vector<Range> all;
    for (Subject subject : {Subject::OwesDefaults, Subject::NeverOwes}) {
        for (Guise guise : {Guise::Bootloader, Guise::Run}) {
            for (FaultKind kind : {FaultKind::Unplug, FaultKind::Timeout}) {
                const char* name = kind == FaultKind::Unplug ? "unplug" : "timeout";
                if (kStrideOfFullKinds > 1) {
                    all.push_back(
                        Range{name, subject, guise, kind, 0, kUnbounded, kStrideOfFullKinds});
                    continue;
                }
                // In ranges of ten, the last one open, so that ctest runs them side by side.
                for (int first = 0; first < 60; first += 10) {
                    all.push_back(Range{name, subject, guise, kind, first, first + 10, 1});
                }
                all.push_back(Range{name, subject, guise, kind, 60, kUnbounded, 1});
            }
            // The others at every few requests, each kind from another offset.
            const struct {
                const char* name;
                FaultKind kind;
                int offset;
            } sampled[] = {{"stall", FaultKind::Stall, 0},
                           {"short", FaultKind::Short, 1},
                           {"empty", FaultKind::Empty, 2},
                           {"dfu-error", FaultKind::DfuError, 3}};
            for (const auto& s : sampled) {
                // A DFU error is the bootloader's.
                if (s.kind != FaultKind::DfuError || guise == Guise::Bootloader) {
                    all.push_back(Range{s.name, subject, guise, s.kind, s.offset, kUnbounded,
                                        kStrideOfSampledKinds});
                }
            }
        }
    }
    return all;
}

std::string rangeName(const ::testing::TestParamInfo<Range>& info) {
    std::string name = std::string(subjectName(info.param.subject)) + "_" +
                       emulator::guiseName(info.param.guise) + "_" + info.param.name;
    for (char& c : name) {
        if (c == '-') {
            c = '_';
        }
    }
    name += "_from_" + std::to_string(info.param.first);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Faults, RecoverySweep, ::testing::ValuesIn(ranges()), rangeName);

}  // namespace
}  // namespace test
}  // namespace bvu
