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

const char* const kUsbAdvice =
    "The update failed due to a USB communication error.\\nPlease check that all cables are "
    "properly connected.";
const char* const kInconsistent =
    "\\n\\nThe device may be in an inconsistent state.\\nPlease contact Brevicor support"
    "\\n\\nTo finish the update, unplug the device, plug it in again\\nand run the update again.";
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

// In its bootloader, with the start-up bit on the bootloader, nothing in its flash and no package
// version: the inspection does not start it, and the run writes everything, the default values
// included (a unit that never finished an update).
TEST(UpdaterProcess, AFactoryBlankDeviceIsUpdatedLikeAnyOther) {
    CreateOptions o = oldDevice();
    o.bootloader = true;
    o.packageVersion = "";
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
         "status: The control firmware is incomplete. Press Update to write it again. It is "
         "written also with -nomicro.",
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
        DeviceFile device(currentDevice());
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

// The package version says that the unit holds the package's firmware: a run that leaves older
// firmware on it leaves the field as it was and says so; a unit that holds the carried firmware
// gets it even when every step is switched off.
TEST(UpdaterProcess, ThePackageVersionIsWrittenOnlyToAUnitThatHoldsThePackagesFirmware) {
    const std::string leftAlone =
        "status: All updates complete. The package version was left as it was: the device does "
        "not hold all the firmware of package 2.07.";
    const struct {
        CreateOptions device;
        std::vector<std::string> args;
        const char* package;
    } cases[] = {
        {oldDevice(), {"-nomicro", "-nofpga"}, "2.05"},
        {oldDevice(), {"-nomicro"}, "2.05"},
        {oldDevice(), {"-nofpga"}, "2.05"},
        {currentDevice(), {"-nomicro", "-nofpga"}, "2.07"},
        {currentDevice(), {"-nomicro"}, "2.07"},
        {currentDevice(), {"-nofpga"}, "2.07"},
    };
    for (const auto& c : cases) {
        DeviceFile device(c.device);
        std::vector<std::string> args{"-batch"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome run = runUpdater(device, args);
        const std::string what = c.device.controlVersion + " " + joined(c.args);
        EXPECT_EQ(run.result.exitCode, 0) << what << run.result.err;
        const emulator::DeviceSnapshot after = device.snapshot();
        EXPECT_EQ(after.packageVersion, c.package) << what;
        const std::vector<std::string> status = starting(run.err, "status: ");
        EXPECT_EQ(status.back(),
                  c.package == std::string("2.07") ? "status: All updates complete." : leftAlone)
            << what;
        EXPECT_EQ(after.memory[0x37], 0) << what;
    }
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-batch", "-nomicro", "-nofpga"});
    EXPECT_EQ(starting(run.err, "status: "),
              (std::vector<std::string>{"status: Connecting to USB device.",
                                        "status: Ready to perform updates.",
                                        "status: All updates complete.", leftAlone}));
    const emulator::DeviceSnapshot after = device.snapshot();
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

// A correction that is not a number used to become 0 and write zeros over every value. The token
// after -correction is its value: "-batch" there is refused, not read as batch mode, so the
// dialog waits for someone to press Update.
TEST(UpdaterProcess, RefusedCorrectionKeepsTheFactorAndSaysSo) {
    DeviceFile device(currentDevice());
    const auto s = device.snapshot();
    const std::vector<uint8_t> before(s.memory.begin(), s.memory.end());
    Outcome run = runUpdater(
        device, {"-nomicro", "-nofpga", "-calib", "-correction", "abc", "-correction", "-batch"},
        "wait-status Ready to perform updates.\nclick 1001\nwait-status All updates complete.\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "Invalid value 'abc' for option '-correction'. Ignored."));
    EXPECT_TRUE(contains(run.err, "Invalid value '-batch' for option '-correction'. Ignored."));
    EXPECT_EQ(calibrationResults(device.snapshot()), expectedCalibration(before, 1.0f));

    // Without anyone to press Update, nothing happens: batch mode was not switched on.
    DeviceFile untouched(currentDevice());
    run = runUpdater(untouched, {"-calib", "-correction", "-batch"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "status: Ready to perform updates."));
    EXPECT_FALSE(contains(run.err, "status: Updating Calibration Data"));
    EXPECT_EQ(untouched.snapshot().packageVersion, "2.05");
}

// Nobody reads the warnings of a batch run before the device is written: a mistyped option or a
// refused value ends it with code 2 before any request. Without -batch the dialog lets the user
// decide, as before.
TEST(UpdaterProcess, BadOptionsEndABatchRunBeforeAnyRequest) {
    const char* const refusal =
        "The command line has errors (above); in batch mode nothing is done. Correct it and run "
        "again.";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> warnings;
    } cases[] = {
        {{"-batch", "-nomicr"}, {"Invalid command-line argument '-nomicr' ignored"}},
        {{"-batch", "-correction", "1,05"},
         {"Invalid value '1,05' for option '-correction'. Ignored."}},
        {{"-Batch", "\"-batch\"", "-noverify", "-batch", "-correction"},
         {"Invalid command-line argument '-Batch' ignored",
          "Invalid command-line argument '\"-batch\"' ignored",
          "Option '-correction' requires argument. Ignored."}},
        {{"-batch", "-log"}, {"Option '-log' requires argument. Ignored."}},
        {{"-dfu", "-batch", "-bogus"}, {"Invalid command-line argument '-bogus' ignored"}},
    };
    for (const auto& c : cases) {
        DeviceFile device(oldDevice());
        Outcome run = runUpdater(device, c.args);
        std::vector<std::string> expected = c.warnings;
        expected.push_back(refusal);
        EXPECT_EQ(run.result.exitCode, 2) << joined(c.args);
        EXPECT_EQ(run.err, expected) << joined(c.args);
        EXPECT_EQ(device.snapshot().requests, 0u) << joined(c.args);
    }
    // -json: the warnings and the refusal are events too.
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-batch", "-nomicr", "-json"});
    EXPECT_EQ(run.result.exitCode, 2);
    ASSERT_EQ(run.out.size(), 3u) << joined(run.out);
    EXPECT_EQ(run.out[0],
              "{\"event\":\"warning\",\"text\":\"Invalid command-line argument '-nomicr' "
              "ignored\"}");
    EXPECT_EQ(run.out[1], std::string("{\"event\":\"error\",\"message\":\"") + refusal +
                              "\",\"kind\":\"usage\",\"detail\":\"\"}");
    EXPECT_EQ(run.out[2].rfind("{\"event\":\"result\",\"success\":false,", 0), 0u) << run.out[2];
    EXPECT_EQ(device.snapshot().requests, 0u);
}

TEST(UpdaterProcess, BadOptionsWithoutBatchAreReportedAndTheDialogGoesOn) {
    DeviceFile device(currentDevice());
    Outcome run = runUpdater(device, {"-nomicr", "-nofpga", "-correction", "-dfu"},
                             "wait-status Ready to perform updates.\nclick 1001\n"
                             "wait-status All updates complete.\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(inOrder(run.err, {"Invalid command-line argument '-nomicr' ignored",
                                  "Invalid value '-dfu' for option '-correction'. Ignored.",
                                  "status: Connecting to USB device."}))
        << joined(run.err);
    // -dfu was the refused value, not the device action: the dialog ran and the unit, never sent
    // into its bootloader, got the control firmware that -nomicr did not leave alone.
    EXPECT_EQ(commandCount(device.trace(), 0x0604), 1);
    EXPECT_TRUE(contains(run.err, "status: Updating Control Firmware"));
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
        // None of these units holds the carried firmware after a run that writes none.
        EXPECT_EQ(device.snapshot().packageVersion, q.package);
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
    CreateOptions o = currentDevice();
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
    // The unit owes its default values: the mark stays until a run has programmed them.
    EXPECT_EQ(device.snapshot().packageVersion, "~2.05");
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
