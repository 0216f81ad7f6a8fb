// The emulator backend as the programs reach it: BVU_USB=emulator:PATH, through the driver
// access layer and the session, against the device model kept in a state file.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/emulated_session.h"

namespace bvu {
namespace test {
namespace {

namespace emu = emulator;

void setUsbBackend(const std::string& value) {
#ifdef _WIN32
    _putenv_s("BVU_USB", value.c_str());  // "" removes it
#else
    if (value.empty()) {
        unsetenv("BVU_USB");
    } else {
        setenv("BVU_USB", value.c_str(), 1);
    }
#endif
}

UDA_STATUS control(UDA_DEVICE_HANDLE device, const uint8_t setup[8], void* data = nullptr,
                   uint32_t size = 0, uint32_t timeoutMs = 5000, uint32_t* moved = nullptr) {
    uint32_t transferred = 0;
    UDA_STATUS s = UDA_PipeTransfer(device, 0, (setup[0] & 0x80) != 0, 0, data, size, &transferred,
                                    setup, timeoutMs);
    if (moved != nullptr)
        *moved = transferred;
    return s;
}

const uint8_t kEnterBootloader[8] = {0x20, 0x01, 0x04, 0x06, 0x00, 0x00, 0x00, 0x00};
const uint8_t kGetStatus[8] = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};
const uint8_t kGetDeviceDescriptor[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00};

TEST(ModelBackend, MissingStateFileFailsTheSubscriptionAndSaysWhichFile) {
    setUsbBackend("emulator:/missing/file");
    UDA_DRIVER_HANDLE driver = nullptr;
    testing::internal::CaptureStderr();
    UDA_STATUS s = UDA_Init(&driver, nullptr, 0, nullptr, 0);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, UDA_FAILED_TO_OPEN_DRIVER);
    EXPECT_EQ(driver, UDA_INVALID_DRIVER_HANDLE);
    EXPECT_EQ(said.rfind("Emulated USB device: ", 0), 0u) << said;
    EXPECT_NE(said.find("/missing/file"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;  // one line

    setUsbBackend("emulator:");
    testing::internal::CaptureStderr();
    EXPECT_EQ(UDA_Init(&driver, nullptr, 0, nullptr, 0), UDA_FAILED_TO_OPEN_DRIVER);
    said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no state file given"), std::string::npos) << said;

    setUsbBackend("emulator:/missing/file");
    testing::internal::CaptureStderr();
    EXPECT_EQ(SessionTest::errorOf([] { USBUtils session; }),
              "USB communication error: Could not initialise USB driver: Failed to open USB "
              "driver");
    testing::internal::GetCapturedStderr();
    setUsbBackend("");
}

class ModelBackendTest : public EmulatedDeviceTest {
  protected:
    // Not faster: every departure and arrival saves the whole device (about a megabyte of
    // flash), which takes most of a second under ThreadSanitizer, and the session's attach
    // wait must outlast it.
    double timeScale() const override { return 0.25; }

    void SetUp() override {
        EmulatedDeviceTest::SetUp();
        createDevice();  // the bus the backend's files share
        setUsbBackend("emulator:" + path);
    }
    void TearDown() override {
        setUsbBackend("");
        EmulatedDeviceTest::TearDown();
    }
};

TEST_F(ModelBackendTest, SessionFollowsTheDeviceIntoTheBootloaderAndBack) {
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();
    EXPECT_EQ(session.findPipe(run, 0x04).number, 0x04u);
    EXPECT_EQ(session.findPipe(run, 0x02).number, 0x02u);
    ASSERT_EQ(control(run, kEnterBootloader), 0u);

    UDA_DEVICE_HANDLE boot = session.waitForBootloader();
    ASSERT_NE(boot, nullptr);
    EXPECT_EQ(emu::inspect(*bus).guise, emu::Guise::Bootloader);
    // Start the application: its command block, then the zero-length DNLOAD that carries it out.
    uint8_t start[5] = {0x04, 0x03, 0x01, 0x00, 0x00};
    const uint8_t dnload[8] = {0x21, 0x01, 0x00, 0x00, 0x04, 0x00, sizeof start, 0x00};
    const uint8_t dnloadEnd[8] = {0x21, 0x01, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00};
    ASSERT_EQ(control(boot, dnload, start, sizeof start), 0u);
    ASSERT_EQ(control(boot, dnloadEnd), 0u);

    UDA_DEVICE_HANDLE again = session.waitForDevice();
    uint8_t descriptor[18] = {};
    uint32_t moved = 0;
    ASSERT_EQ(control(again, kGetDeviceDescriptor, descriptor, sizeof descriptor, 5000, &moved),
              0u);
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 0x3014);
    EXPECT_EQ(emu::inspect(*bus).guise, emu::Guise::Run);

    bool sawEnter = false;
    for (const emu::TraceEntry& e : emu::trace(*bus)) {
        sawEnter |= e.guise == emu::Guise::Run && std::memcmp(e.setup, kEnterBootloader, 8) == 0;
    }
    EXPECT_TRUE(sawEnter);
}

TEST_F(ModelBackendTest, SilenceTimesOutOnTheClockAndAnUnplugCutsItShort) {
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();
    emu::FaultRule silence;
    silence.kind = emu::FaultKind::Timeout;
    emu::addFault(*bus, silence);
    uint8_t status[2];
    auto start = clock::now();
    EXPECT_EQ(control(run, kGetStatus, status, sizeof status, 1000), UDA_TIMEOUT_EXPIRED);
    EXPECT_GE(clock::nominalMsBetween(start, clock::now()), 990.0);

    emu::addFault(*bus, silence);
    const uint64_t asked = emu::inspect(*bus).requests;
    std::thread puller([&] {
        // Once the request has reached the device (and met its silence).
        for (int i = 0; i < 4000 && emu::inspect(*bus).requests == asked; ++i) clock::sleepMs(10);
        bus->unplug();
    });
    start = clock::now();
    // A long time-out: the unplug (which saves the whole device first) must end it well before.
    EXPECT_EQ(control(run, kGetStatus, status, sizeof status, 60000), UDA_DEVICE_NOT_FOUND);
    puller.join();
    EXPECT_LT(clock::nominalMsBetween(start, clock::now()), 30000.0);
    for (int i = 0; i < 100 && session.isDevicePresent(); ++i) clock::sleepMs(100);
    EXPECT_FALSE(session.isDevicePresent());
    EXPECT_EQ(control(run, kGetStatus, status, sizeof status), UDA_DEVICE_NOT_FOUND);
}

}  // namespace
}  // namespace test
}  // namespace bvu
