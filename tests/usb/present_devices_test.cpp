// Devices already on the bus when the program starts: the driver core marks the end of its first
// look, the layer waits until the attach callbacks before that mark have returned, and the
// session's mode switches see a device whose first reports are slow to arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"
#include "tests/support/fake_driver.h"
#include "usb/uda.h"
#include "usb/usbutils.h"

namespace {

namespace kd = bvu::kd;
using bvu::test::FakeBus;

constexpr uint16_t kVendor = 0x03EB;
constexpr uint16_t kRunMode = 0x3014;
constexpr uint16_t kBootloader = 0x2FFD;

// Holds back whoever passes it until the test opens it.
class Gate {
  public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

UDA_DeviceInfo runMode() {
    return FakeBus::makeInfo(kVendor, kRunMode);
}
UDA_DeviceInfo bootloader() {
    return FakeBus::makeInfo(kVendor, kBootloader, 0, {});
}

class PresentDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        bvu::clock::setTimeScaleForTests(0.01);  // a request's 10 s wait for its device: 100 ms
        kd::setKernelDriverFactory(bus->factory());
    }
    void TearDown() override {
        kd::setKernelDriverFactory({});
        bvu::clock::setTimeScaleForTests(1.0);
    }

    std::shared_ptr<FakeBus> bus = FakeBus::create();
};

// ---- The driver core ----------------------------------------------------------------------

TEST_F(PresentDevices, TheFirstLookEndsBehindTheDevicesPresentAndAheadOfLaterArrivals) {
    const uint32_t first = bus->plug(runMode());
    const uint32_t second = bus->plug(runMode());
    const uint32_t gone = bus->plug(runMode());
    bus->plug(bootloader());  // not wanted by this registration

    auto openFile = [&] {
        UDA_STATUS status = 0;
        std::unique_ptr<kd::KernelDriver> file = bus->factory()(&status);
        EXPECT_EQ(status, 0u);
        return file;
    };
    auto registration = [](uint32_t code) {
        kd::EventRecord r;
        r.code = code;
        r.busType = 0xFFFFFFFE;
        r.options = kd::kOptionAcknowledge;
        r.matchTables = {UDA_MatchTable{kVendor, kRunMode, 0, 0, 0, 0, 0, 0}};
        return r;
    };
    auto pull = [](kd::KernelDriver& file, const kd::EventRecord& r) {
        kd::EventRecord event;
        event.handle = r.handle;
        EXPECT_EQ(file.pullEvent(event), 0u);
        return event;
    };

    std::unique_ptr<kd::KernelDriver> file = openFile();
    kd::EventRecord asked = registration(kd::kEventAttach | kd::kEventEnumerated);
    ASSERT_EQ(file->registerEvents(asked), 0u);
    const uint32_t later = bus->plug(runMode());
    bus->unplug(gone);  // left before the program heard of it: it holds nothing up

    kd::EventRecord e = pull(*file, asked);
    EXPECT_EQ(e.code, kd::kEventAttach);
    EXPECT_EQ(e.uniqueId, first);
    EXPECT_EQ(pull(*file, asked).uniqueId, second);
    e = pull(*file, asked);
    EXPECT_EQ(e.code, kd::kEventEnumerated);
    EXPECT_EQ(e.uniqueId, 0u);
    EXPECT_EQ(e.options & kd::kOptionAcknowledge, 0u);  // about no device: not acknowledged
    e = pull(*file, asked);
    EXPECT_EQ(e.code, kd::kEventAttach);
    EXPECT_EQ(e.uniqueId, later);
    EXPECT_EQ(pull(*file, asked).code, 0u);

    // A registration that does not ask for the mark gets none.
    std::unique_ptr<kd::KernelDriver> plain = openFile();
    kd::EventRecord notAsked = registration(kd::kEventAttach);
    ASSERT_EQ(plain->registerEvents(notAsked), 0u);
    for (uint32_t id : {first, second, later}) EXPECT_EQ(pull(*plain, notAsked).uniqueId, id);
    EXPECT_EQ(pull(*plain, notAsked).code, 0u);
}

// ---- The driver access layer --------------------------------------------------------------

struct SlowReports {
    Gate gate;
    std::atomic<int> attaches{0};
};

uint32_t slowAttach(UDA_DEVICE_HANDLE, UDA_DeviceInfo*, void* user) {
    auto* reports = static_cast<SlowReports*>(user);
    reports->gate.pass();
    reports->attaches++;
    return 1;
}

TEST_F(PresentDevices, TheLayerWaitsUntilTheirAttachCallbacksHaveReturned) {
    bvu::clock::setTimeScaleForTests(1.0);
    bus->plug(runMode());
    bus->plug(runMode());
    SlowReports reports;
    UDA_MatchTable match{kVendor, kRunMode, 0, 0, 0, 0, 0, 0};
    UDA_EventTable events{slowAttach, nullptr, nullptr, &reports};
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(UDA_Init(&h, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE), 0u);

    EXPECT_EQ(UDA_WaitForPresentDevices(h, 50), UDA_TIMEOUT_EXPIRED);  // callbacks held back
    reports.gate.open();
    EXPECT_EQ(UDA_WaitForPresentDevices(h, INFINITE), 0u);
    EXPECT_EQ(reports.attaches.load(), 2);
    EXPECT_EQ(UDA_WaitForPresentDevices(h, 0), 0u);  // and stays so
    UDA_Release(h);

    // Nothing on the bus, or nothing subscribed: nothing to wait for.
    bus = FakeBus::create();
    kd::setKernelDriverFactory(bus->factory());
    ASSERT_EQ(UDA_Init(&h, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE), 0u);
    EXPECT_EQ(UDA_WaitForPresentDevices(h, INFINITE), 0u);
    UDA_Release(h);
    ASSERT_EQ(UDA_Init(&h, &match, 1, nullptr, 0), 0u);
    EXPECT_EQ(UDA_WaitForPresentDevices(h, 0), 0u);
    UDA_Release(h);

    EXPECT_EQ(UDA_WaitForPresentDevices(nullptr, 0), UDA_INVALID_HANDLE);
    EXPECT_EQ(UDA_WaitForPresentDevices(UDA_INVALID_DRIVER_HANDLE, 0), UDA_INVALID_HANDLE);
}

// ---- The session --------------------------------------------------------------------------

// The session selects the interface in its attach callback: each report of a device then takes
// 2 s on the clock.
void reportSlowly(FakeBus& bus) {
    bus.onSetInterface([](uint32_t, uint32_t, uint32_t) {
        bvu::clock::sleepMs(2000);
        return UDA_STATUS(0);
    });
}

// Reports far slower than any short pause before a look would allow: the mode switches still
// find the guise that is on the bus, and the twin has been refused by the time they answer.
TEST_F(PresentDevices, ModeSwitchesSeeADeviceWhoseReportsAreSlow) {
    reportSlowly(*bus);

    bus->plug(runMode());
    bus->plug(runMode());  // a twin, refused
    {
        USBUtils session;
        EXPECT_NO_THROW(session.startApplication(0));  // the application runs: nothing to do
        EXPECT_EQ(bus->transferCount(), 0u);
        EXPECT_EQ(session.refusedDevices(), 1u);  // heard of by the time the switch asked
    }

    bus = FakeBus::create();
    kd::setKernelDriverFactory(bus->factory());
    reportSlowly(*bus);
    bus->plug(bootloader());
    USBUtils session;
    EXPECT_NO_THROW(session.enterDfuMode());  // in its bootloader already: nothing to send
    EXPECT_EQ(bus->transferCount(), 0u);
    EXPECT_TRUE(session.isBootloaderPresent());
}

TEST_F(PresentDevices, AReportThatNeverEndsHoldsTheFirstQuestionOnlyAsLongAsARequestWaits) {
    Gate gate;
    bus->onSetInterface([&gate](uint32_t, uint32_t, uint32_t) {
        gate.pass();
        return UDA_STATUS(0);
    });
    bus->plug(runMode());
    USBUtils session;
    EXPECT_FALSE(session.isDevicePresent());  // after 10 s on the clock
    gate.open();
    EXPECT_NE(session.waitForDevice(), nullptr);  // the report lands as an arrival would
}

}  // namespace
