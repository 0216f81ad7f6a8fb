// What an interrupted control firmware update leaves, for every request the bootloader sees
// during it: a device with old firmware gets one fault at bootloader request n (counted from
// its arrival in the bootloader), `updater -batch -calib` runs, the device is power-cycled, and
// `updater -batch -calib` runs again. The first run either succeeds or ends with one "Update
// Error" box; the device is never bricked; after the second run it holds exactly what a clean
// update leaves.
//
// Every request index is swept for the faults that end a request outright (unplug, time-out),
// a sample of them for the others. Each test case takes one range of indices; the last range of
// a kind runs on until the fault no longer strikes (the control download is over), so a longer
// download is swept whole without anyone counting its requests here. Under ThreadSanitizer,
// which slows everything down several times over, a coarser sample runs.
//
// One line per fault on standard output ("sweep: ..."), for reading the outcome as a table.
#include <gtest/gtest.h>

#include <cstdio>
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
constexpr int kStrideOfFullKinds = 7;
constexpr int kStrideOfSampledKinds = 23;
#elif defined(__SANITIZE_ADDRESS__)
const char* const kTimeScale = "0.1";
constexpr int kStrideOfFullKinds = 1;
constexpr int kStrideOfSampledKinds = 6;
#else
const char* const kTimeScale = "0.05";
constexpr int kStrideOfFullKinds = 1;
constexpr int kStrideOfSampledKinds = 6;
#endif
constexpr int kUnbounded = 1 << 20;

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

// The struck request as the table names it.
std::string describe(const emulator::TraceEntry& e) {
    if (e.kind == emulator::TraceKind::SetInterface) {
        return "SET_INTERFACE";
    }
    char text[64];
    const unsigned length = e.setup[6] | e.setup[7] << 8;
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

// The first line of the error box's text, or "ok".
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
    FaultKind kind;
    int first;
    int last;  // exclusive; kUnbounded: until the fault no longer strikes
    int stride;
};

// One fault at one request index, the power cycle and the second run. False when the fault
// did not strike: the control download made fewer requests.
bool sweepOne(const Range& range, int index) {
    DeviceFile device(oldDevice());
    const emulator::DeviceSnapshot initial = device.snapshot();
    const std::vector<uint8_t> memoryBefore(initial.memory.begin(), initial.memory.end());
    emulator::FaultRule rule;
    rule.kind = range.kind;
    rule.guise = Guise::Bootloader;
    rule.after = static_cast<uint32_t>(index);
    rule.bytes = 1;   // short
    rule.status = 3;  // dfu-error: errWRITE
    device.addFault(rule);

    const UpdaterRun first = runUpdater(device);
    const emulator::DeviceSnapshot afterFirst = device.snapshot();
    if (afterFirst.pendingFaults > 0) {
        EXPECT_EQ(first.exitCode, 0) << first.err;
        EXPECT_EQ(differencesFromACleanUpdate(afterFirst, memoryBefore), "");
        return false;
    }
    std::string request = "?";
    for (const emulator::TraceEntry& e : device.trace()) {
        if (!e.fault.empty()) {
            request = describe(e);
        }
    }
    const std::string what = std::string(range.name) + " at bootloader request " +
                             std::to_string(index) + " (" + request + ")";
    // A run that says it succeeded must have left a clean device; one that failed says so in
    // one box.
    if (first.exitCode == 0) {
        EXPECT_EQ(differencesFromACleanUpdate(afterFirst, memoryBefore), "") << what;
    } else {
        EXPECT_EQ(first.exitCode, 1) << what << "\n" << first.err;
        EXPECT_EQ(first.boxes.size(), 1u) << what << "\n" << first.err;
        EXPECT_TRUE(!first.boxes.empty() && first.boxes[0].rfind("box: Update Error: ", 0) == 0)
            << what;
    }

    device.powerCycle();
    const emulator::DeviceSnapshot powered = device.snapshot();
    EXPECT_NE(powered.guise, Guise::Bricked) << what;
    EXPECT_FALSE(powered.vanished) << what;

    const UpdaterRun second = runUpdater(device);
    EXPECT_EQ(second.exitCode, 0) << what << "\n" << second.err;
    EXPECT_TRUE(second.boxes.empty()) << what << "\n" << second.err;
    const std::string left = differencesFromACleanUpdate(device.snapshot(), memoryBefore);
    EXPECT_EQ(left, "") << what;

    std::printf("sweep: %s | %d | %s | run 1: %s | powered up in %s | run 2: %s\n", range.name,
                index, request.c_str(), outcomeOf(first).c_str(),
                emulator::guiseName(powered.guise).c_str(),
                second.exitCode == 0 && left.empty() ? "recovered" : "NOT RECOVERED");
    std::fflush(stdout);
    return true;
}

class RecoverySweep : public ::testing::TestWithParam<Range> {};

// Two indices at a time: the runs spend their time waiting on the (compressed) clock.
TEST_P(RecoverySweep, EveryInterruptionIsRecoveredByOneMoreRun) {
    const Range& range = GetParam();
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
    EXPECT_GT(swept, 0) << "no request in this range: the control download has fewer";
    if (range.last == kUnbounded) {
        EXPECT_TRUE(ended) << "the sweep did not reach the end of the control download";
    }
}

// The test's name in ctest's list, instead of the parameter's bytes.
void PrintTo(const Range& range, std::ostream* out) {
    *out << range.name << " from " << range.first;
}

std::vector<Range> ranges() {
    std::vector<Range> all;
    for (FaultKind kind : {FaultKind::Unplug, FaultKind::Timeout}) {
        const char* name = kind == FaultKind::Unplug ? "unplug" : "timeout";
        if (kStrideOfFullKinds > 1) {
            all.push_back(Range{name, kind, 0, kUnbounded, kStrideOfFullKinds});
            continue;
        }
        // In ranges of ten, the last one open, so that ctest runs them side by side.
        for (int first = 0; first < 60; first += 10) {
            all.push_back(Range{name, kind, first, first + 10, 1});
        }
        all.push_back(Range{name, kind, 60, kUnbounded, 1});
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
        all.push_back(Range{s.name, s.kind, s.offset, kUnbounded, kStrideOfSampledKinds});
    }
    return all;
}

std::string rangeName(const ::testing::TestParamInfo<Range>& info) {
    std::string name = info.param.name;
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
