#include "tests/support/scripted_bus.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace bvu {
namespace test {

using emulator::BusListener;
using emulator::Presence;

ScriptedBus::~ScriptedBus() {
    std::vector<std::thread> timers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers.swap(timers_);
    }
    for (std::thread& t : timers) t.join();
}

uint32_t ScriptedBus::arrive(uint16_t productId, std::vector<uint8_t> descriptors) {
    Presence p;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        p = Presence{nextBusId_++, 0x03EB, productId, std::move(descriptors), ""};
        devices_[p.busId] = p;
    }
    tell([&](BusListener* l) { l->arrived(p); });
    return p.busId;
}

void ScriptedBus::leave(uint32_t busId) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (devices_.erase(busId) == 0)
            return;
    }
    tell([&](BusListener* l) { l->left(busId); });
}

void ScriptedBus::leaveLater(uint32_t delayMs, uint32_t busId) {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.emplace_back([this, delayMs, busId] {
        clock::sleepMs(delayMs);
        leave(busId);
    });
}

void ScriptedBus::unplug() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& d : devices_) ids.push_back(d.first);
    }
    for (uint32_t id : ids) leave(id);
}

void ScriptedBus::onNextPresent(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    presentHook_ = std::move(hook);
}
void ScriptedBus::onControl(ControlHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    control_ = std::move(handler);
}
void ScriptedBus::onBulkOut(BulkHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    bulk_ = std::move(handler);
}
void ScriptedBus::onSetInterface(InterfaceHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    interface_ = std::move(handler);
}

std::vector<BusTransfer> ScriptedBus::transfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}

bool ScriptedBus::waitForTransfers(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return transfers_.size() >= n; });
}

size_t ScriptedBus::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_.size() + selections_;
}

std::vector<Presence> ScriptedBus::present() const {
    std::vector<Presence> out;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& d : devices_) out.push_back(d.second);
        hook.swap(presentHook_);
    }
    if (hook)
        hook();
    return out;
}

void ScriptedBus::addListener(BusListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(listener);
}

void ScriptedBus::removeListener(BusListener* listener) {
    std::unique_lock<std::mutex> lock(mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
    changed_.wait(lock, [&] { return telling_ == 0; });
}

void ScriptedBus::tell(const std::function<void(BusListener*)>& f) {
    std::vector<BusListener*> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners = listeners_;
        ++telling_;
    }
    for (BusListener* l : listeners) f(l);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --telling_;
    }
    changed_.notify_all();
}

bool ScriptedBus::onBus(uint32_t busId) const {
    return devices_.count(busId) != 0;
}

ScriptedBus::Reply ScriptedBus::defaultControl(uint32_t busId, const uint8_t* setup, uint8_t* data,
                                               uint32_t* transferred) const {
    const uint16_t length = uint16_t(setup[6] | (setup[7] << 8));
    if ((setup[0] & 0x80) == 0) {
        *transferred = length;
        return Reply::Ack;
    }
    std::vector<uint8_t> answer;
    if (setup[0] == 0x80 && setup[1] == 6) {  // GET_DESCRIPTOR
        answer = devices_.at(busId).descriptors;
    } else {
        for (uint16_t i = 0; i < length; ++i) answer.push_back(uint8_t(i + 1));
    }
    *transferred = std::min<uint32_t>(length, uint32_t(answer.size()));
    std::copy(answer.begin(), answer.begin() + *transferred, data);
    return Reply::Ack;
}

ScriptedBus::Reply ScriptedBus::control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                                        uint32_t* transferred) {
    *transferred = 0;
    ControlHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onBus(busId))
            return Reply::Gone;
        BusTransfer t;
        t.busId = busId;
        t.setup.assign(setup, setup + 8);
        if ((setup[0] & 0x80) == 0)
            t.data.assign(data, data + uint16_t(setup[6] | (setup[7] << 8)));
        transfers_.push_back(std::move(t));
        changed_.notify_all();
        handler = control_;
        if (!handler)
            return defaultControl(busId, setup, data, transferred);
    }
    return handler(busId, setup, data, transferred);
}

ScriptedBus::Reply ScriptedBus::bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data,
                                        uint32_t length, uint32_t* transferred) {
    *transferred = 0;
    BulkHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onBus(busId))
            return Reply::Gone;
        BusTransfer t;
        t.busId = busId;
        t.bulk = true;
        t.endpoint = endpoint;
        t.data.assign(data, data + length);
        transfers_.push_back(std::move(t));
        changed_.notify_all();
        handler = bulk_;
    }
    if (handler)
        return handler(busId, endpoint, data, length, transferred);
    *transferred = length;
    return Reply::Ack;
}

ScriptedBus::Reply ScriptedBus::setInterface(uint32_t busId, uint8_t iface, uint8_t alt) {
    InterfaceHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onBus(busId))
            return Reply::Gone;
        ++selections_;
        handler = interface_;
    }
    return handler ? handler(busId, iface, alt) : Reply::Ack;
}

}  // namespace test
}  // namespace bvu
