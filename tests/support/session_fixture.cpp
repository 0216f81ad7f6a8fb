#include "tests/support/session_fixture.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace bvu {
namespace test {

std::string SessionTest::errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const BVExBase& e) {
        return e.message();
    }
    return "(nothing thrown)";
}

double SessionTest::nominalMs(const std::function<void()>& f) {
    const clock::TimePoint start = clock::now();
    f();
    return clock::nominalMsBetween(start, clock::now());
}

void SessionTest::SetUp() {
    clock::setTimeScaleForTests(timeScale());
}

void SessionTest::TearDown() {
    session.reset();
    kd::setKernelDriverFactory({});
    clock::setTimeScaleForTests(1.0);
}

USBUtils& SessionTest::openSession() {
    session.reset();  // one session at a time
    session.reset(new USBUtils);
    return *session;
}

USBUtils::Notice NoticeLog::hook() {
    return [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    };
}

std::vector<std::string> NoticeLog::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool NoticeLog::waitFor(const std::string& line, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
}

void FakeBusTest::SetUp() {
    SessionTest::SetUp();
    kd::setKernelDriverFactory(bus->factory());
}

UDA_DeviceInfo FakeBusTest::runMode(uint8_t interfaceNumber) {
    return FakeBus::makeInfo(0x03EB, 0x3014, interfaceNumber);
}

UDA_DeviceInfo FakeBusTest::bootloader() {
    return FakeBus::makeInfo(0x03EB, 0x2FFD, 0, {});
}

USBUtils& FakeBusTest::open(bool run, bool bootloader) {
    if (run)
        bus->plug(runMode());
    if (bootloader)
        bus->plug(FakeBusTest::bootloader());
    openSession();
    if (run)
        session->waitForDevice();
    if (bootloader)
        session->waitForBootloader();
    return *session;
}

}  // namespace test
}  // namespace bvu
