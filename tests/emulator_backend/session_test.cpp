// The emulator backend under the real driver access layer and session, over a scripted bus: a
// device that stalls SET_INTERFACE. (The ordinary paths run against the device model in
// model_test.cpp.)
#include <memory>

#include <gtest/gtest.h>

#include "emulator/backend.h"
#include "platform/clock.h"
#include "tests/emulator_backend/descriptor_builder.h"
#include "tests/emulator_backend/scripted_bus.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

using emulator::Reply;

class EmulatorSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock::setTimeScaleForTests(0.02);
        bus = std::make_shared<ScriptedBus>();
        std::weak_ptr<ScriptedBus> weak = bus;
        kd::setKernelDriverFactory([weak](UDA_STATUS* status) {
            *status = 0;
            return emulator::makeEmulatorDriver(weak.lock());
        });
    }
    void TearDown() override {
        kd::setKernelDriverFactory({});
        clock::setTimeScaleForTests(1.0);
    }

    std::shared_ptr<ScriptedBus> bus;
};

TEST_F(EmulatorSessionTest, DeviceThatStallsSetInterfaceIsNotTaken) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    bus->onSetInterface([](uint32_t, uint8_t, uint8_t) { return Reply::Stall; });
    USBUtils session;
    // The slot turns the device away, so the wait runs into its time-out.
    try {
        session.waitForDevice();
        FAIL() << "attached";
    } catch (const USBUtils::Error& e) {
        EXPECT_STREQ(e.what(),
                     "USB communication error: Waiting for USB device to attach: Timeout expired");
    }
    EXPECT_FALSE(session.isDevicePresent());
}

}  // namespace
}  // namespace test
}  // namespace bvu
