#include "tests/emulator_backend/scripted_bus.h"

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
        p = Presence{nextBusId_++, 0x03EB, productId, std::move(descriptors)};
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

size_t ScriptedBus::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
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
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
        if (*it == listener) {
            listeners_.erase(it);
            break;
        }
    }
    idle_.wait(lock, [&] { return telling_ == 0; });
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
    idle_.notify_all();
}

bool ScriptedBus::onBus(uint32_t busId) const {
    return devices_.count(busId) != 0;
}

ScriptedBus::Reply ScriptedBus::control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                                        uint32_t* transferred) {
    *transferred = 0;
    ControlHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onBus(busId))
            return Reply::Gone;
        ++requests_;
        handler = control_;
    }
    return handler ? handler(busId, setup, data, transferred) : Reply::Ack;
}

ScriptedBus::Reply ScriptedBus::bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data,
                                        uint32_t length, uint32_t* transferred) {
    *transferred = 0;
    BulkHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onBus(busId))
            return Reply::Gone;
        ++requests_;
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
        ++requests_;
        handler = interface_;
    }
    return handler ? handler(busId, iface, alt) : Reply::Ack;
}

}  // namespace test
}  // namespace bvu
