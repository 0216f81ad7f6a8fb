#include "tests/libusb/scripted_bus.h"

#include <algorithm>
#include <chrono>

namespace bvu {
namespace test {

namespace {

std::vector<uint8_t> deviceDescriptor(uint16_t productId, uint16_t bcdDevice) {
    return {18,
            1,
            0x00,
            0x02,
            0,
            0,
            0,
            64,
            0xEB,
            0x03,
            uint8_t(productId),
            uint8_t(productId >> 8),
            uint8_t(bcdDevice),
            uint8_t(bcdDevice >> 8),
            0,
            0,
            0,
            1};
}

}  // namespace

std::vector<uint8_t> ScriptedBus::runModeDescriptors(uint8_t interfaceNumber) {
    std::vector<uint8_t> d = deviceDescriptor(0x3014, 0x0200);
    const std::vector<uint8_t> config = {
        9, 2,    32,
        0, 1,    1,
        0, 0x80, 50,  // configuration, 1 interface
        9, 4,    interfaceNumber,
        0, 2,    0xFF,
        0, 0,    0,  // vendor-class interface
        7, 5,    0x02,
        2, 64,   0,
        0,  // bulk OUT 0x02
        7, 5,    0x04,
        2, 64,   0,
        0,  // bulk OUT 0x04
    };
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

std::vector<uint8_t> ScriptedBus::bootloaderDescriptors() {
    std::vector<uint8_t> d = deviceDescriptor(0x2FFD, 0x0000);
    const std::vector<uint8_t> config = {
        9, 2,    27,   0,    1, 1,    0, 0x80, 50,    // configuration, 1 interface
        9, 4,    0,    0,    0, 0xFE, 1, 2,    0,     // DFU class, DFU mode
        9, 0x21, 0x0B, 0xFF, 0, 0,    4, 0x10, 0x01,  // DFU functional descriptor
    };
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

uint32_t ScriptedBus::plugDevice(uint16_t productId, std::vector<uint8_t> descriptors) {
    Presence presence;
    std::vector<emulator::BusListener*> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        presence.busId = nextBusId_++;
        presence.vendorId = 0x03EB;
        presence.productId = productId;
        presence.descriptors = std::move(descriptors);
        devices_.push_back(presence);
        listeners = listeners_;
    }
    for (auto* l : listeners) l->arrived(presence);
    return presence.busId;
}

void ScriptedBus::unplugDevice(uint32_t busId) {
    std::vector<emulator::BusListener*> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [busId](const Presence& p) { return p.busId == busId; });
        if (it == devices_.end())
            return;
        devices_.erase(it);
        listeners = listeners_;
    }
    for (auto* l : listeners) l->left(busId);
}

void ScriptedBus::unplug() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Presence& p : devices_) ids.push_back(p.busId);
    }
    for (uint32_t id : ids) unplugDevice(id);
}

void ScriptedBus::onControl(ControlHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    control_ = std::move(handler);
}

void ScriptedBus::onSetInterface(SetInterfaceHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    setInterface_ = std::move(handler);
}

std::vector<BusRequest> ScriptedBus::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ScriptedBus::waitForRequests(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= n; });
}

std::vector<Presence> ScriptedBus::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

void ScriptedBus::addListener(emulator::BusListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(listener);
}

void ScriptedBus::removeListener(emulator::BusListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

bool ScriptedBus::isPresent(uint32_t busId) const {
    return std::any_of(devices_.begin(), devices_.end(),
                       [busId](const Presence& p) { return p.busId == busId; });
}

Reply ScriptedBus::defaultControl(uint32_t busId, const uint8_t* setup, uint8_t* data,
                                  uint32_t* transferred) const {
    const uint16_t length = uint16_t(setup[6] | (setup[7] << 8));
    if ((setup[0] & 0x80) == 0) {
        *transferred = length;
        return Reply::Ack;
    }
    std::vector<uint8_t> answer;
    if (setup[0] == 0x80 && setup[1] == 6) {  // GET_DESCRIPTOR
        for (const Presence& p : devices_) {
            if (p.busId == busId)
                answer = p.descriptors;
        }
    } else {
        for (uint16_t i = 0; i < length; ++i) answer.push_back(uint8_t(i + 1));
    }
    *transferred = std::min<uint32_t>(length, uint32_t(answer.size()));
    std::copy(answer.begin(), answer.begin() + *transferred, data);
    return Reply::Ack;
}

Reply ScriptedBus::control(uint32_t busId, const uint8_t setup[8], uint8_t* data,
                           uint32_t* transferred) {
    *transferred = 0;
    ControlHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!isPresent(busId))
            return Reply::Gone;
        BusRequest r{busId, false, 0, std::vector<uint8_t>(setup, setup + 8), {}};
        const uint16_t length = uint16_t(setup[6] | (setup[7] << 8));
        if ((setup[0] & 0x80) == 0)
            r.data.assign(data, data + length);
        requests_.push_back(std::move(r));
        changed_.notify_all();
        handler = control_;
    }
    if (handler)
        return handler(busId, setup, data, transferred);
    std::lock_guard<std::mutex> lock(mutex_);
    return defaultControl(busId, setup, data, transferred);
}

Reply ScriptedBus::bulkOut(uint32_t busId, uint8_t endpoint, const uint8_t* data, uint32_t length,
                           uint32_t* transferred) {
    std::lock_guard<std::mutex> lock(mutex_);
    *transferred = 0;
    if (!isPresent(busId))
        return Reply::Gone;
    requests_.push_back(
        BusRequest{busId, true, endpoint, {}, std::vector<uint8_t>(data, data + length)});
    changed_.notify_all();
    *transferred = length;
    return Reply::Ack;
}

Reply ScriptedBus::setInterface(uint32_t busId, uint8_t interfaceNumber, uint8_t alternateSetting) {
    SetInterfaceHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!isPresent(busId))
            return Reply::Gone;
        handler = setInterface_;
    }
    return handler ? handler(interfaceNumber, alternateSetting) : Reply::Ack;
}

}  // namespace test
}  // namespace bvu
