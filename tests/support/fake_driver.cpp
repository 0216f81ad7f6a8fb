#include "tests/support/fake_driver.h"

#include <chrono>

namespace bvu {
namespace test {

class FakeBus::File : public kd::KernelDriver {
public:
    explicit File(std::shared_ptr<FakeBus> bus) : bus_(std::move(bus)) {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        bus_->files_.push_back(this);
    }
    ~File() override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        auto& files = bus_->files_;
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (*it == this) {
                files.erase(it);
                break;
            }
        }
    }

    UDA_STATUS queryVersion(uint32_t* version) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        *version = bus_->version_;
        return 0;
    }

    UDA_STATUS registerEvents(kd::EventRecord& record) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        if (bus_->registerStatus_ != 0) return bus_->registerStatus_;
        record.handle = bus_->nextHandle_++;
        registration_ = record;
        registered_ = true;
        bus_->registrations_.push_back(record);
        for (auto& [id, device] : bus_->devices_) {
            if (device.present && bus_->matches(*this, device.info)) queue(kd::kEventAttach, id);
        }
        return 0;
    }
    UDA_STATUS unregisterEvents(const kd::EventRecord&) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        registered_ = false;
        return 0;
    }
    UDA_STATUS waitPrepare(kd::WaitRecord&) override { return 0; }
    UDA_STATUS waitForEvent(kd::WaitRecord& wait) override {
        std::unique_lock<std::mutex> lock(bus_->mutex_);
        bus_->changed_.wait(lock, [&] { return cancelled_ || !pending_.empty(); });
        wait.result = cancelled_ ? kd::kWaitCancelled : kd::kWaitEventPending;
        return 0;
    }
    UDA_STATUS waitCancel(kd::WaitRecord&) override {
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            cancelled_ = true;
        }
        bus_->changed_.notify_all();
        return 0;
    }
    UDA_STATUS pullEvent(kd::EventRecord& record) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        if (pending_.empty()) {
            record.code = 0;
            return 0;
        }
        auto [code, id] = pending_.front();
        pending_.pop_front();
        record.code = code;
        record.uniqueId = id;
        record.options = registration_.options;
        return 0;
    }
    UDA_STATUS acknowledgeEvent(const kd::EventRecord& record) override {
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            bus_->acks_.push_back(record);
        }
        bus_->changed_.notify_all();
        return 0;
    }
    UDA_STATUS setInterface(uint32_t id, uint32_t iface, uint32_t alt) override {
        std::function<UDA_STATUS(uint32_t, uint32_t, uint32_t)> handler;
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            auto it = bus_->devices_.find(id);
            if (it == bus_->devices_.end() || !it->second.present) return UDA_DEVICE_NOT_FOUND;
            handler = bus_->setInterfaceHandler_;
        }
        return handler ? handler(id, iface, alt) : 0;
    }
    UDA_STATUS transfer(kd::TransferRequest& request) override {
        FakeBus::TransferHandler handler;
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            FakeTransfer t{request.uniqueId, request.pipe, request.read, {}, {}, request.size,
                           request.timeoutMs};
            if (request.pipe == 0) t.setup.assign(request.setup, request.setup + 8);
            if (!request.read && request.buffer != nullptr) {
                auto* p = static_cast<const uint8_t*>(request.buffer);
                t.data.assign(p, p + request.size);
            }
            bus_->transfers_.push_back(std::move(t));
            auto it = bus_->devices_.find(request.uniqueId);
            if (it == bus_->devices_.end() || !it->second.present) return UDA_DEVICE_NOT_FOUND;
            handler = bus_->transferHandler_;
        }
        return handler ? handler(request) : 0;
    }
    UDA_STATUS deviceInfo(uint32_t id, UDA_DeviceInfo& info) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        auto it = bus_->devices_.find(id);
        if (it == bus_->devices_.end() || !it->second.present) return UDA_DEVICE_NOT_FOUND;
        info = it->second.info;
        return 0;
    }

    // Called with the bus mutex held.
    void queue(uint32_t code, uint32_t id) {
        if (!registered_ || (registration_.code & code) == 0) return;
        pending_.emplace_back(code, id);
        bus_->changed_.notify_all();
    }
    const kd::EventRecord& registration() const { return registration_; }
    bool registered() const { return registered_; }

private:
    std::shared_ptr<FakeBus> bus_;
    kd::EventRecord registration_;
    bool registered_ = false;
    bool cancelled_ = false;
    std::deque<std::pair<uint32_t, uint32_t>> pending_;
};

UDA_DeviceInfo FakeBus::makeInfo(uint16_t vendorId, uint16_t productId, uint8_t interfaceNumber,
                                 std::vector<uint32_t> pipes, uint16_t bcdDevice) {
    UDA_DeviceInfo info;
    info.deviceDescriptor = UDA_DeviceDescriptor{18, 1, 0x0200, 0, 0, 0, 64, vendorId,
                                                 productId, bcdDevice, 1, 2, 3, 1};
    info.configuration.numInterfaces = 1;
    UDA_AlternateSetting alt;
    alt.descriptor = UDA_InterfaceDescriptor{9, 4, interfaceNumber, 0,
                                             static_cast<uint8_t>(pipes.size()), 0xFF, 0, 0, 0};
    for (uint32_t p : pipes) alt.pipes.push_back(UDA_PipeInfo{p, UDA_PIPE_BULK, 64, 0, 0});
    UDA_Interface iface;
    iface.alternateSettings.push_back(alt);
    info.activeInterfaces.push_back(iface);
    return info;
}

kd::KernelDriverFactory FakeBus::factory() {
    std::weak_ptr<FakeBus> weak = shared_from_this();
    return [weak](UDA_STATUS* status) -> std::unique_ptr<kd::KernelDriver> {
        auto bus = weak.lock();
        if (!bus) {
            *status = UDA_INTERNAL_SYSTEM_ERROR;
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(bus->mutex_);
            if (bus->openStatus_ != 0) {
                *status = bus->openStatus_;
                return nullptr;
            }
        }
        *status = 0;
        return std::unique_ptr<kd::KernelDriver>(new File(bus));
    };
}

bool FakeBus::matches(const File& file, const UDA_DeviceInfo& info) const {
    for (const UDA_MatchTable& m : file.registration().matchTables) {
        if (m.vendorId == info.deviceDescriptor.idVendor &&
            m.productId == info.deviceDescriptor.idProduct)
            return true;
    }
    return false;
}

uint32_t FakeBus::plug(const UDA_DeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t id = nextId_++;
    devices_[id].info = info;
    for (File* f : files_) {
        if (f->registered() && matches(*f, info)) f->queue(kd::kEventAttach, id);
    }
    return id;
}

void FakeBus::unplug(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end() || !it->second.present) return;
    it->second.present = false;
    for (File* f : files_) {
        if (f->registered() && matches(*f, it->second.info)) f->queue(kd::kEventDetach, id);
    }
}

void FakeBus::onTransfer(TransferHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    transferHandler_ = std::move(handler);
}
void FakeBus::onSetInterface(std::function<UDA_STATUS(uint32_t, uint32_t, uint32_t)> h) {
    std::lock_guard<std::mutex> lock(mutex_);
    setInterfaceHandler_ = std::move(h);
}
void FakeBus::setVersion(uint32_t v) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = v;
}
void FakeBus::setOpenStatus(UDA_STATUS s) {
    std::lock_guard<std::mutex> lock(mutex_);
    openStatus_ = s;
}
void FakeBus::setRegisterStatus(UDA_STATUS s) {
    std::lock_guard<std::mutex> lock(mutex_);
    registerStatus_ = s;
}
std::vector<FakeTransfer> FakeBus::transfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}
size_t FakeBus::transferCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_.size();
}
std::vector<kd::EventRecord> FakeBus::acknowledgements() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acks_;
}
std::vector<kd::EventRecord> FakeBus::registrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registrations_;
}
int FakeBus::openFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(files_.size());
}
bool FakeBus::waitForAcknowledgements(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return acks_.size() >= n; });
}

}  // namespace test
}  // namespace bvu
