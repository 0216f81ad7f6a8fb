// The emulator backend under the real driver access layer and session, over a scripted bus:
// attach at subscription, a re-enumeration into the bootloader and back, an unplug in the middle
// of a transfer, a device that refuses its interface.
#include <atomic>
#include <cstring>
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

// BVR_CMD 6,4: the device's request to enter its bootloader.
const uint8_t kEnterBootloader[8] = {0x20, 0x01, 0x04, 0x06, 0x00, 0x00, 0x00, 0x00};
// DFU_DNLOAD of zero length: the bootloader carries out its pending start-application command.
const uint8_t kDfuZeroLengthDownload[8] = {0x21, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
constexpr uint32_t kReEnumerationMs = 1500;

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

    // Both guises behave as the device does on its mode-switch requests.
    void scriptModeSwitches() {
        bus->onControl([this](uint32_t busId, const uint8_t* setup, uint8_t*, uint32_t*) {
            lastBusId = busId;
            if (std::memcmp(setup, kEnterBootloader, 8) == 0) {
                bus->leave(busId);
                bus->arriveLater(kReEnumerationMs, kBootloaderProductId, bootloaderDescriptors());
            } else if (std::memcmp(setup, kDfuZeroLengthDownload, 8) == 0) {
                bus->leave(busId);
                bus->arriveLater(kReEnumerationMs, kRunModeProductId, runModeDescriptors());
            }
            return Reply::Ack;
        });
    }

    static UDA_STATUS send(UDA_DEVICE_HANDLE device, const uint8_t setup[8]) {
        uint32_t transferred = 0;
        return UDA_PipeTransfer(device, 0, 0, 0, nullptr, 0, &transferred, setup, 5000);
    }

    // Polls until the condition holds (the layer's event threads run on their own time).
    template <typename F>
    static bool eventually(F condition) {
        for (int i = 0; i < 500 && !condition(); ++i) clock::sleepMs(500);
        return condition();
    }

    std::shared_ptr<ScriptedBus> bus;
    std::atomic<uint32_t> lastBusId{0};
};

TEST_F(EmulatorSessionTest, ReEnumeratesFromRunModeToTheBootloaderAndBack) {
    const uint32_t first = bus->arrive(kRunModeProductId, runModeDescriptors());
    scriptModeSwitches();
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();  // present before the session: attached
    ASSERT_NE(run, nullptr);
    EXPECT_TRUE(session.isDevicePresent());
    EXPECT_EQ(session.findPipe(run, 0x04).number, 0x04u);
    EXPECT_EQ(session.findPipe(run, 0x02).type, static_cast<uint32_t>(UDA_PIPE_BULK));

    ASSERT_EQ(send(run, kEnterBootloader), 0u);
    UDA_DEVICE_HANDLE boot = session.waitForBootloader();
    ASSERT_NE(boot, nullptr);
    EXPECT_TRUE(session.isBootloaderPresent());
    EXPECT_TRUE(eventually([&] { return !session.isDevicePresent(); }));
    EXPECT_THROW(session.findPipe(boot, 0x04), USBUtils::Error);  // DFU has no bulk pipes

    ASSERT_EQ(send(boot, kDfuZeroLengthDownload), 0u);
    UDA_DEVICE_HANDLE again = session.waitForDevice();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(eventually([&] { return !session.isBootloaderPresent(); }));
    ASSERT_EQ(send(again, kEnterBootloader), 0u);
    EXPECT_NE(lastBusId.load(), first);  // the new arrival, not the one that left
}

TEST_F(EmulatorSessionTest, UnplugDuringATransferIsDeviceNotFound) {
    const uint32_t id = bus->arrive(kRunModeProductId, runModeDescriptors());
    bus->onControl([](uint32_t, const uint8_t*, uint8_t*, uint32_t*) { return Reply::NoAnswer; });
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();
    bus->leaveLater(100, id);
    uint8_t status[2];
    uint32_t transferred = 7;
    const uint8_t getStatus[8] = {0x80, 0x00, 0, 0, 0, 0, 2, 0};
    // A long time-out at 1/50 of the time: the departure, not the time-out, ends the transfer.
    UDA_STATUS s = UDA_PipeTransfer(run, 0, 1, 0, status, 2, &transferred, getStatus, 200000);
    EXPECT_EQ(s, UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(eventually([&] { return !session.isDevicePresent(); }));
    EXPECT_EQ(send(run, getStatus), UDA_DEVICE_NOT_FOUND);
}

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
