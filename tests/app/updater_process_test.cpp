// The updater as a script and a person meet it: the program run as a process against the
// emulated device, with the view for scripts (status lines and boxes on standard error,
// answers and clicks from standard input) and a compressed clock. Each case checks the exit
// code, the exact texts and what the device holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "updater_runs.h"

namespace bvu {
namespace test {
namespace {

using emulator::CreateOptions;
using emulator::FaultKind;
using emulator::FaultRule;
using emulator::Guise;

const char* const kUsbAdvice =
    "The update failed due to a USB communication error.\\nPlease check that all cables are "
    "properly connected.";
const char* const kInconsistent =
    "\\n\\nThe device may be in an inconsistent state.\\nPlease contact Brevicor support";
const char* const kReplug =
    "\\n\\nThe update may not be complete. Please un-plug\\nthe device, then re-connect it, and "
    "re-run\\nthis update process";
const char* const kNotFound =
    "Could not find the device using USB\\n(Check that the device is properly connected)";

TEST(UpdaterProcess, FullBatchRunLeavesExactlyTheCarriedFirmware) {
    DeviceFile device(oldDevice());
    const auto initial = device.snapshot();
    const std::vector<uint8_t> before(initial.memory.begin(), initial.memory.end());
    Outcome run = runUpdater(device, {"-batch", "-calib"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(
        inOrder(run.err, {"status: Connecting to USB device.", "status: Ready to perform updates.",
                          "status: Updating Control Firmware", "status: Updating Calibration Data",
                          "status: Updating Video Firmware", "status: All updates complete."}))
        << joined(run.err);
    EXPECT_TRUE(starting(run.err, "box:").empty()) << joined(run.err);

    EXPECT_EQ(differencesFromACleanUpdate(device.snapshot(), before), "");

    // A device that had 1.09 gets its default values programmed and restarted, once. The
    // control firmware was read back before the device was let start it.
    const auto trace = device.trace();
    EXPECT_EQ(commandCount(trace, 0x0E00), 1);
    EXPECT_EQ(uploadCount(trace, 1024), static_cast<int>(carriedControlImage().size() / 1024));
}

TEST(UpdaterProcess, NoVerifySkipsTheReadBack) {
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-batch", "-nofpga", "-noverify"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_FALSE(contains(run.err, "status: Updating Control Firmware: Verifying."));
    EXPECT_EQ(uploadCount(device.trace(), 1024), 0);
    EXPECT_EQ(device.snapshot().controlVersion, "1.12");
}

// In its bootloader, with the start-up bit on the bootloader and nothing in its flash: the
// inspection does not start it, and the run writes everything, the default values included.
TEST(UpdaterProcess, AFactoryBlankDeviceIsUpdatedLikeAnyOther) {
    CreateOptions o = oldDevice();
    o.bootloader = true;
    DeviceFile device(o);
    device.bootloaderCommand({0x04, 0x00, 0xFF});  // the chip erase
    const auto initial = device.snapshot();
    ASSERT_EQ(initial.controlVersion, "");
    const std::vector<uint8_t> before(initial.memory.begin(), initial.memory.end());
    Outcome run = runUpdater(device, {"-batch", "-calib", "-nomicro"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(inOrder(
        run.err,
        {"status: Connecting to USB device.",
         "status: The control firmware is incomplete. Press Update to write it "
         "again (also with -nomicro).",
         "status: Updating Control Firmware", "status: Updating Control Firmware: Verifying.",
         "status: Updating Control Firmware: Programming default values.",
         "status: Updating Calibration Data", "status: Updating Video Firmware",
         "status: All updates complete."}))
        << joined(run.err);
    EXPECT_TRUE(starting(run.err, "box:").empty()) << joined(run.err);
    EXPECT_EQ(differencesFromACleanUpdate(device.snapshot(), before), "");
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 1);
}

// A device that took fewer bytes than it was sent holds something else than was meant: the run
// fails, in the calibration step as in the package version written after it.
TEST(UpdaterProcess, AWriteTheDeviceTookOnlyPartOfFailsTheRun) {
    struct Case {
        std::vector<std::string> args;
        FaultKind kind;
        uint32_t after;  // BVR_WRITE requests to let pass
        std::string out;
        std::string box;
        std::string status;  // the last status line
    } cases[] = {
        {{"-calib"},
         FaultKind::Short,
         0,
         "",
         std::string("box: Update Error: ") + kUsbAdvice + kReplug,
         "status: Update failed."},
        {{"-calib"},
         FaultKind::Empty,
         4,
         "",
         std::string("box: Update Error: ") + kUsbAdvice + kReplug,
         "status: Update failed."},
        {{},
         FaultKind::Short,
         0,
         "USB error: USB communication error: Could not send BVR_WRITE to device: Short write "
         "(1 of 5 bytes)",
         std::string("box: Brevicor: ") + kNotFound,
         "status: All updates complete."},
        {{},
         FaultKind::Empty,
         0,
         "USB error: USB communication error: Could not send BVR_WRITE to device: Short write "
         "(0 of 5 bytes)",
         std::string("box: Brevicor: ") + kNotFound,
         "status: All updates complete."},
    };
    for (const Case& c : cases) {
        DeviceFile device(oldDevice());
        FaultRule rule;
        rule.kind = c.kind;
        rule.bytes = 1;
        rule.after = c.after;
        rule.match = true;
        rule.matchType = 0x20;
        rule.matchRequest = 2;
        device.addFault(rule);
        std::vector<std::string> args{"-batch", "-nomicro", "-nofpga"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome run = runUpdater(device, args);
        EXPECT_EQ(run.result.exitCode, 1) << c.box;
        EXPECT_EQ(run.out,
                  c.out.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.out});
        EXPECT_EQ(starting(run.err, "box: "), std::vector<std::string>{c.box});
        EXPECT_EQ(starting(run.err, "status: ").back(), c.status);
        EXPECT_NE(device.snapshot().packageVersion, "2.07");
    }
}

TEST(UpdaterProcess, NothingSwitchedOnStillWritesThePackageVersion) {
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-batch", "-nomicro", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(starting(run.err, "status: "),
              (std::vector<std::string>{"status: Connecting to USB device.",
                                        "status: Ready to perform updates.",
                                        "status: All updates complete."}));
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.07");
    EXPECT_EQ(after.controlVersion, "1.09");
    EXPECT_EQ(after.videoVersion, "1.01");
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 0);
}

TEST(UpdaterProcess, NewerControlFirmwareGetsNoDefaultValues) {
    CreateOptions o = oldDevice();
    o.controlVersion = "1.10";
    DeviceFile device(o);
    Outcome run = runUpdater(device, {"-batch", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(device.snapshot().controlVersion, "1.12");
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 0);
}

TEST(UpdaterProcess, CorrectionFactorReachesTheCalibration) {
    DeviceFile device(oldDevice());
    const auto s = device.snapshot();
    const std::vector<uint8_t> before(s.memory.begin(), s.memory.end());
    Outcome run =
        runUpdater(device, {"-batch", "-nomicro", "-nofpga", "-calib", "-correction", "0.5"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(calibrationResults(device.snapshot()), expectedCalibration(before, 0.5f));
}

// A correction that is not a number used to become 0 and write zeros over every value.
TEST(UpdaterProcess, RefusedCorrectionKeepsTheFactorAndSaysSo) {
    DeviceFile device(oldDevice());
    const auto s = device.snapshot();
    const std::vector<uint8_t> before(s.memory.begin(), s.memory.end());
    Outcome run = runUpdater(
        device, {"-nomicro", "-nofpga", "-calib", "-correction", "abc", "-correction", "-batch"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "Invalid value 'abc' for option '-correction'. Ignored."));
    EXPECT_TRUE(contains(run.err, "Invalid value '-batch' for option '-correction'. Ignored."));
    // -batch was read as the option: the run went ahead without anyone pressing Update.
    EXPECT_TRUE(contains(run.err, "status: All updates complete."));
    EXPECT_EQ(calibrationResults(device.snapshot()), expectedCalibration(before, 1.0f));
}

TEST(UpdaterProcess, BadOptionsAreReportedAndTheRunGoesOn) {
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-Batch", "\"-batch\"", "-noverify", "-nomicro", "-nofpga",
                                      "-batch", "-correction"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    const std::vector<std::string> warnings = {"Invalid command-line argument '-Batch' ignored",
                                               "Invalid command-line argument '\"-batch\"' ignored",
                                               "Option '-correction' requires argument. Ignored."};
    for (const std::string& w : warnings) {
        EXPECT_TRUE(contains(run.err, w)) << w << "\n" << joined(run.err);
    }
    EXPECT_EQ(std::count_if(run.err.begin(), run.err.end(),
                            [](const std::string& l) {
                                return l.find("Invalid") == 0 || l.find("Option") == 0;
                            }),
              3);
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
}

struct Question {
    const char* name;
    const char* package;
    const char* video;
    const char* control;
    const char* text;  // as the lines for scripts write it
};

class InspectionQuestion : public ::testing::TestWithParam<Question> {};

TEST_P(InspectionQuestion, YesOffersTheUpdateAndNoLeavesTheDeviceAlone) {
    const Question& q = GetParam();
    CreateOptions o = oldDevice();
    o.packageVersion = q.package;
    o.videoVersion = q.video;
    o.controlVersion = q.control;
    const std::string box = std::string("box: Confirm Update: ") + q.text;

    {
        DeviceFile device(o);
        Outcome run = runUpdater(device, {"-nomicro", "-nofpga"},
                                 "answer yes\nwait-status Ready to perform updates.\nclick 1001\n"
                                 "wait-status All updates complete.\n");
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(starting(run.err, "box: "), std::vector<std::string>{box}) << joined(run.err);
        EXPECT_TRUE(contains(run.err, "answer: Confirm Update: Yes"));
        EXPECT_TRUE(inOrder(
            run.err, {"status: Ready to perform updates.", "status: All updates complete."}));
        EXPECT_EQ(device.snapshot().packageVersion, "2.07");
    }
    {
        DeviceFile device(o);
        Outcome run = runUpdater(device, {"-nomicro", "-nofpga"}, "answer no\n");
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(starting(run.err, "box: "), std::vector<std::string>{box});
        EXPECT_TRUE(contains(run.err, "status: No updates to perform."));
        EXPECT_FALSE(contains(run.err, "status: Ready to perform updates."));
        EXPECT_EQ(device.snapshot().packageVersion, q.package);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, InspectionQuestion,
    ::testing::Values(
        Question{"UpToDate", "2.07", "1.03", "1.99",
                 "The unit is already up-to-date.\\nDo you wish to download the firmware "
                 "anyway?"},
        Question{"NewerPackage", "2.10", "1.01", "1.09",
                 "The unit contains a more recent version\\nof the firmware. Do you wish to "
                 "perform a downgrade?"},
        Question{"NewerVideo", "2.05", "1.03", "1.09",
                 "The unit contains a more recent version\\nof the video firmware. Proceeding "
                 "with the update\\nwill downgrade this firmware. Do you wish to update?"},
        Question{"NewerControl", "2.05", "1.01", "1.13",
                 "The unit contains a more recent version\\nof the control firmware. Proceeding "
                 "with the update\\nwill downgrade this firmware. Do you wish to update?"}),
    [](const ::testing::TestParamInfo<Question>& info) { return std::string(info.param.name); });

TEST(UpdaterProcess, BatchModeAsksNothingEvenForADowngrade) {
    CreateOptions o = oldDevice();
    o.packageVersion = "2.10";
    DeviceFile device(o);
    Outcome run = runUpdater(device, {"-batch", "-nomicro", "-nofpga"});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_TRUE(starting(run.err, "box:").empty());
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
}

TEST(UpdaterProcess, UsbFailureDuringControlFirmwareWarnsOfAnInconsistentDevice) {
    DeviceFile device(oldDevice());
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.guise = Guise::Bootloader;
    stall.after = 6;  // well into the block downloads
    device.addFault(stall);
    Outcome run = runUpdater(device, {"-batch"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_EQ(
        starting(run.err, "box: "),
        std::vector<std::string>{std::string("box: Update Error: ") + kUsbAdvice + kInconsistent})
        << joined(run.err);
    EXPECT_TRUE(inOrder(run.err, {"status: Updating Control Firmware", "status: Update failed."}));
    EXPECT_FALSE(contains(run.err, "status: Updating Video Firmware"));
    EXPECT_EQ(device.snapshot().packageVersion, "2.05");
}

TEST(UpdaterProcess, UsbFailureDuringVideoFirmwareAdvisesToReplug) {
    DeviceFile device(oldDevice());
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.match = true;
    stall.matchBulk = true;
    stall.matchRequest = 0x04;  // the image's bulk download
    device.addFault(stall);
    Outcome run = runUpdater(device, {"-batch", "-nomicro"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_EQ(starting(run.err, "box: "),
              std::vector<std::string>{std::string("box: Update Error: ") + kUsbAdvice + kReplug})
        << joined(run.err);
    EXPECT_TRUE(inOrder(run.err, {"status: Updating Video Firmware", "status: Update failed."}));
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.05");
    EXPECT_EQ(after.videoVersion, "1.01");
}

TEST(UpdaterProcess, FailedUpdateWithoutBatchEndsWithZero) {
    DeviceFile device(oldDevice());
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.match = true;
    stall.matchBulk = true;
    stall.matchRequest = 0x04;
    device.addFault(stall);
    Outcome run = runUpdater(device, {"-nomicro"},
                             "wait-status Ready to perform updates.\nclick 1001\n"
                             "wait-status Update failed.\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(starting(run.err, "box: Update Error").size(), 1u);
}

TEST(UpdaterProcess, DfuSwitchesTheDeviceWithoutADialog) {
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-dfu", "-batch"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(starting(run.err, "status:").empty());
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_TRUE(after.guise == Guise::Bootloader || after.arriving == Guise::Bootloader);
}

// A device sent into its bootloader on purpose, as -dfu does: its start-up bit still selects
// the application.
void sendIntoBootloader(const DeviceFile& device) {
    EXPECT_EQ(runUpdater(device, {"-dfu"}).result.exitCode, 0);
    ASSERT_TRUE(device.snapshot().startupBit);
}

TEST(UpdaterProcess, PellinHdmiStartsTheApplicationOfADeviceInItsBootloader) {
    DeviceFile device(oldDevice());
    sendIntoBootloader(device);
    Outcome run = runUpdater(device, {"-pellinHDMI"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(starting(run.err, "status:").empty());
    EXPECT_EQ(device.snapshot().guise, Guise::Run);
}

// Started, it would leave the bus until power-cycled: refused, and said why.
TEST(UpdaterProcess, PellinHdmiRefusesADeviceWithAnIncompleteControlFirmware) {
    CreateOptions o = oldDevice();
    o.bootloader = true;
    DeviceFile device(o);
    const char* const text =
        "The control firmware of the device is incomplete. Run the update to write it again.";
    for (bool batch : {false, true}) {
        std::vector<std::string> args{"-pellinHDMI"};
        if (batch) {
            args.insert(args.begin(), "-batch");  // the action ends the parsing
        }
        Outcome run = runUpdater(device, args);
        EXPECT_EQ(run.result.exitCode, batch ? 1 : 0);
        EXPECT_EQ(run.out, std::vector<std::string>{std::string("Fatal error: ") + text});
        EXPECT_EQ(starting(run.err, "box: "),
                  std::vector<std::string>{std::string("box: Brevicor: ") + text});
        const emulator::DeviceSnapshot after = device.snapshot();
        EXPECT_EQ(after.guise, Guise::Bootloader);
        EXPECT_FALSE(after.vanished);
    }
}

TEST(UpdaterProcess, DeviceErrorOfADeviceActionIsReportedAtTheTop) {
    DeviceFile device(oldDevice());
    device.unplug();
    for (bool batch : {false, true}) {
        std::vector<std::string> args{"-dfu"};
        if (batch) {
            args.insert(args.begin(), "-batch");
        }
        Outcome run = runUpdater(device, args);
        EXPECT_EQ(run.result.exitCode, batch ? 1 : 0);
        ASSERT_EQ(run.out.size(), 1u) << run.result.out;
        EXPECT_EQ(run.out[0].rfind("USB error: USB communication error: ", 0), 0u) << run.out[0];
        EXPECT_EQ(starting(run.err, "box: "),
                  std::vector<std::string>{std::string("box: Brevicor: ") + kNotFound});
    }
}

TEST(UpdaterProcess, AbsentDeviceInBatchModeEndsAfterTheErrorBoxWithOne) {
    DeviceFile device(oldDevice());
    device.unplug();
    Outcome run = runUpdater(device, {"-batch"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_EQ(starting(run.err, "box: "),
              std::vector<std::string>{std::string("box: Error (Brevicor Update Utility): ") +
                                       kNotFound});
    EXPECT_TRUE(inOrder(run.err, {"status: Connecting to USB device.",
                                  "status: No updates possible due to errors."}));
}

TEST(UpdaterProcess, AbsentDeviceWithoutBatchEndsWithZero) {
    DeviceFile device(oldDevice());
    device.unplug();
    Outcome run = runUpdater(device, {});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "status: No updates possible due to errors."));
}

// Exit while the inspection still starts the device's application: the dialog ends at once, but
// the session stays until the inspection has finished with it, and the program ends normally.
TEST(UpdaterProcess, ExitDuringTheInspectionWaitsForTheWorker) {
    DeviceFile device(oldDevice());
    sendIntoBootloader(device);
    // A slower clock, so that the click surely comes while the worker waits for the restart.
    Outcome run = runUpdater(device, {}, "click 1000\n", kSlowTimeScale);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(starting(run.err, "status: "),
              std::vector<std::string>{"status: Connecting to USB device."});
    EXPECT_TRUE(starting(run.err, "box: ").empty()) << joined(run.err);
    EXPECT_TRUE(run.out.empty()) << run.result.out;
    // The worker's last request, the presence check of the restarted device, was made: the
    // session still existed when it came.
    const auto trace = device.trace();
    const auto getStatus = std::find_if(trace.begin(), trace.end(), [](const auto& e) {
        return e.guise == Guise::Run && e.kind == emulator::TraceKind::Control &&
               e.setup[0] == 0x80 && e.setup[1] == 0x00;
    });
    EXPECT_NE(getStatus, trace.end());
}

// Exit while the inspection still waits for an absent device: the program ends once the wait is
// over, without an error box that nobody asked for any more.
TEST(UpdaterProcess, ExitDuringTheInspectionOfAnAbsentDeviceShowsNoBox) {
    DeviceFile device(oldDevice());
    device.unplug();
    Outcome run = runUpdater(device, {}, "click 1000\n", kSlowTimeScale);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(starting(run.err, "box: ").empty()) << joined(run.err);
    EXPECT_EQ(starting(run.err, "status: "),
              std::vector<std::string>{"status: Connecting to USB device."});
}

}  // namespace
}  // namespace test
}  // namespace bvu
