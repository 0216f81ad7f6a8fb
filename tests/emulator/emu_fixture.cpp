#include "tests/emulator/emu_fixture.h"

#include <chrono>
#include <cstdio>

namespace bvu {
namespace emulator {
namespace test {

void RecordingListener::arrived(const Presence& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    char buf[64];
    std::snprintf(buf, sizeof buf, "arrived:%04x:%u", device.productId, device.busId);
    events_.push_back(buf);
    changed_.notify_all();
}

void RecordingListener::left(uint32_t busId) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("left:" + std::to_string(busId));
    changed_.notify_all();
}

bool RecordingListener::waitForEvents(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return events_.size() >= n; });
}

std::vector<std::string> RecordingListener::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void EmulatorTest::SetUp() {
    clock::setTimeScaleForTests(0.02);
    path = dir.file("device.json");
}

void EmulatorTest::TearDown() {
    bus.reset();
}

void EmulatorTest::make(const CreateOptions& options) {
    bus.reset();
    std::string error;
    ASSERT_TRUE(createDevice(path, options, &error)) << error;
    bus = openBus(path, &error);
    ASSERT_TRUE(bus) << error;
}

void EmulatorTest::reopen() {
    bus.reset();
    std::string error;
    bus = openBus(path, &error);
    ASSERT_TRUE(bus) << error;
}

uint32_t EmulatorTest::id() const {
    std::vector<Presence> p = bus->present();
    return p.empty() ? 0 : p.front().busId;
}

Answer EmulatorTest::in(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                        uint16_t length) {
    uint8_t setup[8] = {type,
                        request,
                        static_cast<uint8_t>(value),
                        static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(index),
                        static_cast<uint8_t>(index >> 8),
                        static_cast<uint8_t>(length),
                        static_cast<uint8_t>(length >> 8)};
    Answer a;
    a.data.resize(length);
    uint32_t n = 0;
    a.reply = bus->control(id(), setup, a.data.data(), &n);
    a.data.resize(n);
    return a;
}

Reply EmulatorTest::out(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                        const std::vector<uint8_t>& data) {
    const uint16_t length = static_cast<uint16_t>(data.size());
    uint8_t setup[8] = {type,
                        request,
                        static_cast<uint8_t>(value),
                        static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(index),
                        static_cast<uint8_t>(index >> 8),
                        static_cast<uint8_t>(length),
                        static_cast<uint8_t>(length >> 8)};
    std::vector<uint8_t> copy = data;
    uint32_t n = 0;
    return bus->control(id(), setup, copy.empty() ? nullptr : copy.data(), &n);
}

Reply EmulatorTest::bulk(uint8_t endpoint, const std::vector<uint8_t>& data, uint32_t* taken) {
    uint32_t n = 0;
    Reply r = bus->bulkOut(id(), endpoint, data.data(), static_cast<uint32_t>(data.size()), &n);
    if (taken != nullptr)
        *taken = n;
    return r;
}

std::string EmulatorTest::infoText(uint8_t n) {
    Answer a = rd(2, n, 0, 32);
    std::string text;
    for (uint8_t c : a.data) {
        if (c == 0)
            break;
        text += static_cast<char>(c);
    }
    return text;
}

uint8_t EmulatorTest::getState() {
    Answer a = in(0xA1, 5, 0, 4, 1);
    return a.data.empty() ? 0xFF : a.data[0];
}

std::string hex(const std::vector<uint8_t>& data) {
    std::string s;
    char buf[3];
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

}  // namespace test
}  // namespace emulator
}  // namespace bvu
