// The main dialog's state table, in process: the updater's entry code runs the dialog on the
// test's thread against the emulated device, and a driver thread plays the person through the
// headless front end (clicks, Escape, the close box, the mouse, box answers) and reads what the
// dialog shows. Built and run under ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_state.h"
#include "app/messages.h"
#include "app/resources/resource.h"
#include "app/update_settings.h"
#include "app/updater_main.h"
#include "device_fixture.h"
#include "platform/clock.h"
#include "platform/window/headless_driver.h"
#include "tests/support/dialog_thread.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

namespace headless = window::headless;
using emulator::FaultKind;
using emulator::FaultRule;

// The compressed waits must still outlast what a loaded machine needs (the 10-second wait for
// the device to attach is 500 ms at 0.05); sanitizers slow everything down several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kTimeScale = 0.2;
#else
constexpr double kTimeScale = 0.05;
#endif
constexpr uint32_t kWaitMs = 600000;  // nominal; seconds at the tests' time scale
constexpr int kWaitCursor = 32514;

// Polls (real time) until the condition holds; false after about ten seconds.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

struct ButtonStates {
    bool update, exit, ntsc, pal;
    bool operator==(const ButtonStates& o) const {
        return update == o.update && exit == o.exit && ntsc == o.ntsc && pal == o.pal;
    }
};
std::ostream& operator<<(std::ostream& out, const ButtonStates& b) {
    return out << "{update " << b.update << ", exit " << b.exit << ", ntsc " << b.ntsc << ", pal "
               << b.pal << "}";
}
ButtonStates buttons() {
    return {headless::enabled(IDC_UPDATE), headless::enabled(IDC_EXIT), headless::enabled(IDC_NTSC),
            headless::enabled(IDC_PAL)};
}

class MainDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        clock::setTimeScaleForTests(kTimeScale);
        headless::useForTests();
        headless::setOutputForTests([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(linesMutex_);
            lines_.push_back(line);
        });
        updateSettings() = UpdateSettings();
        mainDialogState() = MainDialogState();
    }
    void TearDown() override {
        headless::holdBoxes(false);
        headless::setOutputForTests(nullptr);
        unsetenv("BVU_USB");
    }

    // Runs the updater on this thread while driver plays the person on another. Whatever the
    // driver leaves open is closed afterwards, so a failed expectation never hangs the suite.
    int run(const DeviceFile& device, const std::string& commandLine,
            const std::function<void()>& driver) {
        setenv("BVU_USB", device.usbSetting().c_str(), 1);
        std::thread person([&] {
            if (headless::waitForDialog(kWaitMs) != nullptr) {
                driver();
            } else {
                ADD_FAILURE() << "the dialog did not open";
            }
            // Whatever the driver left open is closed, so that a failure never hangs the suite.
            headless::holdBoxes(false);
            for (int i = 0; i < 100 && !finished_; ++i) {
                for (size_t n = headless::openBoxes().size(); n > 0; --n) {
                    headless::answerBox(0, 1000);
                }
                if (HWND open = headless::waitForDialog(0)) {
                    EndDialog(open, 0);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        const int code = runUpdater(GetModuleHandleA(nullptr), commandLine);
        {
            std::lock_guard<std::mutex> lock(linesMutex_);
            lines_.push_back(kReturned);
        }
        finished_ = true;
        person.join();
        return code;
    }

    // Where the entry code returned, among the output lines.
    static constexpr const char* kReturned = "(the entry code returned)";

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(linesMutex_);
        return lines_;
    }

  public:
    // Once the dialog has dealt with everything given to it so far, it is still open.
    static bool dialogStillOpen() {
        HWND dialog = headless::waitForDialog(0);
        return dialog != nullptr && dialogOpenOnceSettled(dialog);
    }

  protected:
    std::atomic<bool> finished_{false};

  private:
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

// Escape and the close box never end the dialog, whatever its state.
void expectCancelDoesNothing(MainDialog* test) {
    headless::escape();
    headless::close();
    EXPECT_TRUE(test->dialogStillOpen());
}

TEST_F(MainDialog, InspectingThenExitEndsTheDialogAtOnceButTheSessionWaitsForTheWorker) {
    DeviceFile device(oldDevice());
    device.unplug();  // the inspection waits for the device, then shows its box
    headless::holdBoxes(true);
    std::atomic<bool> dialogEnded{false};
    const int code = run(device, "", [&] {
        window::BoxView box;
        ASSERT_TRUE(headless::waitForBox(kWaitMs, &box));
        EXPECT_EQ(box.caption, "Error (Brevicor Update Utility)");
        EXPECT_EQ(box.owner, nullptr);  // the dialog stays usable meanwhile

        EXPECT_EQ(headless::caption(), "Brevicor Update Utility 2.07");
        EXPECT_EQ(headless::statusText(), "Connecting to USB device.");
        EXPECT_EQ(buttons(), (ButtonStates{false, true, false, false}));
        for (int id : {IDC_SERIAL, IDC_FIRMWARE_VERSION, IDC_VIDEO_CURRENT, IDC_VIDEO_UPDATE,
                       IDC_CONTROL_CURRENT, IDC_CONTROL_UPDATE, IDC_PCB_REVISION}) {
            EXPECT_EQ(headless::text(id), "") << id;
        }
        const headless::Progress bar = headless::progress(IDC_PROGRESS);
        EXPECT_EQ(bar.low, 0);
        EXPECT_EQ(bar.high, 100);
        EXPECT_EQ(bar.pos, 0);
        int resource = 0, cx = 0, cy = 0;
        ASSERT_TRUE(headless::iconInfo(headless::icon(ICON_BIG), &resource, &cx, &cy));
        EXPECT_EQ(resource, IDI_APP);
        EXPECT_EQ(cx, 32);
        ASSERT_TRUE(headless::iconInfo(headless::icon(ICON_SMALL), &resource, &cx, &cy));
        EXPECT_EQ(cx, 16);
        EXPECT_NE(headless::systemCursorId(headless::moveMouse(HTCLIENT)), kWaitCursor);
        expectCancelDoesNothing(this);

        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
        EXPECT_TRUE(headless::waitForDialogEnd(kWaitMs));
        dialogEnded = true;
        EXPECT_TRUE(headless::answerBox(IDOK, kWaitMs));
    });
    EXPECT_TRUE(dialogEnded);
    EXPECT_EQ(code, 0);
    // The worker held the session until its box was answered: the entry code went on only
    // after that, and it joined the worker (which nothing else would have cleared).
    EXPECT_FALSE(mainDialogState().currentWorker);
    const std::vector<std::string> out = lines();
    const auto at = [&out](const std::string& line) {
        return std::find(out.begin(), out.end(), line) - out.begin();
    };
    EXPECT_LT(at("answer: Error (Brevicor Update Utility): OK"), at(kReturned));
}

TEST_F(MainDialog, NoDeviceLeavesOnlyExit) {
    DeviceFile device(oldDevice());
    device.unplug();
    const int code = run(device, "", [&] {
        ASSERT_TRUE(headless::waitForStatus("No updates possible due to errors.", kWaitMs));
        EXPECT_EQ(buttons(), (ButtonStates{false, true, true, true}));
        expectCancelDoesNothing(this);
        // Neither a click on the disabled button nor a stray command starts an update.
        EXPECT_EQ(headless::click(IDC_UPDATE), window::Core::Click::Disabled);
        PostMessageA(headless::waitForDialog(0), WM_COMMAND, IDC_UPDATE, 0);
        EXPECT_TRUE(dialogStillOpen());  // the command has been handled
        EXPECT_EQ(headless::statusText(), "No updates possible due to errors.");
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
}

TEST_F(MainDialog, ReadyShowsTheDeviceAndTheCarriedVersions) {
    DeviceFile device(oldDevice());
    const int code = run(device, "", [&] {
        ASSERT_TRUE(headless::waitForStatus("Ready to perform updates.", kWaitMs));
        EXPECT_EQ(buttons(), (ButtonStates{true, true, true, true}));
        EXPECT_EQ(headless::text(IDC_SERIAL), "3014-004711");
        EXPECT_EQ(headless::text(IDC_PCB_REVISION), "C2.1");
        EXPECT_EQ(headless::text(IDC_FIRMWARE_VERSION), "2.05");
        EXPECT_EQ(headless::text(IDC_VIDEO_CURRENT), "1.01");
        EXPECT_EQ(headless::text(IDC_CONTROL_CURRENT), "1.09");
        EXPECT_EQ(headless::text(IDC_VIDEO_UPDATE), "1.02");
        EXPECT_EQ(headless::text(IDC_CONTROL_UPDATE), "1.12");
        EXPECT_EQ(headless::checkState(IDC_NTSC), BST_CHECKED);
        EXPECT_EQ(headless::checkState(IDC_PAL), BST_UNCHECKED);
        expectCancelDoesNothing(this);

        // The video standard buttons act on the device at once.
        EXPECT_EQ(headless::click(IDC_PAL), window::Core::Click::Done);
        EXPECT_EQ(device.snapshot().videoStandard, "PAL");
        EXPECT_EQ(headless::click(IDC_NTSC), window::Core::Click::Done);
        EXPECT_EQ(device.snapshot().videoStandard, "NTSC");
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(updateSettings().unit.control, "1.09");
    EXPECT_EQ(updateSettings().unit.package, "2.05");
    EXPECT_FALSE(updateSettings().unit.defaultsOwed);
    EXPECT_EQ(device.snapshot().packageVersion, "2.05");  // nothing was written
}

TEST_F(MainDialog, AnsweringNoLeavesNothingToDo) {
    emulator::CreateOptions o = oldDevice();
    o.packageVersion = "2.07";
    DeviceFile device(o);
    headless::queueAnswer(IDNO);
    const int code = run(device, "", [&] {
        ASSERT_TRUE(headless::waitForStatus("No updates to perform.", kWaitMs));
        EXPECT_EQ(buttons(), (ButtonStates{false, true, true, true}));
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(updateSettings().unit.control, "1.09");
    const std::vector<std::string> out = lines();
    EXPECT_NE(std::find(out.begin(), out.end(), "answer: Confirm Update: No"), out.end());
}

// The Updating state is held still by the worker's "Update Error" box, which it shows before
// its final message.
TEST_F(MainDialog, UpdatingLocksEverythingAndFinishedLeavesOnlyExitAndTheStandard) {
    DeviceFile device(oldDevice());
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.match = true;
    stall.matchBulk = true;
    stall.matchRequest = 0x04;
    device.addFault(stall);
    headless::holdBoxes(true);
    const int code = run(device, "-nomicro", [&] {
        ASSERT_TRUE(headless::waitForStatus("Ready to perform updates.", kWaitMs));
        const HCURSOR before = headless::moveMouse(HTCLIENT);
        EXPECT_EQ(headless::click(IDC_UPDATE), window::Core::Click::Done);

        window::BoxView box;
        ASSERT_TRUE(headless::waitForBox(kWaitMs, &box));
        EXPECT_EQ(box.caption, "Update Error");
        EXPECT_NE(box.owner, nullptr);
        EXPECT_EQ(headless::statusText(), "Update failed.");
        EXPECT_EQ(buttons(), (ButtonStates{false, false, false, false}));
        for (int hit : {HTCLIENT, HTCAPTION, HTERROR}) {
            EXPECT_EQ(headless::systemCursorId(headless::moveMouse(hit)), kWaitCursor) << hit;
        }
        // Commands that reach the dialog anyway are refused while the worker has the device.
        HWND dialog = headless::waitForDialog(0);
        PostMessageA(dialog, WM_COMMAND, IDC_PAL, 0);
        PostMessageA(dialog, WM_COMMAND, IDC_EXIT, 0);
        expectCancelDoesNothing(this);  // and the commands have been handled
        EXPECT_EQ(device.snapshot().videoStandard, "NTSC");

        EXPECT_TRUE(headless::answerBox(IDOK, kWaitMs));
        ASSERT_TRUE(eventually([] { return headless::enabled(IDC_EXIT); }));
        EXPECT_EQ(buttons(), (ButtonStates{false, true, true, true}));
        EXPECT_EQ(headless::statusText(), "Update failed.");
        EXPECT_EQ(headless::moveMouse(HTCLIENT), before);
        expectCancelDoesNothing(this);

        // Update is usable once per program run.
        PostMessageA(dialog, WM_COMMAND, IDC_UPDATE, 0);
        EXPECT_TRUE(dialogStillOpen());  // the command has been handled
        EXPECT_EQ(headless::statusText(), "Update failed.");
        EXPECT_FALSE(headless::enabled(IDC_UPDATE));
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(mainDialogState().updateSucceeded);
    EXPECT_EQ(device.snapshot().packageVersion, "2.05");
}

TEST_F(MainDialog, SuccessfulRunWritesAndShowsThePackageVersion) {
    DeviceFile device(currentDevice());
    const int code = run(device, "-nomicro -nofpga", [&] {
        ASSERT_TRUE(headless::waitForStatus("Ready to perform updates.", kWaitMs));
        EXPECT_EQ(headless::click(IDC_UPDATE), window::Core::Click::Done);
        ASSERT_TRUE(headless::waitForStatus("All updates complete.", kWaitMs));
        ASSERT_TRUE(eventually([] { return headless::enabled(IDC_EXIT); }));
        EXPECT_EQ(headless::text(IDC_FIRMWARE_VERSION), "2.07");
        EXPECT_EQ(buttons(), (ButtonStates{false, true, true, true}));
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
}

TEST_F(MainDialog, BatchModeRunsAndEndsByItself) {
    DeviceFile device(currentDevice());
    const int code = run(device, "-batch -nomicro -nofpga",
                         [] { EXPECT_TRUE(headless::waitForDialogEnd(kWaitMs)); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(device.snapshot().packageVersion, "2.07");
    const std::vector<std::string> out = lines();
    EXPECT_NE(std::find(out.begin(), out.end(), "status: All updates complete."), out.end());
}

// A device waiting in its bootloader with the start-up bit on the bootloader: the bootloader can
// tell nothing of what run mode shows, Update is offered without a question, and the run writes
// the control firmware and (a unit that never finished an update: no package version) the
// default values; then it reads the video firmware it could not read before.
TEST_F(MainDialog, AnIncompleteControlFirmwareIsOfferedForRewriting) {
    emulator::CreateOptions o = oldDevice();
    o.bootloader = true;
    o.packageVersion = "";
    o.videoVersion = "1.02";
    DeviceFile device(o);
    const int code = run(device, "-nofpga", [&] {
        ASSERT_TRUE(headless::waitForStatus(
            "The control firmware is incomplete. Press Update to write it again.", kWaitMs));
        // NTSC and PAL would need the run-mode device.
        EXPECT_EQ(buttons(), (ButtonStates{true, true, false, false}));
        for (int id : {IDC_SERIAL, IDC_PCB_REVISION, IDC_FIRMWARE_VERSION, IDC_VIDEO_CURRENT}) {
            EXPECT_EQ(headless::text(id), "") << id;
        }
        EXPECT_EQ(headless::text(IDC_CONTROL_CURRENT), "none");
        EXPECT_EQ(headless::text(IDC_VIDEO_UPDATE), "1.02");
        EXPECT_EQ(headless::text(IDC_CONTROL_UPDATE), "1.12");
        EXPECT_EQ(headless::checkState(IDC_NTSC), BST_UNCHECKED);
        EXPECT_EQ(headless::checkState(IDC_PAL), BST_UNCHECKED);
        expectCancelDoesNothing(this);

        EXPECT_EQ(headless::click(IDC_UPDATE), window::Core::Click::Done);
        ASSERT_TRUE(headless::waitForStatus("All updates complete.", kWaitMs));
        ASSERT_TRUE(eventually([] { return headless::enabled(IDC_EXIT); }));
        EXPECT_EQ(headless::text(IDC_CONTROL_CURRENT), "1.12");
        EXPECT_EQ(headless::text(IDC_VIDEO_CURRENT), "1.02");
        EXPECT_EQ(headless::text(IDC_FIRMWARE_VERSION), "2.07");
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    const std::vector<std::string> out = lines();
    EXPECT_EQ(std::count_if(out.begin(), out.end(),
                            [](const std::string& l) { return l.rfind("box: ", 0) == 0; }),
              0);
    const emulator::DeviceSnapshot after = device.snapshot();
    EXPECT_EQ(after.guise, emulator::Guise::Run);
    EXPECT_EQ(after.controlVersion, "1.12");
    EXPECT_TRUE(after.startupBit);
    EXPECT_EQ(after.packageVersion, "2.07");
    EXPECT_EQ(commandCount(device.trace(), 0x0E00), 1);  // the default values
}

// Its control firmware could not be written back: the device still waits in its bootloader,
// where the video standard cannot be set.
TEST_F(MainDialog, AFailedRewriteLeavesNtscAndPalDisabled) {
    emulator::CreateOptions o = oldDevice();
    o.bootloader = true;
    DeviceFile device(o);
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.guise = emulator::Guise::Bootloader;
    stall.after = 20;  // in the middle of the blocks
    device.addFault(stall);
    const int code = run(device, "", [&] {
        ASSERT_TRUE(headless::waitForStatus("The control firmware is incomplete.*", kWaitMs));
        EXPECT_EQ(headless::click(IDC_UPDATE), window::Core::Click::Done);
        ASSERT_TRUE(headless::waitForStatus("Update failed.", kWaitMs));
        ASSERT_TRUE(eventually([] { return headless::enabled(IDC_EXIT); }));
        EXPECT_EQ(buttons(), (ButtonStates{false, true, false, false}));
        EXPECT_EQ(headless::click(IDC_EXIT), window::Core::Click::Done);
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(device.snapshot().startupBit);
}

// A device error on the dialog's own thread ends the dialog and is reported at the top.
TEST_F(MainDialog, DeviceErrorOnTheGuiThreadEndsTheProgramWithItsReport) {
    DeviceFile device(oldDevice());
    testing::internal::CaptureStdout();
    const int code = run(device, "", [&] {
        ASSERT_TRUE(headless::waitForStatus("Ready to perform updates.", kWaitMs));
        FaultRule stall;
        stall.kind = FaultKind::Stall;
        device.addFault(stall);
        headless::click(IDC_PAL);
        EXPECT_TRUE(headless::waitForDialogEnd(kWaitMs));
    });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.rfind("USB error: USB communication error: ", 0), 0u) << out;
    const std::vector<std::string> shown = lines();
    EXPECT_NE(std::find(shown.begin(), shown.end(),
                        "box: Brevicor: Could not find the device using USB\\n(Check that the "
                        "device is properly connected)"),
              shown.end());
}

// Errors of any kind that reach the top are reported, never an abnormal end.
TEST_F(MainDialog, TopLevelReportCoversEveryKindOfError) {
    struct Case {
        std::exception_ptr error;
        std::string out;
        std::string box;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(BVError("Image record refused.")),
         "Fatal error: Image record refused.\n", "box: Brevicor: Image record refused."},
        {std::make_exception_ptr(std::bad_alloc()), "Fatal error: std::bad_alloc\n",
         "box: Brevicor: std::bad_alloc"},
        {std::make_exception_ptr(std::out_of_range("basic_string::substr")),
         "Fatal error: basic_string::substr\n", "box: Brevicor: basic_string::substr"},
        {std::make_exception_ptr(42), "Fatal error: Unknown error.\n",
         "box: Brevicor: Unknown error."},
        {std::make_exception_ptr(USBUtils::Error("Timeout expired")),
         "USB error: USB communication error: Timeout expired\n",
         "box: Brevicor: Could not find the device using USB\\n(Check that the device is "
         "properly connected)"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        reportTopLevelError(c.error);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        const std::vector<std::string> shown = lines();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown[shown.size() - 2], c.box);  // then its answer
    }
}

}  // namespace
}  // namespace test
}  // namespace bvu
