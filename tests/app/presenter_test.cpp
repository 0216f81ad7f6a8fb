// The dialog's presenter in process, over the emulated device, with a recording view that plays
// the person: every state of the dialog, the one question with each answer, batch mode, the
// recovery of a unit found in its bootloader, each failure, the package version write, Ctrl-C,
// and what the run's record says (the support log's JSON lines). Built and run under
// AddressSanitizer and ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/dialog_presenter.h"
#include "app/run_report.h"
#include "device_fixture.h"
#include "platform/clock.h"
#include "recording_view.h"
#include "tests/support/temp_dir.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

using emulator::FaultKind;
using emulator::FaultRule;
using Json = nlohmann::json;
using Press = DialogPresenter::Press;

// The compressed waits must still outlast what a loaded machine needs (the 10-second wait for
// the device to attach is 500 ms at 0.05); sanitizers slow everything down several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kTimeScale = 0.2;
#else
constexpr double kTimeScale = 0.05;
#endif

const char* const kNotFound =
    "Could not find the device using USB\n(Check that the device is properly connected)";
const char* const kReplug =
    "\n\nThe update may not be complete. Please un-plug\nthe device, then re-connect it, and "
    "re-run\nthis update process";
const char* const kInconsistent =
    "\n\nThe device may be in an inconsistent state.\nPlease contact Brevicor support\n\nTo "
    "finish the update, unplug the device, plug it in again\nand run the update again.";
const char* const kPackageLeft =
    "All updates complete. The package version was left as it was: the device does not hold all "
    "the firmware of package 2.07.";
const char* const kUsbFailure =
    "The update failed due to a USB communication error.\nPlease check that all cables are "
    "properly connected.";

struct Buttons {
    bool update, exit, standard;
    bool operator==(const Buttons& o) const {
        return update == o.update && exit == o.exit && standard == o.standard;
    }
};
std::ostream& operator<<(std::ostream& out, const Buttons& b) {
    return out << "{update " << b.update << ", exit " << b.exit << ", standard " << b.standard
               << "}";
}
Buttons buttons(const DialogState& s) {
    return {s.updateEnabled, s.exitEnabled, s.standardEnabled};
}

class Presenter : public ::testing::Test {
  protected:
    void SetUp() override { clock::setTimeScaleForTests(kTimeScale); }
    void TearDown() override { unsetenv("BVU_USB"); }

    // One run of the dialog against device; the session, report and presenter live for it.
    // Returns what finish() threw, if anything.
    std::exception_ptr run(const DeviceFile& device, UpdateSettings settings,
                           std::vector<RecordingView::Step> steps = {}, bool json = false) {
        setenv("BVU_USB", device.usbSetting().c_str(), 1);
        std::exception_ptr thrown;
        {
            USBUtils session;
            RunReport::Options options;
            options.logFile = log_;
            options.options = {"-test"};
            RunReport report(options);
            {
                DialogPresenter presenter(settings, json, report, view());
                view().run(presenter, std::move(steps));
                try {
                    presenter.finish();
                } catch (...) {
                    thrown = std::current_exception();
                }
                succeeded = presenter.updateSucceeded();
            }
            report.finish(succeeded);
        }
        return thrown;
    }

    // The support log's records, in order.
    std::vector<Json> records() const {
        std::vector<Json> all;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            all.push_back(Json::parse(line));
        }
        return all;
    }
    std::vector<Json> records(const std::string& kind) const {
        std::vector<Json> some;
        for (const Json& r : records()) {
            if (r["event"] == kind)
                some.push_back(r);
        }
        return some;
    }

    RecordingView& view() { return *view_; }
    // A new view for another run in the same test.
    void freshView() { view_.reset(new RecordingView()); }
    bool succeeded = false;

  private:
    std::unique_ptr<RecordingView> view_{new RecordingView()};
    TempDir dir_;
    const std::string log_ = dir_.file("support.log");
};

UpdateSettings noFirmware() {
    UpdateSettings s;
    s.updateControlFirmware = false;
    s.updateVideoFirmware = false;
    return s;
}

TEST_F(Presenter, InspectingShowsOnlyExitAndExitEndsTheDialogAtOnce) {
    DeviceFile device(oldDevice());
    device.unplug();  // the inspection waits for the device
    run(device, UpdateSettings(),
        {{"exit during the inspection", [](const RecordingView& v) { return !v.states.empty(); },
          [](DialogPresenter& p, RecordingView& v) {
              const DialogState& s = p.state();
              EXPECT_EQ(s.caption, "Brevicor Update Utility 2.07");
              EXPECT_EQ(s.status, "Connecting to USB device.");
              EXPECT_EQ(buttons(s), (Buttons{false, true, false}));
              for (const std::string* text :
                   {&s.serial, &s.pcbRevision, &s.package, &s.videoCurrent, &s.videoUpdate,
                    &s.controlCurrent, &s.controlUpdate}) {
                  EXPECT_EQ(*text, "");
              }
              EXPECT_EQ(s.standard, VideoStandard::None);
              EXPECT_EQ(s.progress, 0);
              EXPECT_FALSE(s.busy);
              EXPECT_EQ(s.defaultButton, Button::Exit);
              EXPECT_FALSE(p.idle());  // the worker runs
              EXPECT_EQ(p.update(), Press::Disabled);
              EXPECT_EQ(p.ntsc(), Press::Disabled);
              EXPECT_EQ(p.cancel(), Press::Done);
              EXPECT_FALSE(p.ended());
              EXPECT_EQ(p.exit(), Press::Done);
              EXPECT_EQ(v.closes, 1);
              EXPECT_FALSE(v.closedByItself);
          }}});
    // The worker's outcome came after the end: no box, no error, no status.
    EXPECT_TRUE(view().boxes.empty());
    EXPECT_EQ(view().statuses(), std::vector<std::string>{"Connecting to USB device."});
    EXPECT_TRUE(records("error").empty());
    EXPECT_TRUE(records("device").empty());
}

TEST_F(Presenter, AFailedInspectionLeavesTheDialogUsableBehindItsBox) {
    DeviceFile device(oldDevice());
    device.unplug();
    view().holdBoxes = true;
    run(device, UpdateSettings(),
        {{"the error box", boxOpen("Error (Brevicor Update Utility)"),
          [](DialogPresenter& p, RecordingView&) {
              const Box& box = *p.state().box;
              EXPECT_EQ(box.text, kNotFound);
              EXPECT_EQ(box.kind, Box::Kind::Error);
              EXPECT_FALSE(box.modal);
              EXPECT_TRUE(p.state().takesInput());
              EXPECT_EQ(p.state().status, "Connecting to USB device.");
              EXPECT_EQ(buttons(p.state()), (Buttons{false, true, false}));
              EXPECT_TRUE(p.idle() == false);    // the box is open
              p.answer(box.id + 1, Answer::Ok);  // an answer to no open box changes nothing
              p.answer(box.id, Answer::Yes);     // nor one the box does not offer
              ASSERT_TRUE(p.state().box);
              p.answer(box.id, Answer::Ok);
          }},
         {"no updates possible", statusIs("No updates possible due to errors."),
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(buttons(p.state()), (Buttons{false, true, true}));
              EXPECT_TRUE(p.idle());
              EXPECT_EQ(p.update(), Press::Disabled);
              EXPECT_EQ(p.cancel(), Press::Done);
              EXPECT_FALSE(p.ended());
              EXPECT_EQ(p.exit(), Press::Done);
          }}});
    ASSERT_EQ(view().details.size(), 1u);
    EXPECT_EQ(view().details[0],
              "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired");
    const std::vector<Json> errors = records("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["kind"], "usb");
    EXPECT_EQ(errors[0]["message"], kNotFound);
    EXPECT_EQ(records("box")[0]["answer"], "OK");
}

// Exit behind the inspection's box ends the dialog at once; the box stays until answered, and
// its error still reaches the record.
TEST_F(Presenter, ExitBehindTheInspectionBoxEndsTheDialogAndTheBoxStays) {
    DeviceFile device(oldDevice());
    device.unplug();
    view().holdBoxes = true;
    run(device, UpdateSettings(),
        {{"exit behind the box", boxOpen("Error (Brevicor Update Utility)"),
          [](DialogPresenter& p, RecordingView&) { EXPECT_EQ(p.exit(), Press::Done); }},
         {"the box after the end", [](const RecordingView& v) { return v.closes == 1; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_TRUE(p.ended());
              ASSERT_TRUE(p.state().box);
              p.answer(p.state().box->id, Answer::Ok);
          }}});
    EXPECT_FALSE(view().sawStatus("No updates possible due to errors."));
    EXPECT_EQ(records("error").size(), 1u);
}

TEST_F(Presenter, ReadyShowsTheUnitAndTheCarriedVersionsAndSetsTheStandardAtOnce) {
    DeviceFile device(oldDevice());
    run(device, UpdateSettings(),
        {{"ready", statusIs("Ready to perform updates."),
          [&device](DialogPresenter& p, RecordingView& v) {
              const DialogState& s = p.state();
              EXPECT_EQ(buttons(s), (Buttons{true, true, true}));
              EXPECT_EQ(s.defaultButton, Button::Update);
              EXPECT_EQ(s.serial, "3014-004711");
              EXPECT_EQ(s.pcbRevision, "C2.1");
              EXPECT_EQ(s.package, "2.05");
              EXPECT_EQ(s.videoCurrent, "1.01");
              EXPECT_EQ(s.controlCurrent, "1.09");
              EXPECT_EQ(s.videoUpdate, "1.02");
              EXPECT_EQ(s.controlUpdate, "1.12");
              EXPECT_EQ(s.standard, VideoStandard::Ntsc);
              EXPECT_TRUE(p.idle());
              EXPECT_EQ(p.pal(), Press::Done);
              EXPECT_EQ(device.snapshot().videoStandard, "PAL");
              EXPECT_EQ(v.last().standard, VideoStandard::Pal);
              EXPECT_EQ(p.ntsc(), Press::Done);
              EXPECT_EQ(device.snapshot().videoStandard, "NTSC");
              EXPECT_EQ(p.cancel(), Press::Done);
              EXPECT_FALSE(p.ended());
              EXPECT_EQ(p.exit(), Press::Done);
          }}});
    EXPECT_TRUE(view().boxes.empty());
    EXPECT_EQ(device.snapshot().packageVersion, "2.05");  // nothing was written
    ASSERT_EQ(view().units.size(), 1u);
    EXPECT_FALSE(view().units[0].afterUpdate);
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["serial"], "3014-004711");
    EXPECT_EQ(devices[0]["videoStandard"], "NTSC");
    EXPECT_EQ(devices[0]["program"], "2.07");
    EXPECT_EQ(devices[0]["options"], Json::array({"-test"}));
    EXPECT_EQ(devices[0]["warnings"], Json::array());
}

struct QuestionCase {
    const char* package;
    const char* video;
    const char* control;
    const char* text;
};

class PresenterQuestion : public Presenter, public ::testing::WithParamInterface<QuestionCase> {};

// Yes offers the update and No leaves nothing to do; while the question is open the dialog
// takes no input.
TEST_P(PresenterQuestion, YesOffersTheUpdateNoLeavesNothingToDo) {
    const QuestionCase& q = GetParam();
    emulator::CreateOptions o = oldDevice();
    o.packageVersion = q.package;
    o.videoVersion = q.video;
    o.controlVersion = q.control;
    for (Answer answer : {Answer::Yes, Answer::No}) {
        DeviceFile device(o);
        freshView();
        view().holdBoxes = true;
        const std::string end =
            answer == Answer::Yes ? "Ready to perform updates." : "No updates to perform.";
        run(device, noFirmware(),
            {{"the question", boxOpen("Confirm Update"),
              [answer](DialogPresenter& p, RecordingView&) {
                  const Box box = *p.state().box;
                  EXPECT_EQ(box.kind, Box::Kind::Question);
                  EXPECT_TRUE(box.modal);
                  EXPECT_EQ(box.defaultAnswer(), Answer::No);
                  EXPECT_EQ(box.text, GetParam().text);
                  EXPECT_EQ(p.state().status, "Connecting to USB device.");
                  EXPECT_EQ(p.exit(), Press::Blocked);
                  EXPECT_EQ(p.pal(), Press::Blocked);
                  EXPECT_EQ(p.cancel(), Press::Blocked);
                  p.answer(box.id, answer);
              }},
             {"after the answer", statusIs(end),
              [answer](DialogPresenter& p, RecordingView&) {
                  EXPECT_EQ(buttons(p.state()), (Buttons{answer == Answer::Yes, true, true}));
                  if (answer == Answer::Yes) {
                      EXPECT_EQ(p.update(), Press::Done);
                  } else {
                      EXPECT_EQ(p.update(), Press::Disabled);
                      EXPECT_EQ(p.exit(), Press::Done);
                  }
              }},
             {"exit after the run", [](const RecordingView& v) { return v.last().exitEnabled; },
              [](DialogPresenter& p, RecordingView&) { p.exit(); }}});
        // The run wrote no firmware, and none of these units holds the package's: the package
        // version stays.
        EXPECT_EQ(device.snapshot().packageVersion, q.package);
        EXPECT_EQ(view().sawStatus(kPackageLeft), answer == Answer::Yes);
        EXPECT_EQ(records("box").back()["answer"], answerName(answer));
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, PresenterQuestion,
    ::testing::Values(
        QuestionCase{"2.07", "1.03", "1.99",
                     "The unit is already up-to-date.\nDo you wish to download the firmware "
                     "anyway?"},
        QuestionCase{"2.10", "1.01", "1.09",
                     "The unit contains a more recent version\nof the firmware. Do you wish to "
                     "perform a downgrade?"},
        QuestionCase{"2.05", "1.03", "1.09",
                     "The unit contains a more recent version\nof the video firmware. "
                     "Proceeding with the update\nwill downgrade this firmware. Do you wish to "
                     "update?"},
        QuestionCase{"2.05", "1.01", "1.13",
                     "The unit contains a more recent version\nof the control firmware. "
                     "Proceeding with the update\nwill downgrade this firmware. Do you wish to "
                     "update?"}));

// The Updating state is held still by the "Update Error" box, which opens before the run's end.
TEST_F(Presenter, UpdatingLocksEverythingAndAFailureLeavesOnlyExitAndTheStandard) {
    DeviceFile device(oldDevice());
    device.addFault(videoDownloadFault(FaultKind::Stall));
    view().holdBoxes = true;
    UpdateSettings settings;
    settings.updateControlFirmware = false;
    bool sawRunning = false;
    run(device, settings,
        {{"update", statusIs("Ready to perform updates."),
          [](DialogPresenter& p, RecordingView&) { EXPECT_EQ(p.update(), Press::Done); }},
         {"while it runs", [](const RecordingView& v) { return v.last().busy && !v.last().box; },
          [&](DialogPresenter& p, RecordingView&) {
              sawRunning = true;
              EXPECT_EQ(buttons(p.state()), (Buttons{false, false, false}));
              EXPECT_EQ(p.update(), Press::Disabled);
              EXPECT_EQ(p.exit(), Press::Disabled);
              EXPECT_EQ(p.pal(), Press::Disabled);
              EXPECT_FALSE(p.idle());
          }},
         {"the error box", boxOpen("Update Error"),
          [](DialogPresenter& p, RecordingView&) {
              const Box box = *p.state().box;
              EXPECT_TRUE(box.modal);
              EXPECT_EQ(box.text, std::string(kUsbFailure) + kReplug);
              EXPECT_EQ(p.state().status, "Update failed.");
              EXPECT_EQ(p.state().progress, 0);
              EXPECT_EQ(buttons(p.state()), (Buttons{false, false, false}));
              EXPECT_TRUE(p.state().busy);
              p.answer(box.id, Answer::Ok);
          }},
         {"failed", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(buttons(p.state()), (Buttons{false, true, true}));
              EXPECT_FALSE(p.state().busy);
              EXPECT_EQ(p.state().status, "Update failed.");
              EXPECT_EQ(p.state().defaultButton, Button::Exit);
              EXPECT_EQ(p.update(), Press::Disabled);  // once per run
              EXPECT_EQ(p.exit(), Press::Done);
          }}});
    EXPECT_TRUE(sawRunning);
    const DialogState* downloading =
        view().stateWith("Updating Video Firmware: Downloading to device.");
    ASSERT_NE(downloading, nullptr);
    EXPECT_TRUE(downloading->busy);
    EXPECT_EQ(buttons(*downloading), (Buttons{false, false, false}));
    EXPECT_EQ(downloading->progressStep, "Updating Video Firmware");
    EXPECT_FALSE(succeeded);
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.05");
    EXPECT_EQ(after.videoStandard, "NTSC");
    EXPECT_EQ(view().details,
              std::vector<std::string>{"USB communication error: Could not send "
                                       "BVR_DNLOAD to device: HC status: PID stall"});
    // What the failed step wrote was not read back: the record says so.
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]["when"], "after");
    EXPECT_TRUE(devices[1]["video"].is_null());
    EXPECT_EQ(devices[1]["control"], "1.09");
    EXPECT_EQ(devices[1]["package"], "2.05");
    EXPECT_EQ(devices[1]["serial"], "3014-004711");
}

TEST_F(Presenter, ASuccessfulRunWritesAndShowsThePackageVersionAndReportsWhatItRead) {
    DeviceFile device(oldDevice());
    UpdateSettings settings;
    settings.calibrationMode = 1;
    run(device, settings,
        {{"update", statusIs("Ready to perform updates."),
          [](DialogPresenter& p, RecordingView&) { p.update(); }},
         {"done", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              const DialogState& s = p.state();
              EXPECT_EQ(s.status, "All updates complete.");
              EXPECT_EQ(s.package, "2.07");
              EXPECT_EQ(s.controlCurrent, "1.12");
              EXPECT_EQ(s.videoCurrent, "1.02");
              EXPECT_EQ(s.progress, 0);
              EXPECT_EQ(buttons(s), (Buttons{false, true, true}));
              p.exit();
          }}});
    EXPECT_TRUE(succeeded);
    const std::vector<std::string> statuses = view().statuses();
    const std::vector<std::string> steps = {
        "Connecting to USB device.", "Ready to perform updates.",
        "Updating Control Firmware", "Updating Control Firmware: Programming default values.",
        "Updating Calibration Data", "Updating Video Firmware",
        "All updates complete."};
    size_t at = 0;
    for (const std::string& s : statuses) {
        if (at < steps.size() && s == steps[at])
            ++at;
    }
    EXPECT_EQ(at, steps.size()) << ::testing::PrintToString(statuses);
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 1);  // the default values, once
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.07");
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]["control"], after.controlVersion);
    EXPECT_EQ(devices[1]["video"], after.videoVersion);
    EXPECT_EQ(devices[1]["package"], after.packageVersion);
    const Json result = records("result").at(0);
    EXPECT_EQ(result["success"], true);
    EXPECT_EQ(result["after"], (Json{{"package", "2.07"}, {"video", "1.02"}, {"control", "1.12"}}));
    // The progress events name their step and never go back within one phase's report.
    for (const Json& p : records("progress")) {
        EXPECT_GE(p["percent"].get<int>(), 0);
        EXPECT_LE(p["percent"].get<int>(), 100);
    }
}

TEST_F(Presenter, BatchModeAsksNothingRunsAndEndsByItself) {
    emulator::CreateOptions o = currentDevice();
    o.packageVersion = "2.10";  // a downgrade, which a person would be asked about
    DeviceFile device(o);
    UpdateSettings settings = noFirmware();
    settings.batchMode = true;
    run(device, settings);
    EXPECT_TRUE(view().boxes.empty());
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(view().closes, 1);
    EXPECT_TRUE(view().closedByItself);
    EXPECT_EQ(view().statuses(),
              (std::vector<std::string>{"Connecting to USB device.", "Ready to perform updates.",
                                        "All updates complete."}));
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
}

TEST_F(Presenter, BatchModeEndsAfterAFailedInspection) {
    DeviceFile device(oldDevice());
    device.unplug();
    UpdateSettings settings;
    settings.batchMode = true;
    run(device, settings);
    ASSERT_EQ(view().boxes.size(), 1u);
    EXPECT_TRUE(view().closedByItself);
    EXPECT_EQ(view().last().status, "No updates possible due to errors.");
    EXPECT_FALSE(succeeded);
}

// A unit in its bootloader with the start-up bit on the bootloader: nothing of what run mode
// shows can be read, Update is offered without a question, the run writes the control firmware
// and (a unit that never finished an update: no package version) the default values, then reads
// the video firmware it could not read before; the record carries the serial number read once it
// runs again.
TEST_F(Presenter, AUnitFoundInItsBootloaderIsRecoveredAndRecordedWithItsSerial) {
    emulator::CreateOptions o = oldDevice();
    o.bootloader = true;
    o.packageVersion = "";
    o.videoVersion = "1.02";
    DeviceFile device(o);
    UpdateSettings settings;
    settings.updateVideoFirmware = false;
    settings.updateControlFirmware = false;  // -nomicro: the control firmware is written anyway
    run(device, settings,
        {{"incomplete",
          statusIs("The control firmware is incomplete. Press Update to write it again. It is "
                   "written also with -nomicro."),
          [](DialogPresenter& p, RecordingView&) {
              const DialogState& s = p.state();
              EXPECT_EQ(buttons(s), (Buttons{true, true, false}));
              EXPECT_EQ(s.controlCurrent, "none");
              EXPECT_EQ(s.serial, "");
              EXPECT_EQ(s.package, "");
              EXPECT_EQ(s.videoUpdate, "1.02");
              EXPECT_EQ(s.standard, VideoStandard::None);
              EXPECT_EQ(p.ntsc(), Press::Disabled);
              p.update();
          }},
         {"done", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(p.state().status, "All updates complete.");
              EXPECT_EQ(p.state().controlCurrent, "1.12");
              EXPECT_EQ(p.state().videoCurrent, "1.02");
              EXPECT_EQ(p.state().package, "2.07");
              EXPECT_TRUE(p.state().standardEnabled);
              p.exit();
          }}});
    EXPECT_TRUE(view().boxes.empty());
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.guise, emulator::Guise::Run);
    EXPECT_EQ(after.controlVersion, "1.12");
    EXPECT_EQ(after.packageVersion, "2.07");
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 1);
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_TRUE(devices[0]["serial"].is_null());
    EXPECT_EQ(devices[0]["control"], "none");
    EXPECT_EQ(devices[1]["serial"], "3014-004711");
    EXPECT_EQ(devices[1]["control"], "1.12");
    EXPECT_EQ(devices[1]["video"], "1.02");
    EXPECT_EQ(devices[1]["package"], "2.07");
}

// Its control firmware could not be written back: the unit still waits in its bootloader, where
// the video standard cannot be set; the box says the unit may be inconsistent.
TEST_F(Presenter, AFailedRecoveryLeavesNtscAndPalDisabled) {
    emulator::CreateOptions o = oldDevice();
    o.bootloader = true;
    DeviceFile device(o);
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.guise = emulator::Guise::Bootloader;
    stall.after = 20;  // in the middle of the blocks
    device.addFault(stall);
    run(device, UpdateSettings(),
        {{"incomplete",
          statusIs("The control firmware is incomplete. Press Update to write it again."),
          [](DialogPresenter& p, RecordingView&) { p.update(); }},
         {"failed", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(buttons(p.state()), (Buttons{false, true, false}));
              p.exit();
          }}});
    ASSERT_EQ(view().boxes.size(), 1u);
    EXPECT_EQ(view().boxes[0].text, std::string(kUsbFailure) + kInconsistent);
    EXPECT_FALSE(device.snapshot().startupBit);
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_TRUE(devices[1]["control"].is_null());
    EXPECT_TRUE(devices[1]["serial"].is_null());
}

// A unit that carries the owed-defaults mark (an update interrupted after its new control
// firmware ran): its package shows as incomplete, no question about the package version is asked,
// and the update finishes it. With -nomicro -nofpga the default values are a step of their own;
// the field then holds its package version again, which the run leaves as it was, since the
// unit's video firmware is not the package's.
TEST_F(Presenter, AMarkedUnitShowsItsPackageIncompleteAndTheUpdateFinishesIt) {
    emulator::CreateOptions o = currentDevice();
    o.videoVersion = "1.01";
    o.packageVersion = "~2.05";
    o.memory.emplace_back(0x40, std::vector<uint8_t>{0x11});  // a setting the defaults clear
    DeviceFile device(o);
    run(device, noFirmware(),
        {{"owed",
          statusIs("The last update did not program the default values. Press Update to "
                   "finish it."),
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(p.state().package, "incomplete");
              EXPECT_EQ(buttons(p.state()), (Buttons{true, true, true}));
              EXPECT_EQ(p.update(), Press::Done);
          }},
         {"done", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_EQ(p.state().status, kPackageLeft);
              EXPECT_EQ(p.state().package, "2.05");
              p.exit();
          }}});
    EXPECT_TRUE(view().boxes.empty());
    EXPECT_TRUE(succeeded);
    EXPECT_TRUE(view().sawStatus("Updating Default Values: Programming default values."));
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.packageVersion, "2.05");
    EXPECT_EQ(after.memory[0x40], 0);
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["package"], "incomplete");
    EXPECT_EQ(devices[1]["package"], "2.05");
    EXPECT_EQ(records("status").back()["text"], kPackageLeft);
}

// The control firmware version decides the run, so it must come whole: cut short at the
// inspection it ends the dialog with a USB error before anything is written; cut short when it
// is read back after the control firmware step, the step has no proof of what it wrote and the
// run fails with its box.
TEST_F(Presenter, AControlFirmwareVersionCutShortIsAnError) {
    for (uint32_t after : {0u, 1u}) {
        DeviceFile device(currentDevice());
        FaultRule cut;
        cut.kind = FaultKind::Short;
        cut.bytes = 2;  // "1." without its end
        cut.match = true;
        cut.matchType = 0xA0;
        cut.matchRequest = 3;
        cut.matchValue = true;
        cut.value = 0x0204;  // the control firmware version
        cut.after = after;
        device.addFault(cut);
        freshView();
        UpdateSettings settings;
        settings.batchMode = true;
        settings.updateVideoFirmware = false;
        const std::exception_ptr thrown = run(device, settings);
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(device.snapshot().packageVersion, "2.05");
        if (after == 0) {
            ASSERT_TRUE(thrown);
            EXPECT_EQ(describeError(thrown).kind, std::string("usb"));
            EXPECT_NE(
                describeError(thrown).detail.find("The control firmware version came incomplete."),
                std::string::npos)
                << describeError(thrown).detail;
            EXPECT_TRUE(view().boxes.empty());
            EXPECT_EQ(commandCount(device.trace(), 0x0E00), 0);
        } else {
            EXPECT_FALSE(thrown);
            ASSERT_EQ(view().boxes.size(), 1u);
            EXPECT_EQ(view().boxes[0].text,
                      std::string("The update failed due to an error\n(The device reports "
                                  "control firmware '1.' after 1.12 was written.)") +
                          kReplug);
        }
    }
}

TEST_F(Presenter, AUnitThatVanishesMidRunIsRecordedAsNotReadWhereTheRunLostIt) {
    DeviceFile device(oldDevice());
    device.addFault(videoDownloadFault(FaultKind::Unplug));
    UpdateSettings settings;
    settings.batchMode = true;
    run(device, settings);
    ASSERT_EQ(view().boxes.size(), 1u);
    EXPECT_EQ(view().boxes[0].caption, "Update Error");
    const std::vector<Json> devices = records("device");
    ASSERT_EQ(devices.size(), 2u);
    // The control firmware was read back after its step, before the unit went.
    EXPECT_EQ(devices[1]["control"], "1.12");
    EXPECT_TRUE(devices[1]["video"].is_null());
    EXPECT_EQ(devices[1]["package"], "2.05");
    EXPECT_EQ(records("result").at(0)["after"],
              (Json{{"package", "2.05"}, {"video", nullptr}, {"control", "1.12"}}));
}

TEST_F(Presenter, AFailureInTheControlFirmwareStepWarnsOfAnInconsistentUnit) {
    DeviceFile device(oldDevice());
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.guise = emulator::Guise::Bootloader;
    stall.after = 6;  // well into the block downloads
    device.addFault(stall);
    UpdateSettings settings;
    settings.batchMode = true;
    run(device, settings);
    ASSERT_EQ(view().boxes.size(), 1u);
    EXPECT_EQ(view().boxes[0].text, std::string(kUsbFailure) + kInconsistent);
    EXPECT_FALSE(view().sawStatus("Updating Video Firmware"));
}

// A device that took fewer bytes than it was sent: in the calibration step the run fails with
// its box; in the package version written after the steps, on the main thread, the dialog ends
// and the error goes to the entry code.
TEST_F(Presenter, AShortWriteFailsTheCalibrationStepAndThePackageVersionWrite) {
    for (bool calibration : {true, false}) {
        DeviceFile device(currentDevice());
        FaultRule rule;
        rule.kind = FaultKind::Short;
        rule.bytes = 1;
        rule.match = true;
        rule.matchType = 0x20;
        rule.matchRequest = 2;
        device.addFault(rule);
        freshView();
        UpdateSettings settings = noFirmware();
        settings.batchMode = true;
        settings.calibrationMode = calibration ? 1 : 0;
        const std::exception_ptr thrown = run(device, settings);
        EXPECT_FALSE(succeeded);
        EXPECT_NE(device.snapshot().packageVersion, "2.07");
        if (calibration) {
            EXPECT_FALSE(thrown);
            ASSERT_EQ(view().boxes.size(), 1u);
            EXPECT_EQ(view().boxes[0].text, std::string(kUsbFailure) + kReplug);
        } else {
            ASSERT_TRUE(thrown);
            EXPECT_TRUE(view().boxes.empty());
            EXPECT_EQ(describeError(thrown).detail,
                      "USB communication error: Could not send BVR_WRITE to device: Short write "
                      "(1 of 5 bytes)");
            EXPECT_EQ(view().last().status, "All updates complete.");
            EXPECT_TRUE(view().closedByItself);
        }
    }
}

TEST_F(Presenter, ADeviceErrorOfTheStandardButtonsEndsTheDialogWithTheError) {
    DeviceFile device(oldDevice());
    const std::exception_ptr thrown = run(device, UpdateSettings(),
                                          {{"pal", statusIs("Ready to perform updates."),
                                            [&device](DialogPresenter& p, RecordingView&) {
                                                FaultRule stall;
                                                stall.kind = FaultKind::Stall;
                                                device.addFault(stall);
                                                EXPECT_EQ(p.pal(), Press::Done);
                                                EXPECT_TRUE(p.ended());
                                            }}});
    ASSERT_TRUE(thrown);
    EXPECT_STREQ(describeError(thrown).kind, "usb");
    EXPECT_TRUE(view().closedByItself);
}

// Ctrl-C asks while the unit is being written: No lets the run go on, a second Ctrl-C stops at
// once. The question goes when the writing is over. Anywhere else Ctrl-C stops at once.
TEST_F(Presenter, CtrlCAsksWhileTheUnitIsWrittenAndStopsElsewhere) {
    DeviceFile device(currentDevice());
    UpdateSettings settings;
    settings.updateControlFirmware = false;
    view().holdBoxes = true;
    run(device, settings,
        {{"ready", statusIs("Ready to perform updates."),
          [](DialogPresenter& p, RecordingView& v) {
              p.interrupt();  // nothing is being written
              EXPECT_EQ(v.stops, 1);
              EXPECT_FALSE(p.state().box);
              p.update();
          }},
         {"ctrl-c during the video step",
          [](const RecordingView& v) {
              return v.last().busy && !v.last().box &&
                     v.last().progressStep == "Updating Video Firmware";
          },
          [](DialogPresenter& p, RecordingView& v) {
              p.interrupt();
              ASSERT_TRUE(p.state().box);
              EXPECT_EQ(p.state().box->kind, Box::Kind::Question);
              EXPECT_EQ(v.stops, 1);
              p.answer(p.state().box->id, Answer::No);  // go on
              p.interrupt();
              ASSERT_TRUE(p.state().box);
              p.interrupt();  // the second Ctrl-C
              EXPECT_EQ(v.stops, 2);
              // (The recording view does not stop the program: the run goes on.)
          }},
         {"done", [](const RecordingView& v) { return v.last().exitEnabled; },
          [](DialogPresenter& p, RecordingView&) {
              EXPECT_FALSE(p.state().box);  // the question went with the writing
              EXPECT_EQ(p.state().status, "All updates complete.");
              p.exit();
          }}});
    EXPECT_TRUE(succeeded);
}

// With -json nobody is asked: every box takes its default without being shown, and the record
// carries it; the lines for scripts are left to the JSON events.
TEST_F(Presenter, WithJsonNoBoxIsShownAndEachTakesItsDefault) {
    emulator::CreateOptions o = oldDevice();
    o.packageVersion = "2.07";  // the question: up to date
    DeviceFile device(o);
    run(device, UpdateSettings(),
        {{"exit", statusIs("No updates to perform."),
          [](DialogPresenter& p, RecordingView&) { p.exit(); }}},
        true);
    for (const DialogState& s : view().states) {
        EXPECT_FALSE(s.box);
    }
    EXPECT_TRUE(view().sawStatus("No updates to perform."));  // No, the default
    EXPECT_TRUE(view().units.empty());
    const std::vector<Json> boxes = records("box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Confirm Update");
    EXPECT_EQ(boxes[0]["answer"], "No");
}

}  // namespace
}  // namespace test
}  // namespace bvu
