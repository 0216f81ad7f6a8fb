// The emulator backend's driver file at the seam, over a scripted bus: the event queue and its
// races with the bus, the refusal of devices not taken, and how the bus's replies (and
// silences) become driver statuses.
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "emulator/backend.h"
#include "platform/clock.h"
#include "tests/support/scripted_bus.h"
#include "tests/support/usb_descriptors.h"

namespace bvu {
namespace test {
namespace {

using emulator::Reply;

constexpr UDA_MatchTable kRunMode{kVendorId, kRunModeProductId, 0, 0, 0, 0, 0, 0};
constexpr UDA_MatchTable kBootloader{kVendorId, kBootloaderProductId, 0, 0, 0, 0, 0, 0};

class EmulatorDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = std::make_shared<ScriptedBus>();
        file = emulator::makeEmulatorDriver(bus);
    }
    void TearDown() override {
        file.reset();
        clock::setTimeScaleForTests(1.0);
    }

    void subscribe(std::vector<UDA_MatchTable> tables = {kRunMode, kBootloader}) {
        registration.code = kd::kEventAttach | kd::kEventDetach;
        registration.busType = 0xFFFFFFFE;
        registration.options = kd::kOptionAcknowledge;
        registration.matchTables = std::move(tables);
        ASSERT_EQ(file->registerEvents(registration), 0u);
        ASSERT_NE(registration.handle, 0u);
    }

    // The next event; fails (instead of hanging) when none comes within 10 s.
    kd::EventRecord next() {
        kd::WaitRecord wait{registration.handle, kd::kWaitNothing};
        auto waiting = std::async(std::launch::async, [&] { file->waitForEvent(wait); });
        if (waiting.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            file->waitCancel(wait);
            ADD_FAILURE() << "no event";
        }
        waiting.get();
        return poll();
    }
    // Pulls without waiting: code 0 when nothing is pending.
    kd::EventRecord poll() {
        kd::EventRecord record;
        record.handle = registration.handle;
        EXPECT_EQ(file->pullEvent(record), 0u);
        return record;
    }
    void acknowledge(kd::EventRecord record, bool take) {
        if (take)
            record.options |= kd::kOptionControlled;
        EXPECT_EQ(file->acknowledgeEvent(record), 0u);
    }
    // A run-mode device on the bus, attached and taken.
    uint32_t attachRunMode(const Bytes& descriptors = runModeDescriptors()) {
        uint32_t id = bus->arrive(kRunModeProductId, descriptors);
        subscribe();
        kd::EventRecord attach = next();
        EXPECT_EQ(attach.code, kd::kEventAttach);
        EXPECT_EQ(attach.uniqueId, id);
        acknowledge(attach, true);
        return id;
    }
    UDA_STATUS controlIn(uint32_t id, uint16_t wLength, void* buffer, uint32_t size,
                         uint32_t timeoutMs = 5000, uint32_t* transferred = nullptr) {
        kd::TransferRequest r;
        r.uniqueId = id;
        r.read = 1;
        r.buffer = buffer;
        r.size = size;
        r.timeoutMs = timeoutMs;
        const uint8_t setup[8] = {0x80,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  static_cast<uint8_t>(wLength & 0xFF),
                                  static_cast<uint8_t>(wLength >> 8)};
        std::copy(setup, setup + 8, r.setup);
        UDA_STATUS s = file->transfer(r);
        if (transferred != nullptr)
            *transferred = r.transferred;
        return s;
    }
    UDA_STATUS bulk(uint32_t id, uint32_t pipe, uint32_t read, const Bytes& data) {
        kd::TransferRequest r;
        r.uniqueId = id;
        r.pipe = pipe;
        r.read = read;
        r.buffer = const_cast<uint8_t*>(data.data());
        r.size = static_cast<uint32_t>(data.size());
        return file->transfer(r);
    }

    std::shared_ptr<ScriptedBus> bus;
    std::unique_ptr<kd::KernelDriver> file;
    kd::EventRecord registration;
};

TEST_F(EmulatorDriverTest, AttachesPresentDevicesThenFollowsArrivalsAndDepartures) {
    uint32_t version = 0;
    EXPECT_EQ(file->queryVersion(&version), 0u);
    EXPECT_EQ(version, 811u);
    bus->arrive(0x1234, runModeDescriptors());  // not ours: never reported
    uint32_t run = attachRunMode();
    EXPECT_EQ(poll().code, 0u);
    kd::EventRecord again = registration;
    EXPECT_EQ(file->registerEvents(again), UDA_RESOURCE_OVERLAP);

    uint32_t boot = bus->arrive(kBootloaderProductId, bootloaderDescriptors());
    kd::EventRecord attach = next();
    EXPECT_EQ(attach.code, kd::kEventAttach);
    EXPECT_EQ(attach.uniqueId, boot);
    EXPECT_EQ(attach.options & kd::kOptionAcknowledge, kd::kOptionAcknowledge);
    acknowledge(attach, true);
    UDA_DeviceInfo info;
    ASSERT_EQ(file->deviceInfo(boot, info), 0u);
    EXPECT_EQ(info.activeInterfaces[0].active()->descriptor.bInterfaceClass, 0xFE);

    bus->leave(run);
    kd::EventRecord detach = next();
    EXPECT_EQ(detach.code, kd::kEventDetach);
    EXPECT_EQ(detach.uniqueId, run);
    uint8_t buffer[2];
    EXPECT_EQ(controlIn(run, 2, buffer, 2), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(file->deviceInfo(run, info), UDA_DEVICE_NOT_FOUND);
}

TEST_F(EmulatorDriverTest, MatchTableClassBytesSelectByInterface) {
    UDA_MatchTable dfuOnly = kBootloader;
    dfuOnly.interfaceClass = 0xFE;
    UDA_MatchTable wrongClass = kRunMode;
    wrongClass.interfaceClass = 0xFE;
    uint32_t boot = bus->arrive(kBootloaderProductId, bootloaderDescriptors());
    bus->arrive(kRunModeProductId, runModeDescriptors());
    subscribe({wrongClass, dfuOnly});
    EXPECT_EQ(next().uniqueId, boot);
    EXPECT_EQ(poll().code, 0u);
}

TEST_F(EmulatorDriverTest, DeviceNotTakenIsLeftAlone) {
    uint32_t id = bus->arrive(kRunModeProductId, runModeDescriptors());
    subscribe();
    acknowledge(next(), false);
    uint8_t buffer[2];
    UDA_DeviceInfo info;
    EXPECT_EQ(controlIn(id, 2, buffer, 2), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(bulk(id, 0x02, 0, Bytes{0xC0, 0, 0}), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(file->setInterface(id, 0, 0), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(file->deviceInfo(id, info), UDA_DEVICE_NOT_FOUND);
    EXPECT_EQ(bus->requestCount(), 0u);
    bus->leave(id);
    EXPECT_EQ(poll().code, 0u);  // its departure is none of the program's business
}

TEST_F(EmulatorDriverTest, DeviceGoneBeforeTheProgramHeardOfItIsNeverReported) {
    // Left after registration but before its attach was pulled.
    uint32_t first = bus->arrive(kRunModeProductId, runModeDescriptors());
    subscribe();
    bus->leave(first);
    EXPECT_EQ(poll().code, 0u);
    // Left between the file's subscription to the bus and its look at the devices present.
    uint32_t racing = bus->arrive(kRunModeProductId, runModeDescriptors());
    auto other = emulator::makeEmulatorDriver(bus);
    bus->onNextPresent([&] { bus->leave(racing); });
    kd::EventRecord record = registration;
    ASSERT_EQ(other->registerEvents(record), 0u);
    kd::EventRecord pulled;
    pulled.handle = record.handle;
    EXPECT_EQ(other->pullEvent(pulled), 0u);
    EXPECT_EQ(pulled.code, 0u);
}

TEST_F(EmulatorDriverTest, CancelEndsTheWaitForGood) {
    subscribe();
    kd::WaitRecord wait{registration.handle, kd::kWaitNothing};
    std::thread waiter([&] { file->waitForEvent(wait); });
    clock::sleepMs(20);
    kd::WaitRecord cancel = wait;
    EXPECT_EQ(file->waitCancel(cancel), 0u);
    waiter.join();
    EXPECT_EQ(wait.result, kd::kWaitCancelled);
    bus->arrive(kRunModeProductId, runModeDescriptors());
    file->waitForEvent(wait);
    EXPECT_EQ(wait.result, kd::kWaitCancelled);
}

TEST_F(EmulatorDriverTest, RepliesBecomeDriverStatuses) {
    uint32_t id = attachRunMode();
    Reply next = Reply::Ack;
    bus->onControl([&](uint32_t, const uint8_t*, uint8_t* data, uint32_t* transferred) {
        data[0] = 0x01;
        data[1] = 0x00;
        *transferred = 2;
        return next;
    });
    uint8_t buffer[8] = {0xEE, 0xEE};
    uint32_t transferred = 0;
    EXPECT_EQ(controlIn(id, 2, buffer, sizeof buffer, 5000, &transferred), 0u);
    EXPECT_EQ(transferred, 2u);
    EXPECT_EQ(buffer[0], 0x01);
    next = Reply::Stall;
    EXPECT_EQ(controlIn(id, 2, buffer, 2), UDA_HC_STALL_PID);
    next = Reply::Gone;
    EXPECT_EQ(controlIn(id, 2, buffer, 2), UDA_DEVICE_NOT_FOUND);

    Bytes seen;
    bus->onBulkOut([&](uint32_t, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred) {
        seen.assign(data, data + length);
        seen.insert(seen.begin(), endpoint);
        *transferred = length;
        return Reply::Ack;
    });
    EXPECT_EQ(bulk(id, 0x02, 0, Bytes{0xC0, 0x00, 0x00}), 0u);
    EXPECT_EQ(seen, (Bytes{0x02, 0xC0, 0x00, 0x00}));
}

TEST_F(EmulatorDriverTest, RequestsThatWouldOverrunOrMissAPipeNeverReachTheDevice) {
    uint32_t id = attachRunMode();
    uint8_t small[8];
    EXPECT_EQ(controlIn(id, 64, small, sizeof small), UDA_INVALID_PARAMETER);
    EXPECT_EQ(controlIn(id, 2, nullptr, 0), UDA_INVALID_PARAMETER);
    EXPECT_EQ(bulk(id, 0x06, 0, Bytes{1}), UDA_INVALID_PIPE_NUMBER);
    EXPECT_EQ(bulk(id, 0x02, 1, Bytes{1}), UDA_INVALID_PIPE_NUMBER);  // an OUT endpoint
    EXPECT_EQ(file->setInterface(id, 1, 0), UDA_INVALID_PARAMETER);
    EXPECT_EQ(file->setInterface(id, 0, 1), UDA_INVALID_PARAMETER);
    EXPECT_EQ(bus->requestCount(), 0u);
}

TEST_F(EmulatorDriverTest, SilentDeviceTimesOutOnTheClockFromTheRequestsStart) {
    clock::setTimeScaleForTests(0.2);
    uint32_t id = attachRunMode();
    bus->onControl([](uint32_t, const uint8_t*, uint8_t*, uint32_t*) {
        clock::sleepMs(5000);  // the device mulls it over, then never answers
        return Reply::NoAnswer;
    });
    uint8_t buffer[2];
    const auto start = clock::now();
    EXPECT_EQ(controlIn(id, 2, buffer, 2, 6000), UDA_TIMEOUT_EXPIRED);
    const double elapsed = clock::nominalMsBetween(start, clock::now());
    EXPECT_GE(elapsed, 5990.0);
    // Not 5000 + 6000; the margin, half a second of real time, is for a loaded machine.
    EXPECT_LT(elapsed, 8500.0);
}

TEST_F(EmulatorDriverTest, DeviceLeavingEndsTheWaitForAnAnswerAtOnce) {
    uint32_t id = attachRunMode();
    bus->onControl([](uint32_t, const uint8_t*, uint8_t*, uint32_t*) { return Reply::NoAnswer; });
    bus->leaveLater(50, id);
    uint8_t buffer[2];
    const auto start = clock::now();
    EXPECT_EQ(controlIn(id, 2, buffer, 2, 60000), UDA_DEVICE_NOT_FOUND);
    EXPECT_LT(clock::nominalMsBetween(start, clock::now()), 30000.0);
}

TEST_F(EmulatorDriverTest, SetInterfaceSelectsTheAlternateOrReportsTheStall) {
    uint32_t id = attachRunMode(twoAlternateDescriptors());
    EXPECT_EQ(file->setInterface(id, 0, 1), 0u);
    UDA_DeviceInfo info;
    ASSERT_EQ(file->deviceInfo(id, info), 0u);
    EXPECT_EQ(info.activeInterfaces[0].activeAlternate, 1u);
    // The active alternate has no endpoints: its pipes are gone with it.
    EXPECT_EQ(bulk(id, 0x02, 0, Bytes{1}), UDA_INVALID_PIPE_NUMBER);
    bus->onSetInterface([](uint32_t, uint8_t, uint8_t) { return Reply::Stall; });
    EXPECT_EQ(file->setInterface(id, 0, 0), UDA_HC_STALL_PID);
    ASSERT_EQ(file->deviceInfo(id, info), 0u);
    EXPECT_EQ(info.activeInterfaces[0].activeAlternate, 1u);
}

TEST_F(EmulatorDriverTest, UndescribableDeviceReportsADescriptorError) {
    Bytes broken = runModeDescriptors();
    broken.resize(broken.size() - 3);
    uint32_t id = attachRunMode(broken);
    UDA_DeviceInfo info;
    EXPECT_EQ(file->deviceInfo(id, info), 0x20000012u);
    EXPECT_STREQ(statusText(0x20000012u), "Usb descriptor error");
}

}  // namespace
}  // namespace test
}  // namespace bvu
