// The bus's arrivals and departures turned into devices of the testbed.
#include "emulator/umockdev/adapter.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
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

// The descriptors of a high-speed hub with one interface: what libusb reads of the hub that a
// unit behind a port chain hangs on.
const std::vector<uint8_t> kHubDescriptors = {
    18, 1, 0x00, 0x02, 9, 0,  1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0,
    0,  0, 1,    9,    2, 25, 0, 1,  1,    0,    0xE0, 0,    9,    4,    0,
    0,  1, 9,    0,    0, 0,  7, 5,  0x81, 0x03, 4,    0,    12};

}  // namespace

struct UmockdevAdapter::Impl {
    std::vector<std::shared_ptr<EmulatedBus>> buses;
    // What each bus tells (its request and timer threads); one per bus.
    std::vector<std::unique_ptr<BusFeed>> feeds;
    std::unique_ptr<Testbed> testbed;

    std::mutex mutex;  // guards what follows
    struct Served {
        std::unique_ptr<UsbfsDevice> device;
        uint8_t devnum;
        std::string port;
    };
    std::map<uint64_t, Served> live;  // (bus, busId) -> device on the bus
    // Devices that have left: clients may still hold their nodes open and talk to them, so
    // their handlers live until the adapter ends.
    std::vector<std::unique_ptr<UsbfsDevice>> departed;
    std::set<uint64_t> leftIds;  // departures seen, so that a stale present() list is harmless
    std::map<std::string, uint8_t> hubs;  // port -> devnum: the hubs made for port chains
    uint8_t nextDevnum = kFirstDevnum;

    static uint64_t keyOf(uint32_t bus, uint32_t busId) {
        return (static_cast<uint64_t>(bus) << 32) | busId;
    }

    // Addresses are handed out in turn, as the kernel does, so a re-enumerated device shows up
    // under a new one.
    uint8_t allocateLocked() {
        for (int tries = kFirstDevnum; tries <= kLastDevnum; ++tries) {
            uint8_t candidate = nextDevnum;
            nextDevnum = nextDevnum == kLastDevnum ? kFirstDevnum : uint8_t(nextDevnum + 1);
            bool used = false;
            for (const auto& entry : live) used = used || entry.second.devnum == candidate;
            for (const auto& hub : hubs) used = used || hub.second == candidate;
            if (!used)
                return candidate;
        }
        return 0;
    }

    // The unit's own port, or for a bus that does not say, the lowest port of the root hub that
    // no device uses now.
    std::string portLocked(const Presence& presence) const {
        if (!presence.port.empty())
            return presence.port;
        for (int port = 1;; ++port) {
            bool used = false;
            for (const auto& entry : live) used = used || entry.second.port == std::to_string(port);
            if (!used)
                return std::to_string(port);
        }
    }

    // The hubs between the root hub and the port, made once each before the first device that
    // hangs on them.
    void hubsForLocked(const std::string& port) {
        for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1)) {
            const std::string hub = port.substr(0, dot);
            if (hubs.count(hub) != 0)
                continue;
            const uint8_t devnum = allocateLocked();
            if (devnum == 0)
                return;
            UsbNodeParams params;
            params.busnum = kBusnum;
            params.devnum = devnum;
            params.sysName = std::to_string(kBusnum) + "-" + hub;
            params.descriptors = kHubDescriptors;
            testbed->addHub(params);
            hubs[hub] = devnum;
        }
    }

    void arrived(uint32_t bus, const Presence& presence) {
        const uint64_t key = keyOf(bus, presence.busId);
        std::lock_guard<std::mutex> lock(mutex);
        if (live.count(key) != 0 || leftIds.count(key) != 0)
            return;
        const std::string port = portLocked(presence);
        for (const auto& entry : live) {
            if (entry.second.port == port) {
                std::fprintf(stderr, "umockdev adapter: two devices at port %s\n", port.c_str());
                return;
            }
        }
        hubsForLocked(port);
        const uint8_t devnum = allocateLocked();
        if (devnum == 0) {
            std::fprintf(stderr, "umockdev adapter: no free address on the bus\n");
            return;
        }
        std::string error;
        std::unique_ptr<UsbfsDevice> device = UsbfsDevice::create(
            buses[bus], presence, devnum, testbed->nodeFile(kBusnum, devnum), &error);
        if (!device) {
            std::fprintf(stderr, "umockdev adapter: %s\n", error.c_str());
            return;
        }
        UsbNodeParams params;
        params.busnum = kBusnum;
        params.devnum = devnum;
        params.sysName = std::to_string(kBusnum) + "-" + port;
        params.vendorId = presence.vendorId;
        params.productId = presence.productId;
        params.bcdDevice = word(presence.descriptors, 12);
        params.configurationValue = presence.descriptors.size() > 23 ? presence.descriptors[23] : 1;
        params.descriptors = presence.descriptors;
        testbed->addUsbDevice(params, device->handler());
        live[key] = Served{std::move(device), devnum, port};
    }

    void left(uint64_t key) {
        UsbfsDevice* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            leftIds.insert(key);
            auto it = live.find(key);
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
    return start(std::vector<std::shared_ptr<EmulatedBus>>{std::move(bus)}, error);
}

std::unique_ptr<UmockdevAdapter> UmockdevAdapter::start(
    std::vector<std::shared_ptr<EmulatedBus>> buses, std::string* error) {
    std::unique_ptr<Impl> impl(new Impl);
    impl->buses = std::move(buses);
    Impl* raw = impl.get();
    for (size_t b = 0; b < impl->buses.size(); ++b) {
        impl->feeds.emplace_back(new BusFeed(
            static_cast<uint32_t>(b),
            [raw](uint32_t bus, const Presence& presence) { raw->arrived(bus, presence); },
            [raw](uint32_t bus, uint32_t busId) { raw->left(Impl::keyOf(bus, busId)); }));
    }
    impl->testbed = Testbed::create(error);
    if (!impl->testbed)
        return nullptr;
    // Listen first, then look: an arrival in between is seen twice and served once.
    for (size_t b = 0; b < impl->buses.size(); ++b) {
        impl->buses[b]->addListener(impl->feeds[b].get());
        for (const Presence& presence : impl->buses[b]->present())
            impl->arrived(static_cast<uint32_t>(b), presence);
    }
    impl->testbed->settle();
    return std::unique_ptr<UmockdevAdapter>(new UmockdevAdapter(std::move(impl)));
}

UmockdevAdapter::UmockdevAdapter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

UmockdevAdapter::~UmockdevAdapter() {
    // Each returns once no delivery is under way.
    for (size_t b = 0; b < impl_->buses.size(); ++b)
        impl_->buses[b]->removeListener(impl_->feeds[b].get());
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
