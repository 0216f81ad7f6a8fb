// What the updater tells the people and scripts that run it: --help and --version without any
// USB, the exit code of a batch run that cannot even open its USB session, the -json events and
// the -log file, the device: and detail: lines for scripts, and the notice of a second
// device. The program runs as a process against the emulated device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "updater_runs.h"

namespace bvu {
namespace test {
namespace {

const char* const kSecondDevice =
    "A second device is connected and was ignored; connect one device at a time. Ignored: 1-2 "
    "(run mode).";
const char* const kOpenFailed =
    "USB communication error: Could not initialise USB driver: Failed to open USB driver";

// The position of the first event of this kind (and, when given, this text), or -1.
int indexOf(const std::vector<Json>& all, const std::string& kind, const std::string& text = "") {
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].value("event", "") == kind &&
            (text.empty() || all[i].value("text", "") == text)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Json versions(const std::string& package, const std::string& video, const std::string& control) {
    return {{"package", package}, {"video", video}, {"control", control}};
}

std::string folderOf(const DeviceFile& device) {
    return device.path().substr(0, device.path().rfind('/'));
}

TEST(ProgramOutput, HelpAndVersionAnswerWithoutUsb) {
    DeviceFile device(oldDevice());
    for (const char* option : {"--help", "-h", "-?"}) {
        Outcome run = runUpdater(device, {"-batch", option});
        EXPECT_EQ(run.result.exitCode, 0) << option;
        EXPECT_EQ(run.result.err, "") << option;
        ASSERT_FALSE(run.out.empty()) << option;
        EXPECT_EQ(run.out[0], "Usage: updater [options]");
        // One line for each option, saying what it does.
        for (const char* line :
             {"  -nomicro           leave the control firmware (microcontroller) alone",
              "  -nofpga            leave the video firmware (FPGA) alone",
              "  -calib             also recompute and write the calibration data",
              "  -noverify          skip the read-back verification of the control firmware",
              "  -log FILE          append the run's events to FILE (JSON lines with the time)"}) {
            EXPECT_TRUE(contains(run.out, line)) << line << "\n" << run.result.out;
        }
        EXPECT_EQ(starting(run.out, "Exit codes: 0 done; 1 with -batch").size(), 1u);
    }
    Outcome run = runUpdater(device, {"--version"});
    EXPECT_EQ(run.result.exitCode, 0);
    ASSERT_EQ(run.out.size(), 3u) << run.result.out;
    EXPECT_EQ(run.out[0], "updater 2.07 (Brevicor Update Utility)");
    EXPECT_EQ(run.out[1], "carried firmware: control 1.12, video 1.02");
    EXPECT_EQ(run.out[2].rfind("USB hosts: ", 0), 0u);
    EXPECT_NE(run.out[2].find("emulator"), std::string::npos);

    // Not a single request reached the device, and a USB driver that cannot be opened is not
    // even noticed.
    EXPECT_TRUE(device.trace().empty());
    ProcessOptions options;
    options.env["BVU_USB"] = "foo";
    EXPECT_EQ(runProcess({BVU_UPDATER_PATH, "--version"}, options).exitCode, 0);
}

TEST(ProgramOutput, ASessionThatCannotBeOpenedFailsABatchRun) {
    DeviceFile device(oldDevice());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-batch"}, {"-batch", "-dfu"}, {"-nomicro", "-batch"}}) {
        Outcome run = runUpdater(device, args, "", kTimeScale, {{"BVU_USB", "foo"}});
        EXPECT_EQ(run.result.exitCode, 1) << args[0];
        EXPECT_EQ(run.out, std::vector<std::string>{std::string("USB error: ") + kOpenFailed});
    }
    Outcome run = runUpdater(device, {}, "", kTimeScale, {{"BVU_USB", "foo"}});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.out, std::vector<std::string>{std::string("USB error: ") + kOpenFailed});
    EXPECT_EQ(device.snapshot().packageVersion, "2.05");
}

TEST(ProgramOutput, JsonRunGivesEveryEventInOrderAndTheResultTheDeviceHolds) {
    DeviceFile device(oldDevice());
    Outcome run = runUpdater(device, {"-batch", "-calib", "-json"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    const std::vector<Json> all = events(run.out);
    ASSERT_GE(all.size(), 10u) << run.result.out;

    // Inspection, the device as found, the steps with their progress, the device after, result.
    const int connecting = indexOf(all, "status", "Connecting to USB device.");
    const int before = indexOf(all, "device");
    const int control = indexOf(all, "status", "Updating Control Firmware");
    const int calibration = indexOf(all, "status", "Updating Calibration Data");
    const int video = indexOf(all, "status", "Updating Video Firmware");
    const int complete = indexOf(all, "status", "All updates complete.");
    EXPECT_EQ(connecting, 0);
    EXPECT_LT(connecting, before);
    EXPECT_LT(before, control);
    EXPECT_LT(control, calibration);
    EXPECT_LT(calibration, video);
    EXPECT_LT(video, complete);
    const std::vector<Json> devices = ofKind(all, "device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["when"], "before");
    EXPECT_EQ(devices[1]["when"], "after");
    EXPECT_EQ(all[all.size() - 2], devices[1]);
    EXPECT_LT(complete, static_cast<int>(all.size()) - 2);

    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(devices[0]["serial"], "3014-00" + after.serial);
    EXPECT_EQ(devices[0]["pcbRevision"], after.pcbRevision);
    EXPECT_EQ(devices[0]["videoStandard"], after.videoStandard);
    EXPECT_EQ(devices[0]["carried"], versions("2.07", "1.02", "1.12"));

    const Json& result = all.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["success"], true);
    EXPECT_EQ(result["before"], versions("2.05", "1.01", "1.09"));
    EXPECT_EQ(result["after"],
              versions(after.packageVersion, after.videoVersion, after.controlVersion));
    EXPECT_EQ(result["after"], versions("2.07", "1.02", "1.12"));
    EXPECT_GT(result["seconds"].get<double>(), 0.0);

    // Each step reports its progress under its name, whole percent from 0 to 100; status
    // events name their step, and the texts outside the steps none.
    for (const Json& p : ofKind(all, "progress")) {
        EXPECT_TRUE(p["step"] == "Updating Control Firmware" ||
                    p["step"] == "Updating Calibration Data" ||
                    p["step"] == "Updating Video Firmware")
            << p;
        EXPECT_TRUE(p["percent"].get<int>() >= 0 && p["percent"].get<int>() <= 100) << p;
    }
    EXPECT_EQ(
        all[indexOf(all, "status", "Updating Video Firmware: Downloading to device.")]["step"],
        "Updating Video Firmware");
    EXPECT_TRUE(all[complete]["step"].is_null());
    EXPECT_FALSE(ofKind(all, "progress").empty());
    EXPECT_TRUE(ofKind(all, "box").empty());
    EXPECT_TRUE(ofKind(all, "error").empty());
}

// With -json nobody is asked: the error box is answered by its default without being shown, and
// the error event carries what support needs, the request and the driver's status.
TEST(ProgramOutput, FailedJsonRunCarriesTheDriverStatus) {
    DeviceFile device(oldDevice());
    device.addFault(videoDownloadFault(FaultKind::Stall));
    Outcome run = runUpdater(device, {"-batch", "-nomicro", "-json"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_TRUE(starting(run.err, "box:").empty()) << joined(run.err);
    const std::vector<Json> all = events(run.out);
    const std::vector<Json> boxes = ofKind(all, "box");
    const std::vector<Json> errors = ofKind(all, "error");
    ASSERT_EQ(boxes.size(), 1u) << run.result.out;
    ASSERT_EQ(errors.size(), 1u) << run.result.out;
    EXPECT_EQ(boxes[0]["caption"], "Update Error");
    EXPECT_EQ(boxes[0]["answer"], "OK");
    EXPECT_EQ(errors[0]["message"], boxes[0]["text"]);
    EXPECT_EQ(errors[0]["kind"], "usb");
    EXPECT_EQ(errors[0]["detail"],
              "USB communication error: Could not send BVR_DNLOAD to device: HC status: PID stall");
    // The video firmware step failed: what the unit holds there now was not read back. What
    // the run left alone stands as inspected.
    const Json& result = all.back();
    EXPECT_EQ(result["success"], false);
    EXPECT_EQ(result["after"],
              (Json{{"package", "2.05"}, {"video", nullptr}, {"control", "1.09"}}));
    EXPECT_EQ(device.snapshot().videoVersion, "1.01");
}

TEST(ProgramOutput, HeadlessLinesNameTheDeviceTheStepAndTheErrorDetail) {
    DeviceFile device(oldDevice());
    device.addFault(videoDownloadFault(FaultKind::Stall));
    Outcome run = runUpdater(device, {"-batch", "-nomicro"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_TRUE(run.out.empty()) << run.result.out;
    const std::string found =
        "serial 3014-004711, PCB revision C2.1, NTSC, package 2.05, video firmware 1.01, control "
        "firmware 1.09 (carried: package 2.07, video 1.02, control 1.12)";
    const std::string left =
        "serial 3014-004711, PCB revision C2.1, NTSC, package 2.05, video firmware not read, "
        "control firmware 1.09 (carried: package 2.07, video 1.02, control 1.12)";
    EXPECT_TRUE(inOrder(run.err,
                        {"status: Ready to perform updates.", "device: before the update: " + found,
                         "status: Updating Video Firmware", "answer: Update Error: OK",
                         "detail: USB communication error: Could not send BVR_DNLOAD to device: "
                         "HC status: PID stall",
                         "device: after the update: " + left}))
        << joined(run.err);
    const std::vector<std::string> progress = starting(run.err, "progress: ");
    ASSERT_FALSE(progress.empty());
    for (const std::string& p : progress) {
        EXPECT_EQ(p.rfind("progress: Updating Video Firmware: ", 0), 0u) << p;
    }
}

TEST(ProgramOutput, LogGetsOneRecordPerRun) {
    DeviceFile device(currentDevice());
    const std::string log = folderOf(device) + "/support.log";
    Outcome first = runUpdater(device, {"-batch", "-nomicro", "-nofpga", "-log", log});
    EXPECT_EQ(first.result.exitCode, 0) << first.result.err;
    EXPECT_TRUE(first.out.empty()) << first.result.out;  // the log is no reason for JSON here
    device.unplug();
    Outcome second = runUpdater(device, {"-batch", "-log", log});
    EXPECT_EQ(second.result.exitCode, 1) << second.result.err;

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    std::remove(log.c_str());
    const std::vector<Json> all = events(lines);
    const std::regex timestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const Json& e : all) {
        ASSERT_TRUE(e.contains("time")) << e;
        EXPECT_TRUE(std::regex_match(e["time"].get<std::string>(), timestamp)) << e;
    }
    const std::vector<Json> results = ofKind(all, "result");
    ASSERT_EQ(results.size(), 2u) << joined(lines);
    EXPECT_EQ(results[0]["success"], true);
    EXPECT_EQ(results[1]["success"], false);
    EXPECT_TRUE(results[1]["before"].is_null());
    // Each record ends with its result; the second one's error is the device not found.
    const int firstEnd = indexOf(all, "result");
    EXPECT_EQ(all[firstEnd]["after"]["package"], "2.07");
    const std::vector<Json> errors = ofKind(all, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_GT(indexOf(all, "error"), firstEnd);
    EXPECT_EQ(errors[0]["detail"],
              "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired");
    EXPECT_EQ(all.back(), results[1]);
}

TEST(ProgramOutput, ALogThatCannotBeWrittenStopsTheRunBeforeTheDevice) {
    DeviceFile device(oldDevice());
    const std::string log = folderOf(device) + "/missing/support.log";
    Outcome run = runUpdater(device, {"-batch", "-log", log});
    EXPECT_EQ(run.result.exitCode, 1);
    EXPECT_EQ(run.out, std::vector<std::string>{"Fatal error: Could not open the log file '" + log +
                                                "' (No such file or directory)."});
    EXPECT_TRUE(device.trace().empty());
}

TEST(ProgramOutput, ASecondDeviceIsNamedAndTheFirstIsUpdated) {
    CreateOptions o = currentDevice();
    o.variant.twin = true;  // a second unit at port 2
    DeviceFile device(o);
    // A person at the dialog: the first unit, and the notice names the other.
    Outcome run = runUpdater(device, {"-nomicro", "-nofpga", "-json"},
                             "wait-status Ready to perform updates.\nclick 1001\n"
                             "wait-status All updates complete.\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(inOrder(
        run.err, {"status: Ready to perform updates.", std::string("status: ") + kSecondDevice,
                  "status: All updates complete."}))
        << joined(run.err);
    const std::vector<Json> all = events(run.out);
    const int notice = indexOf(all, "status", kSecondDevice);
    ASSERT_GE(notice, 0) << run.result.out;
    EXPECT_TRUE(all[notice]["step"].is_null());
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
    const auto trace = device.trace();
    EXPECT_TRUE(std::none_of(trace.begin(), trace.end(),
                             [](const emulator::TraceEntry& e) { return e.device != 0; }));

    // A device action names it on standard error.
    run = runUpdater(device, {"-pellinHDMI"});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.err, std::vector<std::string>{kSecondDevice});

    // A script that names no unit gets none of several, and is told how to name one.
    const size_t requests = device.trace().size();
    run = runUpdater(device, {"-batch", "-nomicro", "-nofpga", "-json"});
    EXPECT_EQ(run.result.exitCode, 1);
    const std::vector<Json> errors = ofKind(events(run.out), "error");
    ASSERT_EQ(errors.size(), 1u) << run.result.out;
    EXPECT_EQ(errors[0]["message"],
              "Several units are connected: 1-1 (run mode), 1-2 (run mode). Pick one with -device "
              "LOCATION or -serial NUMBER; -list shows the units connected.");
    EXPECT_EQ(device.trace().size(), requests);
}

// A reader of the lines that goes away early used to end the program with SIGPIPE at its next
// line, in the middle of the firmware download.
TEST(ProgramOutput, AReaderThatGoesAwayDoesNotStopTheUpdate) {
    DeviceFile device(oldDevice());
    ProcessOptions options;
    options.env["BVU_USB"] = device.usbSetting();
    options.env["BVU_TIME_SCALE"] = kTimeScale;
    options.timeoutMs = 120000;
    const ProcessResult run = runProcess(
        {"/bin/bash", "-c", "\"$0\" -batch -calib -json | head -1; exit ${PIPESTATUS[0]}",
         BVU_UPDATER_PATH},
        options);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"event\":\"status\",\"step\":null,\"text\":\"Connecting to USB device.\"}\n");
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.07");
    EXPECT_EQ(after.controlVersion, "1.12");
    EXPECT_EQ(after.videoVersion, "1.02");
}

// Device texts are the device's bytes; one that is not UTF-8 must not break the JSON lines.
TEST(ProgramOutput, DeviceTextsThatAreNotUtf8StillGiveJsonLines) {
    CreateOptions o = oldDevice();
    o.packageVersion =
        "2\xff"
        "5";
    DeviceFile device(o);
    Outcome run = runUpdater(device, {"-batch", "-nomicro", "-nofpga", "-json"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    const std::vector<Json> all = events(run.out);
    const std::vector<Json> devices = ofKind(all, "device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["package"],
              "2\xef\xbf\xbd"
              "5");  // U+FFFD for the stray byte
    EXPECT_EQ(ofKind(all, "result").size(), 1u);
}

}  // namespace
}  // namespace test
}  // namespace bvu
