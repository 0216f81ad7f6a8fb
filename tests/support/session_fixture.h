// Tests that talk to a device through the USB session (usb/usbutils.h): the clock compressed
// while the test runs, the kernel-driver factory of the test's choosing, the session closed
// before what it uses goes, and the exact texts of the errors.
//
// Threads: the fixtures are used from the test's thread only.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/fake_driver.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {

class SessionTest : public ::testing::Test {
  public:
    // The message of the system's own error (a BVExBase) that f throws; "(nothing thrown)"
    // when f returns. Anything else that f throws fails the test where it is thrown.
    static std::string errorOf(const std::function<void()>& f);
    // The nominal milliseconds f takes on the clock.
    static double nominalMs(const std::function<void()>& f);

  protected:
    // How fast nominal time runs while the test does: 0.05 turns the 10 s attach wait into half
    // a second.
    virtual double timeScale() const = 0;

    void SetUp() override;
    // Closes the session, removes the driver factory and lets the clock run at its own pace.
    void TearDown() override;

    // Opens the session over the driver factory set now.
    USBUtils& openSession();

    std::unique_ptr<USBUtils> session;
};

// The notices a session gives (USBUtils::setNotice), as they come. Thread-safe; it must outlive
// the session's use of its hook.
class NoticeLog {
  public:
    USBUtils::Notice hook();
    std::vector<std::string> lines() const;
    // Waits (real time) until that line has come.
    bool waitFor(const std::string& line, int timeoutMs = 60000) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// The session over the fake bus: every driver file it opens is one of bus's.
class FakeBusTest : public SessionTest {
  protected:
    void SetUp() override;

    // The device's two guises as the fake bus describes them.
    static UDA_DeviceInfo runMode(uint8_t interfaceNumber = 0);
    static UDA_DeviceInfo bootloader();

    // Plugs the guises asked for, opens the session and waits until they have arrived.
    USBUtils& open(bool run, bool bootloader);

    std::shared_ptr<FakeBus> bus = FakeBus::create();
};

}  // namespace test
}  // namespace bvu
