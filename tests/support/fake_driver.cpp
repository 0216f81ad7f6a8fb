#include "tests/support/fake_driver.h"

#include <algorithm>
#include <chrono>

#include "usb/host_driver.h"

namespace bvu {
namespace test {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

// The descriptors a device with this information tree sends (what the host adapters report).
std::vector<uint8_t> descriptorsOf(const UDA_DeviceInfo& info) {
    const UDA_DeviceDescriptor& d = info.deviceDescriptor;
    std::vector<uint8_t> out = {18, 1};
    put16(out, d.bcdUSB);
    out.insert(out.end(),
               {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    put16(out, d.idVendor);
    put16(out, d.idProduct);
    put16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    const size_t config = out.size();
    out.insert(out.end(), {9, 2, 0, 0, static_cast<uint8_t>(info.configuration.numInterfaces),
                           info.configuration.bConfigurationValue, 0, 0x80, 50});
    for (const UDA_Interface& iface : info.activeInterfaces) {
        for (const UDA_AlternateSetting& alt : iface.alternateSettings) {
            const UDA_InterfaceDescriptor& i = alt.descriptor;
            out.insert(out.end(), {9, 4, i.bInterfaceNumber, i.bAlternateSetting,
                                   static_cast<uint8_t>(alt.pipes.size()), i.bInterfaceClass,
                                   i.bInterfaceSubClass, i.bInterfaceProtocol, i.iInterface});
            for (const UDA_PipeInfo& p : alt.pipes) {
                out.insert(out.end(), {7, 5, static_cast<uint8_t>(p.number),
                                       static_cast<uint8_t>(p.type & 0x03)});
                put16(out, p.maxPacketSize);
                out.push_back(static_cast<uint8_t>(p.interval));
            }
        }
    }
    const size_t total = out.size() - config;
    out[config + 2] = static_cast<uint8_t>(total & 0xFF);
    out[config + 3] = static_cast<uint8_t>(total >> 8);
    return out;
}

}  // namespace

// One driver file's view of the bus: the host adapter under the driver core.
class FakeBus::Port : public kd::Host {
  public:
    explicit Port(std::shared_ptr<FakeBus> bus) : bus_(std::move(bus)) {}
    ~Port() override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        auto& ports = bus_->ports_;
        ports.erase(std::remove(ports.begin(), ports.end(), this), ports.end());
    }

    UDA_STATUS listen(kd::HostEvents* events, const std::vector<kd::WantedDevice>&) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        if (bus_->registerStatus_ != 0)
            return bus_->registerStatus_;
        events_ = events;
        bus_->ports_.push_back(this);
        return 0;
    }
    std::vector<kd::HostDevice> present() override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        std::vector<kd::HostDevice> out;
        for (auto& [id, device] : bus_->devices_) {
            if (device.present)
                out.push_back(hostDevice(id, device.info));
        }
        return out;
    }
    UDA_STATUS open(uint32_t id, std::vector<uint8_t>* descriptors, kd::Unusable*) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        auto it = bus_->devices_.find(id);
        if (it == bus_->devices_.end() || !it->second.present)
            return UDA_DEVICE_NOT_FOUND;
        *descriptors = descriptorsOf(it->second.info);
        return 0;
    }
    UDA_STATUS setInterface(uint32_t id, uint8_t iface, uint8_t alt) override {
        std::function<UDA_STATUS(uint32_t, uint32_t, uint32_t)> handler;
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            auto it = bus_->devices_.find(id);
            if (it == bus_->devices_.end() || !it->second.present)
                return UDA_DEVICE_NOT_FOUND;
            handler = bus_->setInterfaceHandler_;
        }
        return handler ? handler(id, iface, alt) : 0;
    }
    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) override {
        kd::TransferRequest request;
        request.uniqueId = id;
        request.read = setup[0] >> 7;
        request.buffer = data;
        request.size = static_cast<uint32_t>(setup[6] | (setup[7] << 8));
        request.timeoutMs = timeoutMs;
        std::copy(setup, setup + 8, request.setup);
        return run(request, transferred);
    }
    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) override {
        kd::TransferRequest request;
        request.uniqueId = id;
        request.pipe = endpoint;
        request.buffer = const_cast<uint8_t*>(data);
        request.size = length;
        request.timeoutMs = timeoutMs;
        return run(request, transferred);
    }
    void close(uint32_t) override {}
    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        std::function<UDA_STATUS(uint32_t, uint8_t)> handler;
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            bus_->haltClears_.emplace_back(id, endpoint);
            auto it = bus_->devices_.find(id);
            if (it == bus_->devices_.end() || !it->second.present)
                return UDA_DEVICE_NOT_FOUND;
            handler = bus_->clearHaltHandler_;
        }
        return handler ? handler(id, endpoint) : 0;
    }

    kd::HostEvents* events() const { return events_; }  // with the bus's lock held
    static kd::HostDevice hostDevice(uint32_t id, const UDA_DeviceInfo& info) {
        return kd::HostDevice{id, info.deviceDescriptor.idVendor, info.deviceDescriptor.idProduct,
                              info.location};
    }

  private:
    UDA_STATUS run(kd::TransferRequest& request, uint32_t* transferred) {
        FakeBus::TransferHandler handler;
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            FakeTransfer t{request.uniqueId, request.pipe,     request.read, {}, {},
                           request.size,     request.timeoutMs};
            if (request.pipe == 0)
                t.setup.assign(request.setup, request.setup + 8);
            if (!request.read && request.buffer != nullptr) {
                auto* p = static_cast<const uint8_t*>(request.buffer);
                t.data.assign(p, p + request.size);
            }
            bus_->transfers_.push_back(std::move(t));
            auto it = bus_->devices_.find(request.uniqueId);
            if (it == bus_->devices_.end() || !it->second.present)
                return UDA_DEVICE_NOT_FOUND;
            handler = bus_->transferHandler_;
        }
        UDA_STATUS s = handler ? handler(request) : 0;
        *transferred = request.transferred;
        return s;
    }

    std::shared_ptr<FakeBus> bus_;
    kd::HostEvents* events_ = nullptr;  // guarded by the bus's lock
};

// A driver file: the driver core over a port, with what the layer asks of it recorded.
class FakeBus::File : public kd::KernelDriver {
  public:
    explicit File(std::shared_ptr<FakeBus> bus)
        : bus_(bus), core_(kd::makeHostDriver(std::unique_ptr<kd::Host>(new Port(bus)))) {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        ++bus_->files_;
    }
    ~File() override {
        core_.reset();
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        --bus_->files_;
    }

    UDA_STATUS queryVersion(uint32_t* version) override {
        std::lock_guard<std::mutex> lock(bus_->mutex_);
        *version = bus_->version_;
        return 0;
    }
    UDA_STATUS registerEvents(kd::EventRecord& record) override {
        UDA_STATUS s = core_->registerEvents(record);
        if (s == 0) {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            bus_->registrations_.push_back(record);
        }
        return s;
    }
    UDA_STATUS unregisterEvents(const kd::EventRecord& r) override {
        return core_->unregisterEvents(r);
    }
    UDA_STATUS waitPrepare(kd::WaitRecord& w) override { return core_->waitPrepare(w); }
    UDA_STATUS waitForEvent(kd::WaitRecord& w) override { return core_->waitForEvent(w); }
    UDA_STATUS waitCancel(kd::WaitRecord& w) override { return core_->waitCancel(w); }
    UDA_STATUS pullEvent(kd::EventRecord& r) override { return core_->pullEvent(r); }
    UDA_STATUS acknowledgeEvent(const kd::EventRecord& record) override {
        UDA_STATUS s = core_->acknowledgeEvent(record);
        {
            std::lock_guard<std::mutex> lock(bus_->mutex_);
            bus_->acks_.push_back(record);
        }
        bus_->changed_.notify_all();
        return s;
    }
    UDA_STATUS setInterface(uint32_t id, uint32_t iface, uint32_t alt) override {
        return core_->setInterface(id, iface, alt);
    }
    UDA_STATUS transfer(kd::TransferRequest& r) override { return core_->transfer(r); }
    UDA_STATUS deviceInfo(uint32_t id, UDA_DeviceInfo& info) override {
        return core_->deviceInfo(id, info);
    }
    UDA_STATUS listDevices(const std::vector<UDA_MatchTable>& tables,
                           std::vector<UDA_PresentDevice>* devices) override {
        return core_->listDevices(tables, devices);
    }

  private:
    std::shared_ptr<FakeBus> bus_;
    std::unique_ptr<kd::KernelDriver> core_;
};

UDA_DeviceInfo FakeBus::makeInfo(uint16_t vendorId, uint16_t productId, uint8_t interfaceNumber,
                                 std::vector<uint32_t> pipes, uint16_t bcdDevice) {
    UDA_DeviceInfo info;
    info.deviceDescriptor = UDA_DeviceDescriptor{18,       1,         0x0200,    0, 0, 0, 64,
                                                 vendorId, productId, bcdDevice, 1, 2, 3, 1};
    info.configuration.numInterfaces = 1;
    UDA_AlternateSetting alt;
    alt.descriptor = UDA_InterfaceDescriptor{
        9, 4, interfaceNumber, 0, static_cast<uint8_t>(pipes.size()), 0xFF, 0, 0, 0};
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

void FakeBus::tell(const std::function<void(kd::HostEvents*)>& f) {
    for (Port* port : ports_) f(port->events());
}

uint32_t FakeBus::plug(const UDA_DeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t id = nextId_++;
    devices_[id].info = info;
    tell([&](kd::HostEvents* events) { events->arrived(Port::hostDevice(id, info)); });
    return id;
}

void FakeBus::unplug(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end() || !it->second.present)
        return;
    it->second.present = false;
    tell([&](kd::HostEvents* events) { events->left(id); });
}

void FakeBus::onTransfer(TransferHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    transferHandler_ = std::move(handler);
}
void FakeBus::onSetInterface(std::function<UDA_STATUS(uint32_t, uint32_t, uint32_t)> h) {
    std::lock_guard<std::mutex> lock(mutex_);
    setInterfaceHandler_ = std::move(h);
}
void FakeBus::onClearHalt(std::function<UDA_STATUS(uint32_t, uint8_t)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearHaltHandler_ = std::move(handler);
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
std::vector<std::pair<uint32_t, uint8_t>> FakeBus::haltClears() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return haltClears_;
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
    return files_;
}
bool FakeBus::waitForAcknowledgements(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return acks_.size() >= n; });
}

}  // namespace test
}  // namespace bvu
