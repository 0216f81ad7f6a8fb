// The device session over the libusb backend, against the emulated device model served through
// umockdev: the whole path a real device would take on Linux, re-enumeration included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/umockdev/adapter.h"
#include "platform/clock.h"
#include "tests/libusb/umockdev_env.h"
#include "tests/support/emulated_session.h"
#include "usb/backend_libusb.h"
#include "usb/kernel_driver.h"

namespace bvu {
namespace test {
namespace {

using emulator::Guise;

class UmockdevSessionTest : public EmulatedDeviceTest {
  protected:
    // The attach wait (10 s) becomes 1 s, a re-enumeration 150 ms.
    double timeScale() const override { return 0.1; }

    void SetUp() override {
        BVU_REQUIRE_UMOCKDEV();
        EmulatedDeviceTest::SetUp();
        kd::setKernelDriverFactory(&kd::openLibusbDriver);
    }

    void start(const emulator::CreateOptions& options = {}) {
        ASSERT_NO_FATAL_FAILURE(createDevice(options));
        std::string error;
        adapter = emulator::UmockdevAdapter::start(bus, &error);
        ASSERT_TRUE(adapter) << error;
    }

    void TearDown() override {
        session.reset();
        adapter.reset();
        EmulatedDeviceTest::TearDown();
    }

    static UDA_STATUS control(UDA_DEVICE_HANDLE device, const SetupPacket& setup,
                              void* data = nullptr, uint32_t* transferred = nullptr) {
        return UDA_PipeTransfer(device, 0, setup.requestType() >> 7, 0, data, setup.length(),
                                transferred, setup.bytes, 5000);
    }

    std::unique_ptr<emulator::UmockdevAdapter> adapter;
};

const SetupPacket kGetStatus(0x80, 0, 0, 0, 2);
const SetupPacket kEnterBootloader(0x20, 1, 6, 4, 0, 0, 0);
// The host's DFU requests name interface 4 (the bootloader has only interface 0).
const SetupPacket kDfuGetStatus(0xA1, 3, 0, 4, 6);
const SetupPacket kDfuStartApplication(0x21, 1, 0, 4, 5);
const SetupPacket kDfuZeroLengthDownload(0x21, 1, 0, 4, 0);

TEST_F(UmockdevSessionTest, RunModeToTheBootloaderAndBack) {
    start();
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();
    EXPECT_EQ(session.findPipe(run, 0x04).number, 0x04u);
    EXPECT_EQ(session.findPipe(run, 0x02).type, uint32_t(UDA_PIPE_BULK));
    uint8_t descriptor[18] = {};
    uint32_t n = 0;
    ASSERT_EQ(control(run, SetupPacket(0x80, 6, 0x0100, 0, 18), descriptor, &n), 0u);
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(descriptor[13], 2);  // release 2

    UDA_DeviceInfo* info = nullptr;
    ASSERT_EQ(UDA_GetDeviceInfo(run, &info), 0u);
    EXPECT_EQ(info->location, "1-1");  // bus 1, port 1, as sysfs names it
    UDA_FreeDeviceInfo(info);
    EXPECT_EQ(session.unitLocation(), "1-1");

    ASSERT_EQ(control(run, kEnterBootloader), 0u);
    UDA_DEVICE_HANDLE boot = session.waitForBootloader();
    // The bootloader arrives at the unit's place, under another address.
    ASSERT_EQ(UDA_GetDeviceInfo(boot, &info), 0u);
    EXPECT_EQ(info->location, "1-1");
    UDA_FreeDeviceInfo(info);
    EXPECT_TRUE(eventually([&] { return !session.isDevicePresent(); }));
    EXPECT_EQ(control(run, kGetStatus, descriptor), UDA_DEVICE_NOT_FOUND);

    uint8_t status[6] = {};
    ASSERT_EQ(control(boot, kDfuGetStatus, status, &n), 0u);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(status[0], 0);  // OK
    EXPECT_EQ(status[4], 2);  // dfuIDLE
    uint8_t start[5] = {0x04, 0x03, 0x01, 0x00, 0x00};
    ASSERT_EQ(control(boot, kDfuStartApplication, start), 0u);
    ASSERT_EQ(control(boot, kDfuZeroLengthDownload), 0u);

    UDA_DEVICE_HANDLE again =
        session.waitForDevice();  // (its handle may reuse the old one's memory)
    uint8_t reply[2] = {};
    EXPECT_EQ(control(again, kGetStatus, reply), 0u);
    EXPECT_TRUE(emulator::waitForGuise(*bus, Guise::Run, 1000));

    // The bootloader saw its requests addressed to the interface that was claimed.
    int dfuRequests = 0;
    for (const emulator::TraceEntry& e : emulator::trace(*bus)) {
        if (e.guise != Guise::Bootloader || e.kind != emulator::TraceKind::Control)
            continue;
        ++dfuRequests;
        EXPECT_EQ(e.setup[4], 0) << emulator::formatTraceEntry(e);
    }
    EXPECT_EQ(dfuRequests, 3);
}

TEST_F(UmockdevSessionTest, TheDevicesFaultsReachTheHostAsDriverStatuses) {
    start();
    USBUtils session;
    UDA_DEVICE_HANDLE run = session.waitForDevice();
    uint8_t reply[2] = {};
    emulator::FaultRule rule;
    rule.kind = emulator::FaultKind::Stall;
    emulator::addFault(*bus, rule);
    EXPECT_EQ(control(run, kGetStatus, reply), UDA_HC_STALL_PID);

    rule.kind = emulator::FaultKind::Timeout;  // 5000 ms nominal: 500 ms here
    emulator::addFault(*bus, rule);
    EXPECT_EQ(control(run, kGetStatus, reply), UDA_TIMEOUT_EXPIRED);
    EXPECT_EQ(control(run, kGetStatus, reply), 0u);  // the timed-out request is gone for good

    rule.kind = emulator::FaultKind::Unplug;
    emulator::addFault(*bus, rule);
    EXPECT_EQ(control(run, kGetStatus, reply), UDA_DEVICE_NOT_FOUND);
    EXPECT_TRUE(eventually([&] { return !session.isDevicePresent(); }));
    EXPECT_EQ(control(run, kGetStatus, reply), UDA_DEVICE_NOT_FOUND);
    try {
        session.waitForDevice();
        FAIL() << "a device attached";
    } catch (const USBUtils::Error& e) {
        EXPECT_STREQ(e.what(),
                     "USB communication error: Waiting for USB device to attach: Timeout expired");
    }

    bus->plug();
    EXPECT_NE(session.waitForDevice(), nullptr);
}

// A bulk endpoint that stalled stays halted on the device: the next transfer on it goes out
// once the host has cleared the halt (libusb_clear_halt, through usbfs).
TEST_F(UmockdevSessionTest, ABulkStallIsClearedBeforeTheNextTransferOnThatEndpoint) {
    start();
    USBUtils session;
    session.waitForDevice();
    emulator::addFault(*bus, bulkStall(0x02));
    const uint8_t message[3] = {0x11, 0x22, 0x33};
    EXPECT_THROW(session.bulkWrite(message, sizeof message), USBUtils::Error);
    emulator::clearTrace(*bus);
    EXPECT_NO_THROW(session.bulkWrite(message, sizeof message));
    std::vector<std::string> seen;
    for (const emulator::TraceEntry& e : emulator::trace(*bus))
        seen.push_back(emulator::formatTraceEntry(e));
    ASSERT_EQ(seen.size(), 2u);
    const emulator::TraceEntry clear = emulator::trace(*bus).front();
    EXPECT_EQ(std::vector<uint8_t>(clear.setup, clear.setup + 8),
              (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}))
        << seen[0];
    EXPECT_EQ(emulator::trace(*bus).back().reply, emulator::Reply::Ack) << seen[1];
}

}  // namespace
}  // namespace test
}  // namespace bvu
