// The libusb backend through the driver access layer (UDA_*), against scripted devices served
// by the umockdev adapter: events, the information tree, transfers and their statuses, and
// requests racing a detach.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/umockdev/adapter.h"
#include "platform/clock.h"
#include "tests/libusb/umockdev_env.h"
#include "tests/support/scripted_bus.h"
#include "tests/support/usb_descriptors.h"
#include "usb/backend_libusb.h"
#include "usb/kernel_driver.h"
#include "usb/uda.h"

namespace bvu {
namespace test {
namespace {

using emulator::Reply;

// What one subscription's callbacks saw. The attach callback selects interface `iface` (unless
// negative) and takes the device when `take` says so.
struct Subscription {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<UDA_DEVICE_HANDLE> attached;
    std::vector<UDA_DeviceInfo> infos;
    std::vector<UDA_STATUS> setInterfaceStatus;
    int detached = 0;
    int iface = 0;
    bool take = true;
    UDA_DRIVER_HANDLE driver = nullptr;

    static uint32_t onAttach(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info, void* user) {
        auto* s = static_cast<Subscription*>(user);
        UDA_STATUS status = s->iface >= 0 ? UDA_SetInterface(device, uint32_t(s->iface), 0) : 0;
        std::lock_guard<std::mutex> lock(s->mutex);
        s->attached.push_back(device);
        s->infos.push_back(*info);
        s->setInterfaceStatus.push_back(status);
        s->changed.notify_all();
        return s->take ? 1 : 0;
    }

    static void onDetach(UDA_DEVICE_HANDLE, void* user) {
        auto* s = static_cast<Subscription*>(user);
        std::lock_guard<std::mutex> lock(s->mutex);
        ++s->detached;
        s->changed.notify_all();
    }

    UDA_STATUS open(uint16_t product) {
        UDA_MatchTable match{kVendorId, product, 0, 0, 0, 0, 0, 0};
        UDA_EventTable events{onAttach, onDetach, nullptr, this};
        return UDA_Init(&driver, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE);
    }

    bool waitFor(size_t attaches, int detaches = 0, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return attached.size() >= attaches && detached >= detaches;
        });
    }

    UDA_DEVICE_HANDLE device(size_t n = 0) {
        std::lock_guard<std::mutex> lock(mutex);
        return n < attached.size() ? attached[n] : nullptr;
    }

    ~Subscription() {
        if (driver != nullptr)
            UDA_Release(driver);
    }
};

class BackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BVU_REQUIRE_UMOCKDEV();
        clock::setTimeScaleForTests(0.02);
        kd::setKernelDriverFactory(&kd::openLibusbDriver);
        bus = std::make_shared<ScriptedBus>();
    }

    void serve() {
        std::string error;
        adapter = emulator::UmockdevAdapter::start(bus, &error);
        ASSERT_TRUE(adapter) << error;
    }

    void TearDown() override {
        subscriptions.clear();  // before the testbed goes
        adapter.reset();
        kd::setKernelDriverFactory(nullptr);
        clock::setTimeScaleForTests(1.0);
    }

    Subscription& subscribe(uint16_t product, int iface = 0, bool take = true) {
        subscriptions.emplace_back(new Subscription);
        Subscription& s = *subscriptions.back();
        s.iface = iface;
        s.take = take;
        EXPECT_EQ(s.open(product), 0u);
        return s;
    }

    static UDA_STATUS control(UDA_DEVICE_HANDLE device, std::vector<uint8_t> setup, uint8_t* data,
                              uint32_t size, uint32_t* transferred = nullptr,
                              uint32_t timeoutMs = 5000) {
        return UDA_PipeTransfer(device, 0, setup[0] >> 7, 0, data, size, transferred, setup.data(),
                                timeoutMs);
    }

    std::shared_ptr<ScriptedBus> bus;
    std::unique_ptr<emulator::UmockdevAdapter> adapter;
    std::vector<std::unique_ptr<Subscription>> subscriptions;
};

TEST_F(BackendTest, ADevicePresentBeforeTheSubscriptionAttachesWithItsInformationTree) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    Subscription& run = subscribe(kRunModeProductId);
    ASSERT_TRUE(run.waitFor(1));
    EXPECT_EQ(run.setInterfaceStatus[0], 0u);
    const UDA_DeviceInfo& info = run.infos[0];
    EXPECT_EQ(info.deviceDescriptor.idProduct, kRunModeProductId);
    EXPECT_EQ(info.deviceDescriptor.bcdDevice, 0x0200);
    EXPECT_EQ(info.configuration.numInterfaces, 1u);
    ASSERT_EQ(info.activeInterfaces.size(), 1u);
    const UDA_AlternateSetting* alt = info.activeInterfaces[0].active();
    ASSERT_NE(alt, nullptr);
    EXPECT_EQ(alt->descriptor.bInterfaceNumber, 0);
    ASSERT_EQ(alt->pipes.size(), 2u);
    EXPECT_EQ(alt->pipes[0].number, 0x02u);
    EXPECT_EQ(alt->pipes[1].number, 0x04u);
    EXPECT_EQ(alt->pipes[1].type, uint32_t(UDA_PIPE_BULK));
    EXPECT_EQ(alt->pipes[1].direction, 0u);
    EXPECT_EQ(alt->pipes[1].maxPacketSize, 64u);

    UDA_DeviceInfo* fresh = nullptr;
    ASSERT_EQ(UDA_GetDeviceInfo(run.device(), &fresh), 0u);
    EXPECT_EQ(fresh->activeInterfaces[0].active()->pipes.size(), 2u);
    UDA_FreeDeviceInfo(fresh);
}

TEST_F(BackendTest, TransfersMoveTheirDataAndRefuseWhatCannotBeSent) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    Subscription& run = subscribe(kRunModeProductId);
    ASSERT_TRUE(run.waitFor(1));
    UDA_DEVICE_HANDLE device = run.device();

    uint8_t in[4] = {};
    uint32_t n = 0;
    ASSERT_EQ(control(device, {0xA0, 3, 4, 2, 0, 0, 4, 0}, in, 4, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(in[3], 4);
    uint8_t out[2] = {0x4E, 0x50};
    ASSERT_EQ(control(device, {0x20, 2, 1, 5, 0x3D, 0, 2, 0}, out, 2, &n), 0u);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(control(device, {0x20, 1, 4, 6, 0, 0, 0, 0}, nullptr, 0, &n), 0u);

    std::vector<uint8_t> image(0x8000, 0xA5);
    ASSERT_EQ(UDA_PipeTransfer(device, 0x04, 0, 0, image.data(), uint32_t(image.size()), &n,
                               nullptr, 5000),
              0u);
    EXPECT_EQ(n, 0x8000u);
    const size_t sent = bus->transfers().size();
    EXPECT_EQ(sent, 4u);

    // Refused before anything reaches the bus.
    EXPECT_EQ(UDA_PipeTransfer(device, 0x06, 0, 0, image.data(), 4, &n, nullptr, 5000),
              UDA_INVALID_PIPE_NUMBER);
    EXPECT_EQ(control(device, {0xA0, 3, 4, 2, 0, 0, 8, 0}, in, 4), UDA_INVALID_PARAMETER);
    EXPECT_EQ(control(device, {0x20, 2, 1, 5, 0, 0, 2, 0}, nullptr, 0), UDA_INVALID_PARAMETER);
    EXPECT_EQ(bus->transfers().size(), sent);
}

TEST_F(BackendTest, InterfaceRecipientRequestsAreAddressedToTheClaimedInterface) {
    bus->arrive(kBootloaderProductId, bootloaderDescriptors());
    bus->arrive(kRunModeProductId, runModeDescriptors(1));
    serve();
    Subscription& boot = subscribe(kBootloaderProductId, 0);
    Subscription& run = subscribe(kRunModeProductId, 1);
    ASSERT_TRUE(boot.waitFor(1));
    ASSERT_TRUE(run.waitFor(1));
    ASSERT_EQ(run.setInterfaceStatus[0], 0u);

    // DFU_GETSTATUS as the host sends it, naming interface 4.
    uint8_t status[6] = {};
    uint32_t n = 0;
    ASSERT_EQ(control(boot.device(), {0xA1, 3, 0, 0, 4, 0, 6, 0}, status, 6, &n), 0u);
    EXPECT_EQ(n, 6u);
    // The high byte of wIndex is the request's own and stays.
    ASSERT_EQ(control(run.device(), {0x21, 5, 0, 0, 4, 3, 0, 0}, nullptr, 0), 0u);
    // Device-recipient requests keep their wIndex, which carries data.
    ASSERT_EQ(control(run.device(), {0x20, 2, 1, 5, 0x37, 0, 0, 0}, nullptr, 0), 0u);

    std::vector<BusTransfer> seen = bus->transfers();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].setup[4], 0);
    EXPECT_EQ(seen[1].setup[4], 1);
    EXPECT_EQ(seen[1].setup[5], 3);
    EXPECT_EQ(seen[2].setup[4], 0x37);
}

TEST_F(BackendTest, StallAndTimeOutGiveTheirStatusesAndTheDeviceStaysUsable) {
    std::atomic<int> calls{0};
    bus->onControl([&](uint32_t, const uint8_t*, uint8_t* data, uint32_t* n) {
        int call = calls++;
        if (call == 0)
            return Reply::Stall;
        if (call == 1)
            return Reply::NoAnswer;
        data[0] = 0x42;
        *n = 1;
        return Reply::Ack;
    });
    bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    Subscription& run = subscribe(kRunModeProductId);
    ASSERT_TRUE(run.waitFor(1));
    uint8_t b = 0;
    UDA_STATUS s = control(run.device(), {0xA0, 3, 0, 0, 0, 0, 1, 0}, &b, 1);
    EXPECT_EQ(s, UDA_HC_STALL_PID);
    EXPECT_STREQ(statusText(s), "HC status: PID stall");

    // 5000 ms nominal at a time scale of 0.02: 100 ms.
    auto start = std::chrono::steady_clock::now();
    s = control(run.device(), {0xA0, 3, 0, 0, 0, 0, 1, 0}, &b, 1, nullptr, 5000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s, UDA_TIMEOUT_EXPIRED);
    EXPECT_STREQ(statusText(s), "Timeout expired");
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::milliseconds(3000));

    ASSERT_EQ(control(run.device(), {0xA0, 3, 0, 0, 0, 0, 1, 0}, &b, 1), 0u);
    EXPECT_EQ(b, 0x42);
}

TEST_F(BackendTest, ADetachWhileTransfersAreInFlightEndsThemWithDeviceNotFound) {
    bus->onControl([](uint32_t, const uint8_t*, uint8_t*, uint32_t*) { return Reply::NoAnswer; });
    const uint32_t id = bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    Subscription& run = subscribe(kRunModeProductId);
    ASSERT_TRUE(run.waitFor(1));
    UDA_DEVICE_HANDLE device = run.device();

    // A control transfer waiting for an answer, and bulk transfers hammering the device, while
    // it goes away (the nominal time-out is far longer than the test).
    std::vector<std::future<UDA_STATUS>> transfers;
    transfers.push_back(std::async(std::launch::async, [device] {
        uint8_t b = 0;
        return control(device, {0xA0, 3, 0, 0, 0, 0, 1, 0}, &b, 1, nullptr, 1000000);
    }));
    std::atomic<bool> stop{false};
    for (int i = 0; i < 2; ++i) {
        transfers.push_back(std::async(std::launch::async, [device, &stop] {
            uint8_t data[64] = {};
            UDA_STATUS last = 0;
            while (!stop.load() && last == 0) {
                last = UDA_PipeTransfer(device, 0x02, 0, 0, data, sizeof data, nullptr, nullptr,
                                        1000000);
            }
            return last;
        }));
    }
    ASSERT_TRUE(bus->waitForTransfers(8));
    bus->leave(id);
    ASSERT_TRUE(run.waitFor(1, 1));
    stop.store(true);
    for (auto& t : transfers) {
        ASSERT_EQ(t.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        UDA_STATUS s = t.get();
        EXPECT_TRUE(s == UDA_DEVICE_NOT_FOUND || s == 0) << std::hex << s;
    }
    EXPECT_EQ(control(device, {0xA0, 3, 0, 0, 0, 0, 1, 0}, nullptr, 0), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(UDA_SetInterface(device, 0, 0), UDA_DEVICE_NOT_FOUND);
}

TEST_F(BackendTest, ReEnumerationMovesTheDeviceFromOneSubscriptionToTheOther) {
    const uint32_t runId = bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    Subscription& run = subscribe(kRunModeProductId);
    Subscription& boot = subscribe(kBootloaderProductId);
    ASSERT_TRUE(run.waitFor(1));
    bus->leave(runId);
    const uint32_t bootId = bus->arrive(kBootloaderProductId, bootloaderDescriptors());
    ASSERT_TRUE(run.waitFor(1, 1));
    ASSERT_TRUE(boot.waitFor(1));
    EXPECT_EQ(boot.infos[0].activeInterfaces[0].active()->descriptor.bInterfaceClass, 0xFE);
    uint8_t state = 0;
    EXPECT_EQ(control(boot.device(), {0xA1, 5, 0, 0, 4, 0, 1, 0}, &state, 1), 0u);

    bus->leave(bootId);
    bus->arrive(kRunModeProductId, runModeDescriptors());
    ASSERT_TRUE(boot.waitFor(1, 1));
    ASSERT_TRUE(run.waitFor(2, 1));
    uint8_t b[2] = {};
    EXPECT_EQ(control(run.device(1), {0x80, 0, 0, 0, 0, 0, 2, 0}, b, 2), 0u);
}

TEST_F(BackendTest, ARefusedDeviceIsReleasedForOtherPrograms) {
    bus->arrive(kRunModeProductId, runModeDescriptors());
    serve();
    // The attach callback claims the interface (as the session does) and then refuses.
    Subscription& run = subscribe(kRunModeProductId, 0, false);
    ASSERT_TRUE(run.waitFor(1));
    ASSERT_EQ(run.setInterfaceStatus[0], 0u);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle* other = openWhenPresent(ctx, kVendorId, kRunModeProductId);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(eventually([&] { return libusb_claim_interface(other, 0) == 0; }));
    libusb_close(other);
    libusb_exit(ctx);
}

TEST(LibusbStatus, EveryLibusbResultHasAStatusOfTheTable) {
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_SUCCESS), 0u);
    EXPECT_EQ(kd::statusFromLibusb(64), 0u);  // a byte count
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_TIMEOUT), UDA_TIMEOUT_EXPIRED);
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_NO_DEVICE), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_PIPE), UDA_HC_STALL_PID);
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_BUSY), UDA_RESOURCE_OVERLAP);
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_IO), UDA_HC_DEVICE_NOT_RESPONDING);
    EXPECT_EQ(kd::statusFromLibusb(LIBUSB_ERROR_OVERFLOW), UDA_HC_DATA_OVERRUN);
    EXPECT_EQ(kd::statusFromLibusb(-1000), UDA_ERROR);
    for (int e = LIBUSB_ERROR_IO; e >= LIBUSB_ERROR_NOT_SUPPORTED; --e) {
        EXPECT_STRNE(statusText(kd::statusFromLibusb(e)), "Unrecognized error code") << e;
        EXPECT_NE(kd::statusFromLibusb(e), 0u) << e;
    }
    EXPECT_STRNE(statusText(kd::statusFromLibusb(LIBUSB_ERROR_OTHER)), "Unrecognized error code");
}

}  // namespace
}  // namespace test
}  // namespace bvu
