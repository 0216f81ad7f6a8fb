// The updater with several units on the bus, each in its own state file at its own port
// (BVU_USB=emulator:A,B), as a process: a unit in run mode next to one in its bootloader, in
// both arrangements; picking by location and serial number and names that fit nothing; a unit
// that comes back at another port in the middle of its update; and the listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "updater_runs.h"

namespace bvu {
namespace test {
namespace {

using emulator::TraceEntry;

CreateOptions at(const std::string& port, const std::string& serial, bool incomplete = false) {
    CreateOptions o = oldDevice();
    o.port = port;
    o.serial = serial;
    o.bootloader = incomplete;  // waits in its bootloader, as an interrupted update leaves it
    return o;
}

std::vector<uint8_t> memoryOf(const DeviceFile& device) {
    const emulator::DeviceSnapshot s = device.snapshot();
    return std::vector<uint8_t>(s.memory.begin(), s.memory.end());
}

// Runs the updater against both units at once.
Outcome runOn(const DeviceFile& a, const DeviceFile& b, const std::vector<std::string>& args,
              const std::string& script = "") {
    return runUpdater(a, args, script, kTimeScale,
                      {{"BVU_USB", "emulator:" + a.path() + "," + b.path()}});
}

// Whether every request only read: IN requests, interface selections, and the bootloader's
// command that selects the byte an upload hands out.
bool readsOnly(const std::vector<TraceEntry>& trace) {
    return std::all_of(trace.begin(), trace.end(), [](const TraceEntry& e) {
        const bool in = (e.setup[0] & 0x80) != 0;
        const bool selectRead =
            e.setup[0] == 0x21 && e.setup[1] == 1 && e.data.size() == 3 && e.data[0] == 0x05;
        return e.kind == emulator::TraceKind::SetInterface ||
               (e.kind == emulator::TraceKind::Control && (in || selectRead));
    });
}

// Only the serial number was read (and the interface selected for it).
bool onlyTheSerialWasRead(const std::vector<TraceEntry>& trace) {
    return std::all_of(trace.begin(), trace.end(), [](const TraceEntry& e) {
        return e.kind == emulator::TraceKind::SetInterface ||
               (e.setup[0] == 0xA0 && e.setup[1] == 3 && e.setup[2] == 13 && e.setup[3] == 2);
    });
}

const char* const kSeveral =
    "Fatal error: Several units are connected: 1-1 (run mode), 1-2 (bootloader). Pick one with "
    "-device LOCATION or -serial NUMBER; -list shows the units connected.";

// The set-up: one unit in run mode, the other waiting in its bootloader. A script gets
// neither until it names one; the one named is updated as it would be alone, and the other hears
// nothing.
TEST(UpdaterUnits, ARunModeUnitNextToOneInItsBootloader) {
    DeviceFile a(at("1", "4711"));
    DeviceFile b(at("2", "4712", true));
    const std::vector<uint8_t> memoryA = memoryOf(a);
    const std::vector<uint8_t> memoryB = memoryOf(b);

    Outcome run = runOn(a, b, {"-batch", "-calib"});
    EXPECT_EQ(run.result.exitCode, 1);
    EXPECT_EQ(run.out, std::vector<std::string>{kSeveral}) << run.result.out;
    EXPECT_TRUE(a.trace().empty());
    EXPECT_TRUE(b.trace().empty());

    run = runOn(a, b, {"-batch", "-calib", "-device", "1-1"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(differencesFromACleanUpdate(a.snapshot(), memoryA), "");
    EXPECT_TRUE(b.trace().empty());
    EXPECT_EQ(b.snapshot().guise, Guise::Bootloader);

    // The unit in its bootloader, picked by where it is plugged: recovered as it would be alone.
    const size_t requestsA = a.trace().size();
    run = runOn(a, b, {"-batch", "-calib", "-device", "1-2"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(differencesFromACleanUpdate(b.snapshot(), memoryB), "");
    EXPECT_EQ(a.trace().size(), requestsA);
}

TEST(UpdaterUnits, TheReverseArrangementAndThePickBySerialNumber) {
    DeviceFile a(at("1", "4711", true));
    DeviceFile b(at("2", "4712"));
    const std::vector<uint8_t> memoryB = memoryOf(b);
    Outcome run = runOn(a, b, {"-batch", "-calib", "-serial", "4712"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(differencesFromACleanUpdate(b.snapshot(), memoryB), "");
    EXPECT_TRUE(a.trace().empty());  // in its bootloader it has no serial number to ask for
    EXPECT_EQ(a.snapshot().guise, Guise::Bootloader);
}

// A person at the dialog, no unit named: the first unit by location is the one in its
// bootloader. Its recovery writes it alone, and the notice names the other unit.
TEST(UpdaterUnits, TheDialogRecoversTheFirstUnitAndNamesTheOther) {
    DeviceFile a(at("1", "4711", true));
    DeviceFile b(at("2", "4712"));
    const std::vector<uint8_t> memoryA = memoryOf(a);
    Outcome run = runOn(a, b, {"-calib"},
                        "wait-status The control firmware is incomplete. Press Update to write it "
                        "again.\nclick 1001\nwait-status All updates complete.\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err,
                         "status: A second device is connected and was ignored; connect one "
                         "device at a time. Ignored: 1-2 (run mode)."))
        << joined(run.err);
    EXPECT_EQ(differencesFromACleanUpdate(a.snapshot(), memoryA), "");
    EXPECT_TRUE(b.trace().empty());
}

TEST(UpdaterUnits, ANameThatFitsNoUnitEndsTheRunBeforeAnyRequest) {
    DeviceFile a(at("1", "4711"));
    DeviceFile b(at("2", "4712", true));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-batch", "-device", "1-9"},
          std::vector<std::string>{"-device", "1-9"}}) {
        Outcome run = runOn(a, b, args);
        EXPECT_EQ(run.result.exitCode, 1) << args.size();
        EXPECT_EQ(run.out, std::vector<std::string>{
                               "Fatal error: No unit is connected at USB location \"1-9\". "
                               "Connected: 1-1 (run mode), 1-2 (bootloader); -list shows the "
                               "units connected."});
        EXPECT_TRUE(a.trace().empty());
        EXPECT_TRUE(b.trace().empty());
    }
    Outcome run = runOn(a, b, {"-batch", "-serial", "4799"});
    EXPECT_EQ(run.result.exitCode, 1);
    ASSERT_EQ(run.out.size(), 1u);
    EXPECT_EQ(run.out[0].rfind("Fatal error: No unit with serial number \"4799\"", 0), 0u);
    EXPECT_TRUE(onlyTheSerialWasRead(a.trace()));
    EXPECT_TRUE(b.trace().empty());
    EXPECT_EQ(a.snapshot().packageVersion, "2.05");
}

// The serial numbers read to find a unit fail (no answer, a stall, a unit pulled out): the run
// ends as a USB error with nothing written; after a power cycle the same run finds its unit.
TEST(UpdaterUnits, AFaultWhileTheSerialNumbersAreReadEndsTheRunBeforeAnyWrite) {
    for (FaultKind kind : {FaultKind::Timeout, FaultKind::Stall, FaultKind::Unplug}) {
        DeviceFile a(at("1", "4711"));
        DeviceFile b(at("2", "4712"));
        FaultRule rule;
        rule.kind = kind;
        rule.match = true;
        rule.matchType = 0xA0;
        rule.matchRequest = 3;
        rule.matchValue = true;
        rule.value = 0x020D;  // BVR_READ 2/13, the info text with the serial number
        a.addFault(rule);
        const std::string what = emulator::faultKindName(kind);
        Outcome run = runOn(a, b, {"-batch", "-nocalib", "-serial", "4712"});
        EXPECT_EQ(run.result.exitCode, 1) << what;
        ASSERT_FALSE(run.out.empty()) << what;
        EXPECT_EQ(run.out[0].rfind("USB error: ", 0), 0u) << what << ": " << run.out[0];
        EXPECT_TRUE(readsOnly(a.trace())) << what;
        EXPECT_TRUE(b.trace().empty()) << what;
        a.powerCycle();
        run = runOn(a, b, {"-batch", "-nocalib", "-serial", "4712"});
        EXPECT_EQ(run.result.exitCode, 0) << what << ": " << run.result.err;
        EXPECT_EQ(b.snapshot().packageVersion, "2.07") << what;
        EXPECT_EQ(a.snapshot().packageVersion, "2.05") << what;
        EXPECT_TRUE(readsOnly(a.trace())) << what;
    }
}

// Pulled out in the middle of the control firmware download and plugged into another port: for
// the run it is gone (another place is another unit), so the run fails; the next run finds it
// where it is now and finishes the job.
TEST(UpdaterUnits, AUnitPluggedBackElsewhereDuringItsUpdateIsGoneAndTheNextRunRecoversIt) {
    DeviceFile a(at("1", "4711"));
    const std::vector<uint8_t> memory = memoryOf(a);
    FaultRule pull;
    pull.kind = FaultKind::Unplug;
    pull.guise = Guise::Bootloader;
    pull.match = true;
    pull.matchType = 0x21;
    pull.matchRequest = 1;  // a DFU download...
    pull.after = 4;         // ...after the erase
    pull.replugAfterMs = 300;
    pull.replugPort = "3";
    a.addFault(pull);
    Outcome run = runUpdater(a, {"-batch", "-calib", "-device", "1-1"});
    EXPECT_EQ(run.result.exitCode, 1);

    // The unit comes back at its new port whether or not the run is still there to see it.
    run = runUpdater(a, {"-batch", "-calib", "-device", "1-1"});
    EXPECT_EQ(run.result.exitCode, 1);
    ASSERT_EQ(run.out.size(), 1u);
    EXPECT_EQ(run.out[0],
              "Fatal error: No unit is connected at USB location \"1-1\". Connected: 1-3 "
              "(bootloader); -list shows the units connected.");
    EXPECT_EQ(a.snapshot().port, "3");

    run = runUpdater(a, {"-batch", "-calib"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(differencesFromACleanUpdate(a.snapshot(), memory), "");
}

// ---- The listing ---------------------------------------------------------------------------

const char* const kOldLine =
    "1-1: run mode, serial 4711, PCB revision C2.1, package 2.05, video firmware 1.01, control "
    "firmware 1.09, NTSC; an update writes: ";

TEST(UpdaterUnits, TheListingTellsWhatEachUnitHoldsAndWhatAnUpdateWouldWrite) {
    DeviceFile a(at("1", "4711"));
    Outcome run = runUpdater(a, {"-list"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.out, std::vector<std::string>{
                           std::string(kOldLine) +
                           "control firmware 1.12, default values, video firmware 1.02, package "
                           "version 2.07"});
    // With the options of a run: what that run would write.
    run = runUpdater(a, {"-list", "-calib", "-nomicro"});
    EXPECT_EQ(run.out, std::vector<std::string>{std::string(kOldLine) +
                                                "calibration data, video firmware 1.02"});
    EXPECT_TRUE(readsOnly(a.trace()));
    EXPECT_EQ(a.snapshot().packageVersion, "2.05");

    DeviceFile b(at("2", "4712", true));
    run = runOn(a, b, {"-list", "-json"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    ASSERT_EQ(run.out.size(), 2u) << run.result.out;
    const nlohmann::json first = nlohmann::json::parse(run.out[0]);
    const nlohmann::json second = nlohmann::json::parse(run.out[1]);
    EXPECT_EQ(first["location"], "1-1");
    EXPECT_EQ(first["serial"], "4711");
    EXPECT_EQ(first["control"], "1.09");
    EXPECT_EQ(second["location"], "1-2");
    EXPECT_EQ(second["guise"], "bootloader");
    EXPECT_TRUE(second["serial"].is_null());
    EXPECT_EQ(second["controlIncomplete"], true);
    EXPECT_EQ(second["writes"],
              "control firmware 1.12, default values if the unit owes them, video "
              "firmware 1.02, package version 2.07");
    EXPECT_TRUE(readsOnly(a.trace()));
    EXPECT_TRUE(readsOnly(b.trace()));
    EXPECT_EQ(b.snapshot().guise, Guise::Bootloader);

    a.unplug();
    b.unplug();
    run = runOn(a, b, {"-list"});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.out, std::vector<std::string>{"No unit is connected."});
    run = runOn(a, b, {"-list", "-json"});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_TRUE(run.out.empty());

    // Only when USB itself cannot be used does it fail.
    run = runUpdater(a, {"-list"}, "", kTimeScale,
                     {{"BVU_USB", "emulator:" + a.path() + ".missing"}});
    EXPECT_EQ(run.result.exitCode, 1);
    EXPECT_TRUE(contains(run.err,
                         "USB error: USB communication error: Could not initialise USB driver: "
                         "Failed to open USB driver"))
        << joined(run.err);
}

}  // namespace
}  // namespace test
}  // namespace bvu
