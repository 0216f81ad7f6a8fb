// The owed-defaults mark, as the updater leaves and reads it on the unit: set before the run's
// first write when the run owes the default values, kept across a power cycle, shown honestly,
// and taken away by the run that programs them; a unit that never owed them never gets them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "updater_runs.h"

namespace bvu {
namespace test {
namespace {

const char* const kFinishStatus =
    "The last update did not program the default values. Press Update to finish it.";

// The settings a user left in memory; the default values set them back to 0.
CreateOptions withSettings(CreateOptions o) {
    o.memory.emplace_back(0x40, std::vector<uint8_t>{0x11, 0x22, 0x33});
    o.memory.emplace_back(0x3E, std::vector<uint8_t>{0x01});
    return o;
}

FaultRule stallAt(uint16_t command) {
    FaultRule rule;
    rule.kind = FaultKind::Stall;
    rule.match = true;
    rule.matchType = 0x20;
    rule.matchRequest = 1;
    rule.matchValue = true;
    rule.value = command;
    return rule;
}

// The device's own writes and commands (0x20), in order.
std::vector<emulator::TraceEntry> writesOf(const std::vector<emulator::TraceEntry>& trace) {
    std::vector<emulator::TraceEntry> writes;
    for (const emulator::TraceEntry& e : trace) {
        if (e.kind == emulator::TraceKind::Control && e.setup[0] == 0x20) {
            writes.push_back(e);
        }
    }
    return writes;
}

Json deviceEvent(const std::vector<std::string>& out, const std::string& when) {
    for (const std::string& line : out) {
        const Json e = Json::parse(line, nullptr, false);
        if (e.is_object() && e.value("event", "") == "device" && e.value("when", "") == when) {
            return e;
        }
    }
    ADD_FAILURE() << "no device event " << when << " in:\n" << joined(out);
    return Json();
}

// Interrupted once its new control firmware runs (the default values refused), the unit keeps
// the mark through a power cycle; the next run reads 1.12, and programs them all the same.
TEST(OwedDefaults, TheMarkOutlastsAnInterruptionAndTheNextRunProgramsThem) {
    DeviceFile device(withSettings(oldDevice()));
    device.addFault(stallAt(0x0E00));
    Outcome first = runUpdater(device, {"-batch", "-calib"});
    EXPECT_EQ(first.result.exitCode, 1) << first.result.err;

    // The mark was the run's first write, before anything reached the bootloader.
    const std::vector<emulator::TraceEntry> writes = writesOf(device.trace());
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].setup[1], 2);                                   // BVR_WRITE
    EXPECT_EQ((writes[0].setup[2] | writes[0].setup[3] << 8), 0x0203);  // the package version
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{'~', '2', '.', '0', '5'}));

    device.powerCycle();
    emulator::DeviceSnapshot s = device.snapshot();
    EXPECT_EQ(s.controlVersion, "1.12");
    EXPECT_EQ(s.packageVersion, "~2.05");
    EXPECT_EQ(s.memory[0x40], 0x11);  // the old settings, for now

    Outcome second = runUpdater(device, {"-batch", "-calib", "-json"});
    EXPECT_EQ(second.result.exitCode, 0) << second.result.err;
    EXPECT_TRUE(inOrder(second.err, {std::string("status: ") + kFinishStatus,
                                     "status: Updating Control Firmware: Programming default "
                                     "values.",
                                     "status: All updates complete."}))
        << joined(second.err);
    const Json before = deviceEvent(second.out, "before");
    EXPECT_EQ(before["package"], "incomplete");
    EXPECT_EQ(before["control"], "1.12");
    s = device.snapshot();
    EXPECT_EQ(s.packageVersion, "2.07");
    EXPECT_EQ(s.memory[0x40], 0);
    EXPECT_EQ(s.memory[0x3E], 0);
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 2);  // refused once, then programmed
}

// Programmed, the default values take the mark away at once: the field holds the package version
// it held before, and a run that then writes no package version leaves exactly that.
TEST(OwedDefaults, ProgrammingTheDefaultValuesPutsThePackageVersionBack) {
    DeviceFile device(withSettings(oldDevice()));
    Outcome run = runUpdater(device, {"-batch", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    const emulator::DeviceSnapshot s = device.snapshot();
    EXPECT_EQ(s.packageVersion, "2.05");  // the video firmware is still the old one
    EXPECT_EQ(s.memory[0x37], 0);
    EXPECT_EQ(s.memory[0x40], 0);
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 1);
}

// Control firmware 1.10 and later never owe them: no mark, and an interruption in the bootloader
// (recovered from there) programs none either.
TEST(OwedDefaults, AUnitThatNeverOwedThemNeverGetsThem) {
    CreateOptions o = withSettings(oldDevice());
    o.controlVersion = "1.10";
    DeviceFile device(o);
    FaultRule unplug;
    unplug.kind = FaultKind::Unplug;
    unplug.guise = emulator::Guise::Bootloader;
    unplug.after = 20;  // in the middle of the blocks
    device.addFault(unplug);
    Outcome first = runUpdater(device, {"-batch"});
    EXPECT_EQ(first.result.exitCode, 1) << first.result.err;
    for (const emulator::TraceEntry& e : writesOf(device.trace())) {
        EXPECT_FALSE(!e.data.empty() && e.data[0] == '~');
    }
    device.powerCycle();
    ASSERT_EQ(device.snapshot().guise, emulator::Guise::Bootloader);
    Outcome second = runUpdater(device, {"-batch"});
    EXPECT_EQ(second.result.exitCode, 0) << second.result.err;
    const emulator::DeviceSnapshot s = device.snapshot();
    EXPECT_EQ(s.controlVersion, "1.12");
    EXPECT_EQ(s.packageVersion, "2.07");
    EXPECT_EQ(s.memory[0x40], 0x11);
    EXPECT_EQ(s.memory[0x3E], 0x01);
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 0);
}

// With -nomicro the mark is honoured once the new control firmware runs: the default values are
// a step of their own. While the old control firmware still runs they stay owed.
TEST(OwedDefaults, WithoutTheControlFirmwareStepTheMarkDecidesByTheFirmwareThatRuns) {
    CreateOptions o = withSettings(oldDevice());
    o.controlVersion = "1.12";
    o.packageVersion = "~2.05";
    DeviceFile marked(o);
    // The listing shows the field as the dialog does and names the step the mark calls for.
    Outcome run = runUpdater(marked, {"-list", "-nomicro", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    ASSERT_EQ(run.out.size(), 1u) << run.result.out;
    EXPECT_NE(run.out[0].find(", package incomplete, video firmware 1.01, control firmware 1.12, "),
              std::string::npos)
        << run.out[0];
    EXPECT_EQ(run.out[0].substr(run.out[0].find("; an update writes: ")),
              "; an update writes: default values");
    EXPECT_EQ(marked.snapshot().packageVersion, "~2.05");

    run = runUpdater(marked, {"-batch", "-nomicro", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(inOrder(run.err,
                        {std::string("status: ") + kFinishStatus, "status: Updating Default Values",
                         "status: Updating Default Values: Programming default values."}))
        << joined(run.err);
    EXPECT_EQ(marked.snapshot().packageVersion, "2.05");
    EXPECT_EQ(marked.snapshot().memory[0x40], 0);

    o.controlVersion = "1.09";
    DeviceFile old(o);
    run = runUpdater(old, {"-batch", "-nomicro", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "status: Ready to perform updates.")) << joined(run.err);
    EXPECT_EQ(old.snapshot().packageVersion, "~2.05");
    EXPECT_EQ(commandCount(old.trace(), 0x0E00), 0);
}

}  // namespace
}  // namespace test
}  // namespace bvu
