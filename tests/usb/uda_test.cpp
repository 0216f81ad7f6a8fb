// The driver access layer over the fake kernel driver: subscriptions, events, the device list
// and its lock, and device operations racing a detach.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "tests/support/fake_driver.h"
#include "usb/uda.h"
#include "usb/uda_internal.h"

namespace {

using bvu::test::FakeBus;

struct Recorder {
    std::atomic<int> attaches{0};
    std::atomic<int> detaches{0};
    std::atomic<UDA_DEVICE_HANDLE> last{nullptr};
    uint32_t verdict = 1;
};

uint32_t recordAttach(UDA_DEVICE_HANDLE device, UDA_DeviceInfo*, void* user) {
    auto* r = static_cast<Recorder*>(user);
    r->last.store(device);
    r->attaches++;
    return r->verdict;
}

void recordDetach(UDA_DEVICE_HANDLE, void* user) {
    static_cast<Recorder*>(user)->detaches++;
}

class UdaTest : public ::testing::Test {
  protected:
    void SetUp() override { bvu::kd::setKernelDriverFactory(bus->factory()); }
    void TearDown() override { bvu::kd::setKernelDriverFactory({}); }

    UDA_STATUS subscribe(UDA_DRIVER_HANDLE* handle, Recorder* r, bool withDetach = true) {
        UDA_MatchTable match{0x03EB, 0x3014, 0, 0, 0, 0, 0, 0};
        UDA_EventTable events{recordAttach, withDetach ? recordDetach : nullptr, nullptr, r};
        return UDA_Init(handle, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE);
    }

    static bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 500 && !condition(); ++i) Sleep(5);
        return condition();
    }

    std::shared_ptr<FakeBus> bus = FakeBus::create();
};

TEST_F(UdaTest, DriverVersionBelow811IsRefused) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    bus->setVersion(810);
    EXPECT_EQ(subscribe(&h, &r), 0x2000001Cu);
    EXPECT_EQ(h, UDA_INVALID_DRIVER_HANDLE);
    EXPECT_EQ(bus->openFiles(), 0);  // the half-built subscription was released
    EXPECT_FALSE(devlist::lockExists());

    bus->setVersion(811);
    ASSERT_EQ(subscribe(&h, &r), 0u);
    EXPECT_NE(h, UDA_INVALID_DRIVER_HANDLE);
    UDA_Release(h);
}

TEST_F(UdaTest, DriverThatCannotBeOpenedGivesItsStatus) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    bus->setOpenStatus(UDA_INTERNAL_SYSTEM_ERROR);
    EXPECT_EQ(subscribe(&h, &r), UDA_INTERNAL_SYSTEM_ERROR);
    EXPECT_FALSE(devlist::lockExists());
    bus->setOpenStatus(0);
    bus->setRegisterStatus(UDA_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(subscribe(&h, &r), UDA_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus->openFiles(), 0);
    EXPECT_FALSE(devlist::lockExists());
}

TEST_F(UdaTest, LockLivesWhileAnySubscriptionDoes) {
    Recorder r1, r2;
    UDA_DRIVER_HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(subscribe(&a, &r1), 0u);
    ASSERT_EQ(subscribe(&b, &r2), 0u);
    EXPECT_TRUE(devlist::lockExists());
    UDA_Release(a);
    EXPECT_TRUE(devlist::lockExists());
    UDA_Release(b);
    EXPECT_FALSE(devlist::lockExists());
    // A later subscription creates it anew, and the list works again.
    ASSERT_EQ(subscribe(&a, &r1), 0u);
    EXPECT_TRUE(devlist::lockExists());
    bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(waitFor([&] { return r1.attaches == 1; }));
    uint8_t setup[8] = {0x80, 0, 0, 0, 0, 0, 2, 0};
    uint8_t reply[2];
    EXPECT_EQ(UDA_PipeTransfer(r1.last.load(), 0, 1, 0, reply, 2, nullptr, setup, 5000), 0u);
    UDA_Release(a);
    EXPECT_FALSE(devlist::lockExists());
    UDA_Release(nullptr);  // tolerated, and leaves no count behind
    UDA_Release(UDA_INVALID_DRIVER_HANDLE);
    EXPECT_FALSE(devlist::lockExists());
}

TEST_F(UdaTest, SubscriptionMaskAndMatchTable) {
    Recorder rWith, rWithout;
    UDA_DRIVER_HANDLE with = nullptr, without = nullptr;
    ASSERT_EQ(subscribe(&with, &rWith), 0u);
    ASSERT_EQ(subscribe(&without, &rWithout, false), 0u);
    auto regs = bus->registrations();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].code, 0x4003u);  // attach + detach + end of the first look, no power
    EXPECT_EQ(regs[1].code, 0x4001u);  // no detach callback: detach not subscribed
    EXPECT_EQ(regs[0].busType, 0xFFFFFFFEu);
    EXPECT_EQ(regs[0].options, UDA_OPTION_ACKNOWLEDGE);
    ASSERT_EQ(regs[0].matchTables.size(), 1u);
    EXPECT_EQ(regs[0].matchTables[0].productId, 0x3014);

    uint32_t id = bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(waitFor([&] { return rWith.attaches == 1 && rWithout.attaches == 1; }));
    bus->unplug(id);
    ASSERT_TRUE(waitFor([&] { return rWith.detaches == 1; }));
    // A subscription's events come in order: once both have seen the next arrival, they have
    // dealt with the departure, and only the one with a detach callback was told of it, once.
    bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(waitFor([&] { return rWith.attaches == 2 && rWithout.attaches == 2; }));
    EXPECT_EQ(rWith.detaches.load(), 1);
    EXPECT_EQ(rWithout.detaches.load(), 0);
    UDA_Release(with);
    UDA_Release(without);
}

TEST_F(UdaTest, RefusedAttachLeavesDeviceOutOfTheList) {
    Recorder r;
    r.verdict = 0;
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(subscribe(&h, &r), 0u);
    bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(bus->waitForAcknowledgements(1));
    auto acks = bus->acknowledgements();
    EXPECT_EQ(acks[0].code, 1u);
    EXPECT_EQ(acks[0].options & 0x2, 0u);  // the driver is told the program does not take it

    size_t before = bus->transferCount();
    uint8_t setup[8] = {0x80, 0, 0, 0, 0, 0, 2, 0};
    uint8_t reply[2];
    EXPECT_EQ(UDA_PipeTransfer(r.last.load(), 0, 1, 0, reply, 2, nullptr, setup, 5000),
              UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(bus->transferCount(), before);
    UDA_Release(h);
}

TEST_F(UdaTest, OperationsOnADetachedHandleSendNothing) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(subscribe(&h, &r), 0u);
    uint32_t id = bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(waitFor([&] { return r.attaches == 1; }));
    auto acks = bus->acknowledgements();
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks[0].options & 0x2, 0x2u);
    UDA_DEVICE_HANDLE device = r.last.load();
    bus->unplug(id);
    ASSERT_TRUE(waitFor([&] { return r.detaches == 1; }));

    size_t before = bus->transferCount();
    uint8_t buffer[4] = {};
    uint32_t moved = 99;
    EXPECT_EQ(UDA_PipeTransfer(device, 2, 0, 0, buffer, 4, &moved, nullptr, 5000),
              UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(UDA_SetInterface(device, 0, 0), UDA_DEVICE_NOT_FOUND);
    UDA_DeviceInfo* info = reinterpret_cast<UDA_DeviceInfo*>(1);
    EXPECT_EQ(UDA_GetDeviceInfo(device, &info), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(UDA_PipeTransfer(nullptr, 0, 0, 0, buffer, 0, nullptr, nullptr, 5000),
              UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(bus->transferCount(), before);
    UDA_Release(h);
}

TEST_F(UdaTest, SetInterfaceSelectsTheAlternateSettingInTheCachedInformation) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(subscribe(&h, &r), 0u);
    UDA_DeviceInfo info = FakeBus::makeInfo(0x03EB, 0x3014);
    UDA_AlternateSetting second = info.activeInterfaces[0].alternateSettings[0];
    second.descriptor.bAlternateSetting = 1;
    info.activeInterfaces[0].alternateSettings.push_back(second);
    bus->plug(info);
    ASSERT_TRUE(waitFor([&] { return r.attaches == 1; }));
    DeviceRef ref;
    ASSERT_EQ(devlist::findByCtx(r.last.load(), &ref), 0u);
    EXPECT_EQ(ref->info->activeInterfaces[0].activeAlternate, 0u);
    EXPECT_EQ(UDA_SetInterface(r.last.load(), 0, 1), 0u);
    EXPECT_EQ(ref->info->activeInterfaces[0].activeAlternate, 1u);
    // No such interface: the driver refuses it, and the information is left as it was.
    EXPECT_EQ(UDA_SetInterface(r.last.load(), 3, 1), UDA_INVALID_PARAMETER);
    EXPECT_EQ(ref->info->activeInterfaces[0].activeAlternate, 1u);
    ref.reset();
    UDA_Release(h);
}

// A bulk endpoint that stalled stays halted on a real device: the driver core clears it before
// the next transfer on it (and only on it), and a successful interface selection, which clears
// every halt on the device, spares that.
TEST_F(UdaTest, AStalledBulkEndpointIsClearedBeforeItsNextTransfer) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(subscribe(&h, &r), 0u);
    const uint32_t id = bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
    ASSERT_TRUE(waitFor([&] { return r.attaches == 1; }));
    UDA_DEVICE_HANDLE device = r.last.load();
    std::atomic<bool> stallNext{true};
    bus->onTransfer([&](bvu::kd::TransferRequest& t) {
        t.transferred = t.size;
        return stallNext.exchange(false) ? UDA_HC_STALL_PID : UDA_STATUS(0);
    });
    uint8_t data[4] = {1, 2, 3, 4};
    auto send = [&](uint32_t pipe) {
        return UDA_PipeTransfer(device, pipe, 0, 0, data, sizeof data, nullptr, nullptr, 5000);
    };
    using Clears = std::vector<std::pair<uint32_t, uint8_t>>;
    EXPECT_EQ(send(4), UDA_HC_STALL_PID);
    EXPECT_EQ(send(2), 0u);
    EXPECT_TRUE(bus->haltClears().empty());
    EXPECT_EQ(send(4), 0u);
    EXPECT_EQ(bus->haltClears(), (Clears{{id, 4}}));
    EXPECT_EQ(send(4), 0u);
    EXPECT_EQ(bus->haltClears().size(), 1u);

    stallNext = true;
    EXPECT_EQ(send(4), UDA_HC_STALL_PID);
    EXPECT_EQ(UDA_SetInterface(device, 0, 0), 0u);
    EXPECT_EQ(send(4), 0u);
    EXPECT_EQ(bus->haltClears().size(), 1u);

    // A clear that fails fails the transfer, which is not sent; the endpoint stays halted.
    stallNext = true;
    EXPECT_EQ(send(4), UDA_HC_STALL_PID);
    bus->onClearHalt([](uint32_t, uint8_t) { return UDA_HC_DEVICE_NOT_RESPONDING; });
    const size_t sent = bus->transferCount();
    EXPECT_EQ(send(4), UDA_HC_DEVICE_NOT_RESPONDING);
    EXPECT_EQ(bus->transferCount(), sent);
    bus->onClearHalt({});
    EXPECT_EQ(send(4), 0u);
    EXPECT_EQ(bus->haltClears().size(), 3u);
    UDA_Release(h);
}

// A detach frees the device while other threads are in the middle of transfers to it. Each
// transfer must complete or report "Device not found"; none may touch freed memory (the
// sanitizer builds check the latter).
TEST_F(UdaTest, DetachWhileTransfersRunIsSafe) {
    Recorder r;
    UDA_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(subscribe(&h, &r), 0u);
    std::atomic<int> inFlight{0};
    bus->onTransfer([&](bvu::kd::TransferRequest& t) {
        inFlight++;
        Sleep(2);
        t.transferred = t.size;
        inFlight--;
        return UDA_STATUS(0);
    });
    for (int round = 0; round < 5; ++round) {
        int before = r.attaches;
        uint32_t id = bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
        ASSERT_TRUE(waitFor([&] { return r.attaches == before + 1; }));
        UDA_DEVICE_HANDLE device = r.last.load();
        std::atomic<bool> stop{false};
        std::atomic<int> ok{0}, gone{0}, other{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w) {
            workers.emplace_back([&] {
                uint8_t buffer[64];
                while (!stop) {
                    uint32_t moved = 0;
                    UDA_STATUS s = UDA_PipeTransfer(device, 2, 0, 0, buffer, sizeof buffer, &moved,
                                                    nullptr, 5000);
                    UDA_DeviceInfo* info = nullptr;
                    UDA_STATUS si = UDA_GetDeviceInfo(device, &info);
                    UDA_FreeDeviceInfo(info);
                    (s == 0 ? ok : s == UDA_DEVICE_NOT_FOUND ? gone : other)++;
                    if (si != 0 && si != UDA_DEVICE_NOT_FOUND)
                        other++;
                }
            });
        }
        waitFor([&] { return inFlight > 0 && ok > 4; });
        bus->unplug(id);
        waitFor([&] { return r.detaches == round + 1; });
        waitFor([&] { return gone > 8; });
        stop = true;
        for (auto& t : workers) t.join();
        EXPECT_GT(ok.load(), 0);
        EXPECT_GT(gone.load(), 0);
        EXPECT_EQ(other.load(), 0);
    }
    UDA_Release(h);
}

}  // namespace
