// modeswitch with two units on the bus, each in its own state file at its own port
// (BVU_USB=emulator:A,B): the unit switched is the one named, or the first by location, and the
// other never sees a request; -list reads and changes nothing. Natively and under Wine.
#include <gtest/gtest.h>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "tests/modeswitch/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace emu = bvu::emulator;

constexpr double kScale = 0.01;

class ModeSwitchUnits : public ::testing::Test {
  protected:
    void SetUp() override {
        bvu::test::setEnvironment("BVU_USB", "emulator:" + a + "," + b);
        bvu::test::setEnvironment("BVU_TIME_SCALE", std::to_string(kScale));
        bvu::clock::setTimeScaleForTests(kScale);  // the units' own delays in this process
    }
    void TearDown() override { bvu::clock::setTimeScaleForTests(1.0); }

    // A unit at port; inBootloader: sent there on purpose (its start-up bit still selects the
    // application); incomplete: waits there after an interrupted update.
    void make(const std::string& path, const std::string& port, const std::string& serial,
              bool inBootloader = false, bool incomplete = false) {
        emu::CreateOptions o;
        o.port = port;
        o.serial = serial;
        o.bootloader = incomplete;
        std::string error;
        ASSERT_TRUE(emu::createDevice(path, o, &error)) << error;
        if (inBootloader) {
            std::shared_ptr<emu::EmulatedBus> bus = emu::openBus(path, &error);
            ASSERT_TRUE(bus) << error;
            // 6,4 sends it there, as modeswitch -dfu would.
            const uint8_t enter[8] = {0x20, 1, 4, 6, 0, 0, 0, 0};
            uint32_t moved = 0;
            ASSERT_EQ(bus->control(bus->present().at(0).busId, enter, nullptr, &moved),
                      emu::Reply::Ack);
            ASSERT_TRUE(emu::waitForGuise(*bus, emu::Guise::Bootloader, 10000));
            emu::clearTrace(*bus);
        }
    }
    bvu::test::ChildResult run(const std::vector<std::string>& args) {
        return bvu::test::runChild(MODESWITCH_PROGRAM, args, dir.path());
    }
    static emu::DeviceSnapshot unit(const std::string& path) {
        emu::DeviceSnapshot s;
        std::string error;
        EXPECT_TRUE(emu::inspect(path, &s, &error)) << error;
        return s;
    }
    static std::vector<emu::TraceEntry> trace(const std::string& path) {
        std::vector<emu::TraceEntry> t;
        std::string error;
        EXPECT_TRUE(emu::trace(path, &t, &error)) << error;
        return t;
    }
    // Whether every request of the trace only read (IN requests, interface selections, and
    // the bootloader's command that selects the byte an upload hands out).
    static bool readsOnly(const std::vector<emu::TraceEntry>& t) {
        for (const emu::TraceEntry& e : t) {
            const bool in = (e.setup[0] & 0x80) != 0;
            const bool selectRead =
                e.setup[0] == 0x21 && e.setup[1] == 1 && e.data.size() == 3 && e.data[0] == 0x05;
            if (e.kind == emu::TraceKind::Bulk ||
                (e.kind == emu::TraceKind::Control && !in && !selectRead))
                return false;
        }
        return true;
    }

    bvu::test::TempDir dir;
    const std::string a = dir.file("a.json");
    const std::string b = dir.file("b.json");
};

TEST_F(ModeSwitchUnits, DfuSwitchesTheFirstUnitAndNamesTheOtherWhateverItsGuise) {
    make(a, "1", "4711");
    make(b, "2", "4712", false, true);  // in its bootloader after an interrupted update
    auto r = run({"-dfu"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err,
              "A second device is connected and was ignored; connect one device at a time. "
              "Ignored: 1-2 (bootloader).\n");
    EXPECT_EQ(unit(a).guise, emu::Guise::Bootloader);
    EXPECT_TRUE(trace(b).empty());
    EXPECT_EQ(unit(b).guise, emu::Guise::Bootloader);

    // The reverse: the first unit waits in its bootloader, the second runs. -tarsel starts the
    // first one; the second's bootloader... it has none on the bus, and gets nothing.
    make(a, "1", "4711", true);
    make(b, "2", "4712");
    r = run({"-tarsel"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err,
              "A second device is connected and was ignored; connect one device at a time. "
              "Ignored: 1-2 (run mode).\n");
    EXPECT_EQ(unit(a).guise, emu::Guise::Run);
    EXPECT_TRUE(trace(b).empty());
}

// The unit in its bootloader that an interrupted update left is the first; -tarsel refuses to
// start its incomplete firmware, and does not take the other unit, already running, for it.
TEST_F(ModeSwitchUnits, AnIncompleteUnitIsNotReplacedByTheOtherOne) {
    make(a, "1", "4711", false, true);
    make(b, "2", "4712");
    auto r = run({"-tarsel"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(unit(a).guise, emu::Guise::Bootloader);
    EXPECT_TRUE(trace(b).empty());
}

TEST_F(ModeSwitchUnits, TheUnitNamedIsSwitchedAndNoOtherIsOpened) {
    make(a, "1", "4711");
    make(b, "2", "4712");
    auto r = run({"-device", "1-2", "-dfu"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");  // the other unit was never seen
    EXPECT_EQ(unit(b).guise, emu::Guise::Bootloader);
    EXPECT_EQ(unit(a).guise, emu::Guise::Run);
    EXPECT_TRUE(trace(a).empty());

    // By serial number: only the serial numbers are read to find it (the unit in its
    // bootloader now cannot tell its own).
    std::string error;
    std::shared_ptr<emu::EmulatedBus> bus = emu::openBus(b, &error);
    ASSERT_TRUE(bus) << error;
    emu::clearTrace(*bus);
    bus.reset();
    r = run({"-dfu", "-serial", "4711"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(unit(a).guise, emu::Guise::Bootloader);
    EXPECT_TRUE(trace(b).empty());
}

TEST_F(ModeSwitchUnits, ANameThatFitsNoUnitSaysWhatToDoAndSendsNothing) {
    make(a, "1", "4711");
    make(b, "2", "4712", false, true);
    auto r = run({"-dfu", "-device", "1-9"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "No unit is connected at USB location \"1-9\". Connected: 1-1 (run mode), 1-2 "
              "(bootloader); -list shows the units connected.\n");
    EXPECT_TRUE(trace(a).empty());
    EXPECT_TRUE(trace(b).empty());

    r = run({"-dfu", "-serial", "4712"});  // in its bootloader: it cannot say
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "No unit with serial number \"4712\" is connected in run mode. Connected: 1-1 (run "
              "mode, serial 4711), 1-2 (bootloader). A unit in its bootloader does not tell its "
              "serial number: pick it by where it is plugged, with -device LOCATION; -list shows "
              "the units connected.\n");
    EXPECT_TRUE(readsOnly(trace(a)));
    EXPECT_TRUE(trace(b).empty());
    EXPECT_EQ(unit(a).guise, emu::Guise::Run);
}

TEST_F(ModeSwitchUnits, TheListingReadsEveryUnitAndChangesNothing) {
    make(a, "1", "4711");
    make(b, "2", "4712", false, true);
    auto r = run({"-list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "1-1: run mode, serial 4711, PCB revision C2.1, package 2.05, video firmware 1.01, "
              "control firmware 1.09, NTSC\n"
              "1-2: bootloader, control firmware incomplete\n");
    EXPECT_EQ(r.err, "");
    r = run({"-list", "-json", "-device", "1-2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"location\":\"1-2\",\"guise\":\"bootloader\",\"serial\":null,\"pcbRevision\":null,"
              "\"package\":null,\"video\":null,\"control\":null,\"videoStandard\":null,"
              "\"controlIncomplete\":true,\"error\":null}\n");
    EXPECT_TRUE(readsOnly(trace(a)));
    EXPECT_TRUE(readsOnly(trace(b)));
    EXPECT_EQ(unit(a).guise, emu::Guise::Run);
    EXPECT_EQ(unit(b).guise, emu::Guise::Bootloader);

    std::string error;
    ASSERT_TRUE(emu::unplug(a, &error)) << error;
    ASSERT_TRUE(emu::unplug(b, &error)) << error;
    r = run({"-list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "No unit is connected.\n");
    r = run({"-list", "-json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(ModeSwitchUnits, AUnitThatDoesNotAnswerTheListingFailsItAndIsLeftAsItWas) {
    make(a, "1", "4711");
    make(b, "2", "4712");
    emu::FaultRule stall;
    stall.kind = emu::FaultKind::Stall;
    stall.after = 2;  // the third read
    std::string error;
    ASSERT_TRUE(emu::addFault(b, stall, &error)) << error;
    const emu::DeviceSnapshot before = unit(b);
    auto r = run({"-list"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("1-1: run mode, serial 4711"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1-2: run mode, could not be read: USB communication error: Could not "
                         "send BVR_READ to device: HC status: PID stall"),
              std::string::npos)
        << r.out;
    const emu::DeviceSnapshot after = unit(b);
    EXPECT_EQ(after.memory, before.memory);
    EXPECT_EQ(after.guise, emu::Guise::Run);
    // Power cycled, it lists as before.
    ASSERT_TRUE(emu::unplug(b, &error) && emu::plug(b, &error)) << error;
    r = run({"-list"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

}  // namespace
