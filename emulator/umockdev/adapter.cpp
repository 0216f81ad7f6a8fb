// The bus's arrivals and departures turned into devices of the testbed.
#include "emulator/umockdev/adapter.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "emulator/umockdev/testbed.h"
#include "emulator/umockdev/usbfs_device.h"

namespace bvu {
namespace emulator {
namespace {

constexpr uint8_t kBusnum = 1;
constexpr uint8_t kFirstDevnum = 2;  // 1 would be the root hub
constexpr uint8_t kLastDevnum = 127;

uint16_t word(const std::vector<uint8_t>& bytes, size_t at) {
    return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)) : 0;
}

}  // namespace

struct UmockdevAdapter::Impl : BusListener {
    std::shared_ptr<EmulatedBus> bus;
    std::unique_ptr<Testbed> testbed;

    std::mutex mutex;  // guards what follows
    struct Served {
        std::unique_ptr<UsbfsDevice> device;
        uint8_t devnum;
    };
    std::map<uint32_t, Served> live;  // busId -> device on the bus
    // Devices that have left: clients may still hold their nodes open and talk to them, so
    // their handlers live until the adapter ends.
    std::vector<std::unique_ptr<UsbfsDevice>> departed;
    std::set<uint32_t> leftIds;  // departures seen, so that a stale present() list is harmless
    uint8_t nextDevnum = kFirstDevnum;

    // Addresses are handed out in turn, as the kernel does, so a re-enumerated device shows up
    // under a new one.
    uint8_t allocateLocked() {
        for (int tries = kFirstDevnum; tries <= kLastDevnum; ++tries) {
            uint8_t candidate = nextDevnum;
            nextDevnum = nextDevnum == kLastDevnum ? kFirstDevnum : uint8_t(nextDevnum + 1);
            bool used = false;
            for (const auto& entry : live) used = used || entry.second.devnum == candidate;
            if (!used)
                return candidate;
        }
        return 0;
    }

    void arrived(const Presence& presence) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (live.count(presence.busId) != 0 || leftIds.count(presence.busId) != 0)
            return;
        const uint8_t devnum = allocateLocked();
        if (devnum == 0) {
            std::fprintf(stderr, "umockdev adapter: no free address on the bus\n");
            return;
        }
        std::string error;
        std::unique_ptr<UsbfsDevice> device =
            UsbfsDevice::create(bus, presence, devnum, testbed->nodeFile(kBusnum, devnum), &error);
        if (!device) {
            std::fprintf(stderr, "umockdev adapter: %s\n", error.c_str());
            return;
        }
        UsbNodeParams params;
        params.busnum = kBusnum;
        params.devnum = devnum;
        params.vendorId = presence.vendorId;
        params.productId = presence.productId;
        params.bcdDevice = word(presence.descriptors, 12);
        params.configurationValue = presence.descriptors.size() > 23 ? presence.descriptors[23] : 1;
        params.descriptors = presence.descriptors;
        testbed->addUsbDevice(params, device->handler());
        live[presence.busId] = Served{std::move(device), devnum};
    }

    void left(uint32_t busId) override {
        UsbfsDevice* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            leftIds.insert(busId);
            auto it = live.find(busId);
            if (it == live.end())
                return;
            device = it->second.device.get();
            testbed->removeUsbDevice(kBusnum, it->second.devnum);
            departed.push_back(std::move(it->second.device));
            live.erase(it);
        }
        device->markGone();  // kept alive by departed until the adapter ends
    }
};

std::unique_ptr<UmockdevAdapter> UmockdevAdapter::start(std::shared_ptr<EmulatedBus> bus,
                                                        std::string* error) {
    std::unique_ptr<Impl> impl(new Impl);
    impl->bus = std::move(bus);
    impl->testbed = Testbed::create(error);
    if (!impl->testbed)
        return nullptr;
    // Listen first, then look: an arrival in between is seen twice and served once.
    impl->bus->addListener(impl.get());
    for (const Presence& presence : impl->bus->present()) impl->arrived(presence);
    impl->testbed->settle();
    return std::unique_ptr<UmockdevAdapter>(new UmockdevAdapter(std::move(impl)));
}

UmockdevAdapter::UmockdevAdapter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

UmockdevAdapter::~UmockdevAdapter() {
    impl_->bus->removeListener(impl_.get());  // returns once no delivery is under way
    std::vector<std::unique_ptr<UsbfsDevice>> devices;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& entry : impl_->live) devices.push_back(std::move(entry.second.device));
        impl_->live.clear();
        for (auto& device : impl_->departed) devices.push_back(std::move(device));
        impl_->departed.clear();
    }
    for (auto& device : devices) device->markGone();
    impl_->testbed.reset();  // removes the devices, detaches the handlers, deletes the folder
    devices.clear();         // then the handlers and their workers
}

const std::string& UmockdevAdapter::rootDir() const {
    return impl_->testbed->root();
}

void UmockdevAdapter::settle() {
    impl_->testbed->settle();
}

}  // namespace emulator
}  // namespace bvu
