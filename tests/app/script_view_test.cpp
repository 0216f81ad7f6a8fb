// The view for scripts, as a process: the lines and the JSON records come from what the run read
// and did (a unit that vanishes in the middle, a unit brought back from its bootloader, the
// run's own options and warnings), and the input script's notices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"
#include "updater_runs.h"

namespace bvu {
namespace test {
namespace {

const char* const kCarried = " (carried: package 2.07, video 1.02, control 1.12)";

// Pulled off the bus in the middle of the video download: the after record has what the run
// read back before (the control firmware) and says what it could not read.
TEST(ScriptView, AUnitThatVanishesIsRecordedAsFarAsItWasRead) {
    DeviceFile device(oldDevice());
    const FaultRule unplug = videoDownloadFault(FaultKind::Unplug);
    device.addFault(unplug);
    Outcome lines = runUpdater(device, {"-batch"});
    EXPECT_EQ(lines.result.exitCode, 1) << lines.result.err;
    EXPECT_TRUE(contains(lines.err,
                         std::string("device: after the update: serial 3014-004711, PCB revision "
                                     "C2.1, NTSC, package 2.05, video firmware not read, control "
                                     "firmware 1.12") +
                             kCarried))
        << joined(lines.err);

    DeviceFile again(oldDevice());
    again.addFault(unplug);
    Outcome json = runUpdater(again, {"-batch", "-json"});
    EXPECT_EQ(json.result.exitCode, 1);
    const std::vector<Json> devices = ofKind(events(json.out), "device");
    ASSERT_EQ(devices.size(), 2u) << json.result.out;
    EXPECT_EQ(devices[1]["control"], "1.12");
    EXPECT_TRUE(devices[1]["video"].is_null());
    EXPECT_EQ(ofKind(events(json.out), "result")[0]["after"],
              (Json{{"package", "2.05"}, {"video", nullptr}, {"control", "1.12"}}));
}

// Nothing but the bootloader answers at the inspection; once the control firmware runs again
// the unit's serial number and video firmware are read, and the after record carries them.
TEST(ScriptView, ARecoveredUnitCarriesTheSerialReadAfterItsRecovery) {
    CreateOptions o = oldDevice();
    o.bootloader = true;
    o.packageVersion = "";  // it never finished an update
    o.videoVersion = "1.02";
    DeviceFile device(o);
    Outcome run = runUpdater(device, {"-batch", "-nofpga", "-json"});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    const std::vector<Json> devices = ofKind(events(run.out), "device");
    ASSERT_EQ(devices.size(), 2u) << run.result.out;
    for (const char* field : {"serial", "pcbRevision", "videoStandard", "package", "video"}) {
        EXPECT_TRUE(devices[0][field].is_null()) << field;
    }
    EXPECT_EQ(devices[0]["control"], "none");
    EXPECT_EQ(devices[1]["serial"], "3014-004711");
    EXPECT_EQ(devices[1]["control"], "1.12");
    EXPECT_EQ(devices[1]["video"], "1.02");
    EXPECT_EQ(devices[1]["package"], "2.07");

    DeviceFile again(o);
    Outcome lines = runUpdater(again, {"-batch", "-nofpga"});
    EXPECT_EQ(lines.result.exitCode, 0);
    EXPECT_TRUE(inOrder(lines.err,
                        {std::string("device: before the update: serial not read, PCB revision "
                                     "not read, package not read, video firmware not read, "
                                     "control firmware none") +
                             kCarried,
                         std::string("device: after the update: serial 3014-004711, PCB revision "
                                     "not read, package 2.07, video firmware 1.02, control "
                                     "firmware 1.12") +
                             kCarried}))
        << joined(lines.err);
}

// Every record names the program's version, the command line and what the parser warned of:
// those of a run the user went on with, and the result of a batch run refused for them.
TEST(ScriptView, EveryRecordCarriesTheVersionTheOptionsAndTheWarnings) {
    DeviceFile device(currentDevice());
    Outcome run = runUpdater(device, {"-nomicro", "-nofpga", "-foo", "-json"},
                             "wait-status Ready to perform updates.\nclick 1001\n"
                             "wait-status All updates complete.\nwait-enabled 1000\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(contains(run.err, "Invalid command-line argument '-foo' ignored"));
    const Json options = Json::array({"-nomicro", "-nofpga", "-foo", "-json"});
    const Json warnings = Json::array({"Invalid command-line argument '-foo' ignored"});
    const std::vector<Json> all = events(run.out);
    EXPECT_EQ(all.at(0), (Json{{"event", "warning"}, {"text", warnings[0]}}));
    std::vector<Json> records = ofKind(all, "device");
    records.push_back(ofKind(all, "result").at(0));
    ASSERT_EQ(records.size(), 3u);
    for (const Json& r : records) {
        EXPECT_EQ(r["program"], "2.07") << r;
        EXPECT_EQ(r["options"], options) << r;
        EXPECT_EQ(r["warnings"], warnings) << r;
    }

    DeviceFile refused(currentDevice());
    run = runUpdater(refused, {"-batch", "-foo", "-json"});
    EXPECT_EQ(run.result.exitCode, 2);
    const Json result = ofKind(events(run.out), "result").at(0);
    EXPECT_EQ(result["options"], Json::array({"-batch", "-foo", "-json"}));
    EXPECT_EQ(result["warnings"], warnings);
    EXPECT_TRUE(result["before"].is_null());
}

// The script's notices: presses the dialog ignores, lines it cannot read, an answer that does
// not fit its box, and a wait that times out, which ends the script (the rest is not run) and
// so the dialog, once it is idle.
TEST(ScriptView, TheScriptSaysWhatItCouldNotDo) {
    DeviceFile device(oldDevice());
    device.unplug();  // the inspection takes its time, then fails: Update is never offered
    Outcome run = runUpdater(device, {},
                             "click 1001\nclick 9999\nclick 1005\nbogus\nanswer cancel\n"
                             "wait-status No updates possible due to errors.\ntimeout 0.5\n"
                             "wait-status Never\nclick 1002\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(starting(run.err, "script: "),
              (std::vector<std::string>{
                  "script: line 1: click 1001 ignored: the control is disabled",
                  "script: line 2: click 9999 ignored: there is no such control",
                  "script: line 3: click 1005 ignored: the control does not react to clicks",
                  "script: line 4: unknown command 'bogus'; line skipped",
                  "script: answer Cancel does not fit the box \"Error (Brevicor Update "
                  "Utility)\"; its default is used",
                  "script: line 8: the status \"Never\" did not come within 0.5 s",
                  "script: ended after a time-out",
                  "script: end of input; the dialog gets the Exit command"}))
        << joined(run.err);
    EXPECT_TRUE(contains(run.err, "answer: Error (Brevicor Update Utility): OK"));
    EXPECT_EQ(device.snapshot().videoStandard, "NTSC");  // line 9 never ran
}

// A question waits for the script while it reads; a press behind an owned box is refused.
TEST(ScriptView, AQuestionWaitsForTheScriptAndBlocksTheDialog) {
    CreateOptions o = currentDevice();
    o.packageVersion = "2.07";  // up to date: the question
    DeviceFile device(o);
    Outcome run = runUpdater(device, {"-nomicro", "-nofpga"},
                             "wait-status Connecting to USB device.\nwait-enabled 1002\n"
                             "click 1000\nanswer yes\nwait-enabled 1001\nclick 1001\n"
                             "wait-status All updates complete.\nwait-enabled 1000\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_TRUE(
        inOrder(run.err, {"status: Connecting to USB device.",
                          "script: line 3: click 1000 ignored: the dialog does not take "
                          "input now",
                          "answer: Confirm Update: Yes", "status: Ready to perform updates.",
                          "status: All updates complete.",
                          "script: end of input; the dialog gets the Exit command"}))
        << joined(run.err);
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
}

}  // namespace
}  // namespace test
}  // namespace bvu
