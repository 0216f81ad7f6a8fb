// bvu-emulator serve: a separate libusb program sees the emulated device, drives it through a
// re-enumeration and back, and the device's state is saved afterwards.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "emulator/emulator.h"
#include "emulator/umockdev/serve.h"
#include "platform/clock.h"
#include "tests/libusb/umockdev_env.h"
#include "tests/support/temp_dir.h"

namespace bvu {
namespace test {
namespace {

using emulator::Guise;

class ServeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BVU_REQUIRE_UMOCKDEV();
        // The model's delays in this process; the probe keeps its own real-time limits.
        clock::setTimeScaleForTests(0.2);
        std::string error;
        ASSERT_TRUE(emulator::createDevice(state, emulator::CreateOptions{}, &error)) << error;
    }

    void TearDown() override { clock::setTimeScaleForTests(1.0); }

    TempDir dir;
    const std::string state = dir.file("device.json");
};

TEST_F(ServeTest, AThirdPartyProgramDrivesTheDeviceThroughAModeSwitchAndBack) {
    EXPECT_EQ(emulator::runServe({state, "--", BVU_LIBUSB_PROBE, "reenumerate"}), 0);

    emulator::DeviceSnapshot after;
    std::string error;
    ASSERT_TRUE(emulator::inspect(state, &after, &error)) << error;
    EXPECT_EQ(after.guise, Guise::Run);
    std::vector<emulator::TraceEntry> entries;
    ASSERT_TRUE(emulator::trace(state, &entries, &error)) << error;
    int dfu = 0;
    for (const emulator::TraceEntry& e : entries) {
        if (e.guise == Guise::Bootloader && e.kind == emulator::TraceKind::Control)
            ++dfu;
    }
    EXPECT_EQ(dfu, 3);  // GETSTATUS, the start command, the zero-length DNLOAD
}

// Several state files at once, each unit at its own port, one behind a hub: a libusb program
// reads the port chains as on a PC. Two units at one port are not served.
TEST_F(ServeTest, SeveralUnitsAreServedEachWhereItIsPlugged) {
    emulator::CreateOptions behindHub;
    behindHub.port = "4.2";
    behindHub.bootloader = true;
    const std::string second = dir.file("second.json");
    std::string error;
    ASSERT_TRUE(emulator::createDevice(second, behindHub, &error)) << error;
    const std::string listed = dir.file("listed.txt");
    ASSERT_EQ(emulator::runServe({state, second, "--", "sh", "-c",
                                  std::string("\"$0\" list > \"$1\""), BVU_LIBUSB_PROBE, listed}),
              0);
    std::ifstream in(listed);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("03eb:3014 1 "), std::string::npos) << text;
    EXPECT_NE(text.find(" 1-1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("03eb:2ffd 1 "), std::string::npos) << text;
    EXPECT_NE(text.find(" 1-4.2\n"), std::string::npos) << text;

    const std::string clash = dir.file("clash.json");
    ASSERT_TRUE(emulator::createDevice(clash, emulator::CreateOptions{}, &error)) << error;
    EXPECT_EQ(emulator::runServe({state, clash, "--", "true"}), 125);
    EXPECT_EQ(emulator::runServe({state, second, "--"}), 2);
}

TEST_F(ServeTest, ReturnsTheCommandsExitStatusAndItsOwnFailures) {
    EXPECT_EQ(emulator::runServe({state, "--", BVU_LIBUSB_PROBE, "list"}), 0);
    EXPECT_EQ(emulator::runServe({state, "--", "sh", "-c", "test -d \"$UMOCKDEV_DIR\"; exit 3"}),
              3);
    EXPECT_EQ(emulator::runServe({state, "--", "sh", "-c", "kill -TERM $$"}), 128 + 15);
    EXPECT_EQ(emulator::runServe({state, "--", "/nonexistent/program"}), 127);
    EXPECT_EQ(emulator::runServe({dir.file("missing.json"), "--", "true"}), 125);
    EXPECT_EQ(emulator::runServe({state, "true"}), 2);
    EXPECT_EQ(emulator::runServe({state, "--"}), 2);
}

}  // namespace
}  // namespace test
}  // namespace bvu
