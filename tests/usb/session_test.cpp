// The USB device session over the fake kernel driver: life cycle, slots, waits, pipes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "tests/support/session_fixture.h"
#include "usb/usbutils.h"

namespace {

using bvu::test::FakeBus;

class SessionTest : public bvu::test::FakeBusTest {
  protected:
    double timeScale() const override { return 0.01; }  // the 10 s attach wait takes 100 ms
};

TEST_F(SessionTest, OneSessionAtATimeAndInstanceOnlyWhileItLives) {
    EXPECT_THROW(USBUtils::instance(), USBUtils::NotInit);
    {
        USBUtils session;
        EXPECT_EQ(&USBUtils::instance(), &session);
        EXPECT_THROW(USBUtils second, USBUtils::AlreadyInstantiated);
        EXPECT_EQ(&USBUtils::instance(), &session);  // the first stays usable
        bus->plug(runMode());
        EXPECT_NE(session.waitForDevice(), nullptr);
        EXPECT_EQ(session.blockNumberForTests(), 0xFF);
    }
    EXPECT_THROW(USBUtils::instance(), USBUtils::NotInit);
    EXPECT_EQ(bus->openFiles(), 0);  // both subscriptions released
}

TEST_F(SessionTest, FailedConstructionLeavesNoSessionAndMayBeRetried) {
    bus->setOpenStatus(UDA_INTERNAL_SYSTEM_ERROR);
    EXPECT_EQ(errorOf([] { USBUtils session; }),
              "USB communication error: Could not initialise USB driver: Internal system error");
    EXPECT_THROW(USBUtils::instance(), USBUtils::NotInit);

    // Only the second subscription fails: its own text, and the first is released again. (The
    // first driver file is the look at the units on the bus, before the subscriptions.)
    bus->setOpenStatus(0);
    int opened = 0;
    auto inner = bus->factory();
    bvu::kd::setKernelDriverFactory([&](UDA_STATUS* status) {
        if (++opened == 3) {
            *status = UDA_INCORRECT_VERSION;
            return std::unique_ptr<bvu::kd::KernelDriver>();
        }
        return inner(status);
    });
    EXPECT_EQ(errorOf([] { USBUtils session; }),
              "USB communication error: Could not initialise bootloader USB driver: Incorrect USB "
              "driver version installed");
    EXPECT_EQ(bus->openFiles(), 0);
    bvu::kd::setKernelDriverFactory(bus->factory());
    USBUtils session;
    EXPECT_EQ(&USBUtils::instance(), &session);
}

TEST_F(SessionTest, NoDeviceMeansTimeoutAfterTheAttachWait) {
    USBUtils session;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf([&] { session.waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 95.0);    // 10 s at scale 0.01
    EXPECT_LT(ms, 5000.0);  // on the compressed clock, not the 10 s of real time
    EXPECT_EQ(errorOf([&] { session.waitForBootloader(); }),
              "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired");
}

TEST_F(SessionTest, ReadyDeviceDoesNotWaitAndPresenceFollowsEvents) {
    USBUtils session;
    EXPECT_FALSE(session.isDevicePresent());
    uint32_t id = bus->plug(runMode());
    UDA_DEVICE_HANDLE d = session.waitForDevice();
    EXPECT_TRUE(session.isDevicePresent());
    EXPECT_FALSE(session.isBootloaderPresent());
    // A request for a Ready device returns at once: with the clock at full scale, any wait for
    // an attach would take the whole 10 s.
    bvu::clock::setTimeScaleForTests(1.0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.waitForDevice(), d);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    bvu::clock::setTimeScaleForTests(0.01);

    bus->unplug(id);
    for (int i = 0; i < 200 && session.isDevicePresent(); ++i) Sleep(5);
    EXPECT_FALSE(session.isDevicePresent());
    EXPECT_EQ(errorOf([&] { session.waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
}

TEST_F(SessionTest, ReEnumerationMovesTheDeviceToTheBootloaderSlot) {
    USBUtils session;
    uint32_t run = bus->plug(runMode());
    session.waitForDevice();
    // The device leaves run mode and, a little later, arrives as its bootloader; the next DFU
    // request's wait absorbs the gap.
    std::thread replug([&] {
        bus->unplug(run);
        Sleep(30);
        bus->plug(bootloader());
    });
    UDA_DEVICE_HANDLE dfu = session.waitForBootloader();
    replug.join();
    EXPECT_NE(dfu, nullptr);
    EXPECT_TRUE(session.isBootloaderPresent());
    for (int i = 0; i < 200 && session.isDevicePresent(); ++i) Sleep(5);
    EXPECT_FALSE(session.isDevicePresent());
    // And back: the run slot takes the new run-mode device.
    bus->plug(runMode());
    EXPECT_NE(session.waitForDevice(), nullptr);
}

TEST_F(SessionTest, DevicesTheSlotCannotUseAreRefused) {
    USBUtils session;
    bus->plug(runMode(1));  // its first interface is not number 0
    ASSERT_TRUE(bus->waitForAcknowledgements(1));
    EXPECT_EQ(bus->acknowledgements()[0].options & 0x2, 0u);
    EXPECT_FALSE(session.isDevicePresent());

    bus->plug(runMode());  // accepted
    ASSERT_TRUE(bus->waitForAcknowledgements(2));
    EXPECT_EQ(bus->acknowledgements()[1].options & 0x2, 0x2u);
    bus->plug(runMode());  // a second matching device while the slot holds one
    ASSERT_TRUE(bus->waitForAcknowledgements(3));
    EXPECT_EQ(bus->acknowledgements()[2].options & 0x2, 0u);
    EXPECT_NE(session.waitForDevice(), nullptr);
}

TEST_F(SessionTest, FailedSetInterfaceRefusesTheDevice) {
    bus->onSetInterface([](uint32_t, uint32_t, uint32_t) { return UDA_RESOURCE_OVERLAP; });
    USBUtils session;
    bus->plug(runMode());
    ASSERT_TRUE(bus->waitForAcknowledgements(1));
    EXPECT_EQ(bus->acknowledgements()[0].options & 0x2, 0u);
    EXPECT_FALSE(session.isDevicePresent());
    EXPECT_EQ(errorOf([&] { session.waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
}

TEST_F(SessionTest, FindPipeLooksInTheActiveAlternateSetting) {
    USBUtils session;
    bus->plug(runMode());
    UDA_DEVICE_HANDLE d = session.waitForDevice();
    EXPECT_EQ(session.findPipe(d, 0x04).number, 0x04u);
    EXPECT_EQ(session.findPipe(d, 0x02).number, 0x02u);
    EXPECT_EQ(errorOf([&] { session.findPipe(d, 0x81); }),
              "USB communication error: Could not find USB pipe.");
    EXPECT_EQ(errorOf([&] { session.findPipe(nullptr, 0x02); }),
              "USB communication error: Could not get USB device info: Device not found");
}

TEST_F(SessionTest, CheckStatusComposesPrefixAndText) {
    EXPECT_NO_THROW(USBUtils::checkStatus(0, "Never: "));
    EXPECT_EQ(
        errorOf([] { USBUtils::checkStatus(0xC0000004, "Could not send BVR_CMD to device: "); }),
        "USB communication error: Could not send BVR_CMD to device: HC status: PID stall");
}

#ifdef _WIN32
// A program that registered no USB host finds no kernel driver without BVU_USB.
TEST(SessionWindows, NoBackendMeansDriverNotInstalled) {
    bvu::kd::setKernelDriverFactory({});
    _putenv("BVU_USB=");
    EXPECT_EQ(SessionTest::errorOf([] { USBUtils session; }),
              "USB communication error: Could not initialise USB driver: Internal system error");
}
#endif

}  // namespace
