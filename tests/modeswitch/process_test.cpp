// modeswitch as a process against the emulated device (BVU_USB=emulator:STATE, a compressed
// clock): its exit codes, its texts on standard error, and the guise the device is left in.
// Built natively and for Windows, where it runs modeswitch.exe under Wine.
#include <gtest/gtest.h>

#include "emulator/emulator.h"
#include "tests/modeswitch/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace emu = bvu::emulator;

constexpr double kScale = 0.01;
const char* const kUsage =
    "Invalid command-line arguments. Valid args are:\n"
    "  [ -dfu | -tarsel | -pellin | -tarselHDMI | -pellinHDMI] [ -silent ]\n";
const char* const kUsbError = "USB communication error.\n";

class ModeSwitchProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        bvu::test::setEnvironment("BVU_USB", "emulator:" + state);
        bvu::test::setEnvironment("BVU_TIME_SCALE", std::to_string(kScale));
    }

    // bootloader: created with the start-up bit on the bootloader, as a device whose control
    // firmware update was interrupted.
    void make(bool bootloader = false, int release = 2) {
        emu::CreateOptions o;
        o.bootloader = bootloader;
        o.release = release;
        std::string error;
        ASSERT_TRUE(emu::createDevice(state, o, &error)) << error;
    }
    // A device sent into its bootloader on purpose: the start-up bit still selects the
    // application.
    void makeSentIntoBootloader() {
        make();
        ASSERT_EQ(run({"-dfu"}).exitCode, 0);
        ASSERT_EQ(device().guise, emu::Guise::Bootloader);
        ASSERT_TRUE(device().startupBit);
    }
    // Sends command blocks to the bootloader as a host would (DNLOAD, then GETSTATUS).
    void bootloaderCommands(const std::vector<std::vector<uint8_t>>& blocks) {
        std::string error;
        std::shared_ptr<emu::EmulatedBus> bus = emu::openBus(state, &error);
        ASSERT_TRUE(bus) << error;
        const uint32_t id = bus->present().at(0).busId;
        for (std::vector<uint8_t> block : blocks) {
            const uint8_t dnload[8] = {0x21, 1, 0, 0, 4, 0, static_cast<uint8_t>(block.size()), 0};
            const uint8_t getStatus[8] = {0xA1, 3, 0, 0, 4, 0, 6, 0};
            uint8_t status[6] = {};
            uint32_t moved = 0;
            ASSERT_EQ(bus->control(id, dnload, block.data(), &moved), emu::Reply::Ack);
            ASSERT_EQ(bus->control(id, getStatus, status, &moved), emu::Reply::Ack);
        }
    }
    bvu::test::ChildResult run(const std::vector<std::string>& args) {
        return bvu::test::runChild(MODESWITCH_PROGRAM, args, dir.path());
    }
    emu::DeviceSnapshot device() {
        emu::DeviceSnapshot s;
        std::string error;
        EXPECT_TRUE(emu::inspect(state, &s, &error)) << error;
        return s;
    }
    // Requests the device has seen, interface selections left out.
    size_t requests() {
        std::vector<emu::TraceEntry> t;
        std::string error;
        EXPECT_TRUE(emu::trace(state, &t, &error)) << error;
        size_t n = 0;
        for (const auto& e : t) n += e.kind != emu::TraceKind::SetInterface;
        return n;
    }
    static double nominal(double realMs) { return realMs / kScale; }

    bvu::test::TempDir dir;
    const std::string state = dir.file("state.json");
};

TEST_F(ModeSwitchProcess, BadCommandLinesAreRefusedBeforeAnyRequest) {
    make();
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, kUsage},
        {{"-silent"}, ""},
        {{"-DFU"}, kUsage},
        {{"-silent", "-bogus"}, ""},
        {{"-bogus", "-silent"}, kUsage},
        {{"-bogus", "-dfu"}, kUsage},
        {{"-dfu", "-bogus"}, kUsage},
    };
    for (const Case& c : cases) {
        auto r = run(c.args);
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.exitCode, 2) << what;
        EXPECT_EQ(r.err, c.err) << what;
        EXPECT_EQ(r.out, "") << what;
    }
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(device().guise, emu::Guise::Run);
}

// --help and --version answer on standard output, with code 0, before any USB: a driver that
// cannot be opened goes unnoticed, and whatever else stands on the command line is not looked at.
TEST_F(ModeSwitchProcess, HelpAndVersionAnswerWithoutUsb) {
    make();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"-?"}, {"-bogus", "-dfu", "--help"}}) {
        auto r = run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
        EXPECT_EQ(r.out.rfind("Usage: modeswitch [ -dfu | -tarsel | -pellin | -tarselHDMI | "
                              "-pellinHDMI] [ -silent ]\n",
                              0),
                  0u)
            << r.out;
        EXPECT_NE(r.out.find("\n  -silent              write nothing on failure\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("Exit codes: 0 done, 1 USB communication error"), std::string::npos);
    }
    auto r = run({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("modeswitch 2.07 (Brevicor Update Utility)\nUSB hosts: ", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("emulator"), std::string::npos);
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(device().guise, emu::Guise::Run);

    bvu::test::setEnvironment("BVU_USB", "foo");
    EXPECT_EQ(run({"--version"}).exitCode, 0);
    EXPECT_EQ(run({"-dfu"}).exitCode, 1);
}

TEST_F(ModeSwitchProcess, ASecondDeviceIsNamedUnlessSilent) {
    emu::CreateOptions o;
    o.variant.twin = true;
    std::string error;
    ASSERT_TRUE(emu::createDevice(state, o, &error)) << error;
    auto r = run({"-dfu"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err,
              "A second device is connected and was ignored; connect one device at a time. "
              "Ignored: 1-2 (run mode).\n");
    EXPECT_EQ(device().guise, emu::Guise::Bootloader);  // the first one, as without the second
    ASSERT_TRUE(emu::createDevice(state, o, &error)) << error;
    r = run({"-silent", "-dfu"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(device().guise, emu::Guise::Bootloader);
}

TEST_F(ModeSwitchProcess, DfuSendsEitherReleaseIntoItsBootloader) {
    for (int release : {2, 1}) {
        make(false, release);
        auto r = run({"-dfu"});
        EXPECT_EQ(r.exitCode, 0) << release;
        EXPECT_EQ(r.err, "") << release;
        EXPECT_EQ(device().guise, emu::Guise::Bootloader) << release;
        EXPECT_GE(nominal(r.realMs), 5000) << release;
    }
}

TEST_F(ModeSwitchProcess, DfuOnABootloaderSendsNothingButStillWaits) {
    make(true);
    auto r = run({"-dfu", "-silent"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(requests(), 0u);
    EXPECT_GE(nominal(r.realMs), 5000);
    EXPECT_EQ(device().guise, emu::Guise::Bootloader);
}

TEST_F(ModeSwitchProcess, EveryModelOptionStartsTheApplication) {
    for (const char* option : {"-tarsel", "-pellin", "-tarselHDMI", "-pellinHDMI"}) {
        makeSentIntoBootloader();
        auto r = run({option});
        EXPECT_EQ(r.exitCode, 0) << option;
        EXPECT_EQ(r.err, "") << option;
        EXPECT_GE(nominal(r.realMs), 7000) << option;
        EXPECT_EQ(device().guise, emu::Guise::Run) << option;
    }
}

TEST_F(ModeSwitchProcess, TheLastModeOptionCounts) {
    makeSentIntoBootloader();
    EXPECT_EQ(run({"-dfu", "-tarsel"}).exitCode, 0);
    EXPECT_EQ(device().guise, emu::Guise::Run);
    EXPECT_EQ(run({"-pellin", "-silent", "-dfu"}).exitCode, 0);
    EXPECT_EQ(device().guise, emu::Guise::Bootloader);
}

// Started, such a device would leave the bus until it is power-cycled.
TEST_F(ModeSwitchProcess, AnIncompleteControlFirmwareIsNotStarted) {
    make(true);
    auto r = run({"-tarsel"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "The control firmware of the device is incomplete: run the update (updater) to write "
              "it again.\n");
    const emu::DeviceSnapshot s = device();
    EXPECT_EQ(s.guise, emu::Guise::Bootloader);
    EXPECT_FALSE(s.vanished);
    std::vector<emu::TraceEntry> t;
    std::string error;
    ASSERT_TRUE(emu::trace(state, &t, &error)) << error;
    for (const auto& e : t) EXPECT_FALSE(e.data.size() == 5 && e.data[0] == 4 && e.data[1] == 3);
}

// The start-up bit says application, but the flash holds none: the device takes the start and
// leaves the bus for good. That is no success.
TEST_F(ModeSwitchProcess, AnApplicationThatNeverArrivesIsAFailure) {
    makeSentIntoBootloader();
    bootloaderCommands({{0x04, 0x00, 0xFF}});  // the chip erase
    auto r = run({"-pellin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              std::string(kUsbError) + "Waiting for USB device to attach: Timeout expired\n");
    EXPECT_GE(nominal(r.realMs), 7000);
    EXPECT_TRUE(device().vanished);
}

TEST_F(ModeSwitchProcess, ARunningApplicationIsLeftAlone) {
    make();
    auto r = run({"-pellinHDMI"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(device().guise, emu::Guise::Run);
}

TEST_F(ModeSwitchProcess, NoDeviceEndsAfterTheAttachWaitAsAUsbError) {
    make();
    std::string error;
    ASSERT_TRUE(emu::unplug(state, &error)) << error;
    auto r = run({"-pellin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              std::string(kUsbError) + "Waiting for USB DFU-mode to attach: Timeout expired\n");
    EXPECT_GE(nominal(r.realMs), 10000);
    r = run({"-silent", "-dfu"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(ModeSwitchProcess, AFailedRequestIsAUsbError) {
    make();
    emu::FaultRule stall;
    stall.kind = emu::FaultKind::Stall;
    stall.match = true;
    stall.matchType = 0x20;
    stall.matchRequest = 1;  // the command that sends the device into its bootloader
    std::string error;
    ASSERT_TRUE(emu::addFault(state, stall, &error)) << error;
    auto r = run({"-dfu"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              std::string(kUsbError) + "Could not send BVR_CMD to device: HC status: PID stall\n");
    EXPECT_EQ(device().guise, emu::Guise::Run);
}

TEST_F(ModeSwitchProcess, ADriverThatCannotBeOpenedIsReportedEvenWhenSilent) {
    // No state file: the emulated driver cannot be opened, before the options are read.
    auto r = run({"-silent", "-dfu"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(std::string(kUsbError) + "Could not initialise USB driver: "),
              std::string::npos)
        << r.err;
}

}  // namespace
