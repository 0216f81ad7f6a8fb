// How long a request waits for its guise when a device of it is there but cannot be used yet
// (usb/attach_wait.h), and what the user is told meanwhile: over the fake bus, with the notes
// that a driver file would make written by the test itself. The notes are process-wide: each
// test removes what it noted.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/session_fixture.h"
#include "usb/attach_wait.h"
#include "usb/device_advice.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

using kd::Unusable;
using usb::DeviceGuise;

constexpr uint16_t kVendor = 0x03EB;
constexpr uint16_t kRun = 0x3014;
constexpr uint16_t kBoot = 0x2FFD;

class AttachWaitTest : public FakeBusTest {
  protected:
    // 10 s nominal are 10 ms, the 10-minute pause 0.6 s.
    double timeScale() const override { return 0.001; }

    void TearDown() override {
        FakeBusTest::TearDown();
        usb::forgetUnusableDevices();
        usb::noteDriverSign(kVendor, kBoot, usb::DriverSign::Unknown);
    }

    void note(uint16_t product, Unusable why, const std::string& driver = "") {
        usb::noteUnusableDevice(this, product, why, kVendor, product, driver);
    }

    static usb::UnusableNote noted(Unusable why, const std::string& driver = "") {
        usb::UnusableNote n;
        n.why = why;
        n.driver = driver;
        return n;
    }

    USBUtils& openWithNotices() {
        openSession().setNotice(notices.hook());
        return *session;
    }

    NoticeLog notices;
};

const char* const kRunTimeout =
    "USB communication error: Waiting for USB device to attach: Timeout expired";
const char* const kBootTimeout =
    "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired";

// Windows still setting up the driver: the wait goes on up to a minute, and says so once.
TEST_F(AttachWaitTest, ADriverBeingSetUpMakesTheWaitAMinute) {
    openWithNotices();
    note(kRun, Unusable::SettingUp);
    const clock::TimePoint start = clock::now();
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }), kRunTimeout);
    EXPECT_GE(clock::nominalMsBetween(start, clock::now()), usb::kDriverSetupWaitMs);
    EXPECT_EQ(notices.lines(), (std::vector<std::string>{usb::driverWaitNotice(
                                   DeviceGuise::Run, noted(Unusable::SettingUp), false)}));
}

// The inspection's first look, for either guise, grows alike.
TEST_F(AttachWaitTest, TheFirstLookForEitherGuiseGrowsAlike) {
    openWithNotices();
    note(kBoot, Unusable::SettingUp);
    const clock::TimePoint start = clock::now();
    EXPECT_EQ(errorOf([&] { session->startApplicationIfComplete(0); }), kBootTimeout);
    EXPECT_GE(clock::nominalMsBetween(start, clock::now()), usb::kDriverSetupWaitMs);
    EXPECT_EQ(notices.lines(), (std::vector<std::string>{usb::driverWaitNotice(
                                   DeviceGuise::Bootloader, noted(Unusable::SettingUp), false)}));
}

// Reasons that waiting cannot mend, or notes about the other guise, leave the 10-second wait
// alone; so does a bootloader without a driver when the program has not asked to pause (the
// mode switches, the recovery path).
TEST_F(AttachWaitTest, OtherReasonsAndOtherGuisesKeepTheTenSecondWait) {
    openWithNotices();
    note(kRun, Unusable::NoDriver);
    note(kRun, Unusable::OtherDriver, "libusbK");
    note(kBoot, Unusable::SettingUp);
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }), kRunTimeout);
    usb::forgetUnusableDevices();
    note(kBoot, Unusable::NoDriver);
    EXPECT_EQ(errorOf([&] { session->waitForBootloader(); }), kBootTimeout);
    EXPECT_TRUE(notices.lines().empty());
}

// Prepared for the bootloader on a PC that shows no driver for it: warned first; then, while the
// bootloader is there without a driver, the wait pauses and says what to bind, and goes on when
// the bootloader arrives usable.
TEST_F(AttachWaitTest, PreparedForTheBootloaderTheWaitPausesUntilItsDriverIsThere) {
    openWithNotices();
    session->prepareForBootloader();  // no host has looked: no warning
    EXPECT_TRUE(notices.lines().empty());
    usb::noteDriverSign(kVendor, kBoot, usb::DriverSign::None);
    session->prepareForBootloader();
    const std::string pause =
        usb::driverWaitNotice(DeviceGuise::Bootloader, noted(Unusable::NoDriver), true);
    auto waiting = std::async(std::launch::async, [&] { return session->waitForBootloader(); });
    note(kBoot, Unusable::NoDriver);
    ASSERT_TRUE(notices.waitFor(pause));
    // Well past the 10 s that the wait would have given up after.
    clock::sleepMs(2 * usb::kAttachWaitMs);
    bus->plug(bootloader());  // bound now: the core forgets the note as it opens the device
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_NE(waiting.get(), nullptr);
    EXPECT_EQ(notices.lines(),
              (std::vector<std::string>{usb::bootloaderDriverWarning(), pause,
                                        usb::driverReadyNotice(DeviceGuise::Bootloader)}));
}

// The user replaces the driver in the way with another one that cannot be used either: the new
// reason is told too. The pause is bounded: ten minutes after it began the wait gives up.
TEST_F(AttachWaitTest, ThePauseTellsEachNewReasonAndEndsAfterTenMinutes) {
    openWithNotices();
    session->prepareForBootloader();
    note(kBoot, Unusable::OtherDriver, "libusbK");
    const clock::TimePoint start = clock::now();
    auto waiting = std::async(std::launch::async,
                              [&] { return errorOf([&] { session->waitForBootloader(); }); });
    const std::string libusbK = usb::driverWaitNotice(
        DeviceGuise::Bootloader, noted(Unusable::OtherDriver, "libusbK"), true);
    ASSERT_TRUE(notices.waitFor(libusbK));
    usb::forgetUnusableDevices();
    note(kBoot, Unusable::OtherDriver, "libusb0");
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), kBootTimeout);
    EXPECT_GE(clock::nominalMsBetween(start, clock::now()), usb::kDriverPauseMs);
    EXPECT_EQ(notices.lines(),
              (std::vector<std::string>{
                  libusbK, usb::driverWaitNotice(DeviceGuise::Bootloader,
                                                 noted(Unusable::OtherDriver, "libusb0"), true)}));
}

// What the user reads: each reason once, the driver in the way named with the device's USB ID.
TEST_F(AttachWaitTest, TheAdviceNamesEachReasonOnceAndTheDriverInTheWay) {
    EXPECT_EQ(usb::unusableDeviceAdvice(), "");
    note(kBoot, Unusable::OtherDriver, "libusbK");
    usb::noteUnusableDevice(this, 99, Unusable::OtherDriver, kVendor, kBoot, "libusbK");
    EXPECT_EQ(usb::unusableDeviceAdvice(),
              "The device is connected, but Windows uses the driver libusbK for it (USB ID 03EB "
              "2FFD), which this program cannot use. Replace it with WinUSB: in Zadig, choose the "
              "device, then WinUSB, then Replace Driver (see INSTALL.txt); then unplug the "
              "device and plug it in again.");
    note(kRun, Unusable::NoDriver);
    const std::string advice = usb::unusableDeviceAdvice();
    EXPECT_EQ(advice.rfind("The device is connected, but Windows has no WinUSB driver", 0), 0u);
    EXPECT_NE(advice.find("the driver libusbK"), std::string::npos);
    EXPECT_EQ(usb::unusableDeviceOf(kVendor, kBoot).driver, "libusbK");
    EXPECT_EQ(usb::unusableDeviceOf(kVendor, 0x1234).why, Unusable::No);
    usb::forgetUnusableDevice(this, kBoot);
    usb::forgetUnusableDevice(this, 99);
    EXPECT_EQ(usb::unusableDeviceOf(kVendor, kBoot).why, Unusable::No);
}

}  // namespace
}  // namespace test
}  // namespace bvu
