// The emulator backend under the real driver access layer and session, over a scripted bus: a
// device that stalls SET_INTERFACE. (The ordinary paths run against the device model in
// model_test.cpp.)
#include <memory>

#include <gtest/gtest.h>

#include "emulator/backend.h"
#include "tests/support/scripted_bus.h"
#include "tests/support/session_fixture.h"
#include "tests/support/usb_descriptors.h"

namespace bvu {
namespace test {
namespace {

using emulator::Reply;

class EmulatorSessionTest : public SessionTest {
  protected:
    double timeScale() const override { return 0.02; }

    void SetUp() override {
        SessionTest::SetUp();
        std::weak_ptr<ScriptedBus> weak = bus;
        kd::setKernelDriverFactory([weak](UDA_STATUS* status) {
            *status = 0;
            return emulator::makeEmulatorDriver(weak.lock());
        });
    }

    std::shared_ptr<ScriptedBus> bus = std::make_shared<ScriptedBus>();
};

TEST_F(EmulatorSessionTest, DeviceThatStallsSetInterfaceIsNotTaken) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    bus->onSetInterface([](uint32_t, uint8_t, uint8_t) { return Reply::Stall; });
    openSession();
    // The slot turns the device away, so the wait runs into its time-out.
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_FALSE(session->isDevicePresent());
}

}  // namespace
}  // namespace test
}  // namespace bvu
