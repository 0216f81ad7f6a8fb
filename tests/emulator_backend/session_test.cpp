// The emulator backend under the real driver access layer and session, over a scripted bus: a
// device that stalls SET_INTERFACE. (The ordinary paths run against the device model in
// model_test.cpp.)
#include <memory>
#include <utility>
#include <vector>

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

// After a bulk stall the host clears the endpoint's halt on the bus (CLEAR_FEATURE), and only
// then sends the next transfer to it.
TEST_F(EmulatorSessionTest, ABulkStallIsClearedOnTheBusBeforeTheNextTransfer) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    bool stall = true;
    bus->onBulkOut([&](uint32_t, uint8_t, const uint8_t*, uint32_t length, uint32_t* taken) {
        *taken = stall ? 0 : length;
        return std::exchange(stall, false) ? Reply::Stall : Reply::Ack;
    });
    openSession();
    const uint8_t message[3] = {1, 2, 3};
    EXPECT_THROW(session->bulkWrite(message, sizeof message), USBUtils::Error);
    EXPECT_NO_THROW(session->bulkWrite(message, sizeof message));
    const std::vector<BusTransfer> seen = bus->transfers();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].bulk);
    EXPECT_EQ(seen[1].setup, (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_TRUE(seen[2].bulk);
}

}  // namespace
}  // namespace test
}  // namespace bvu
