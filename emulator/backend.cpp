#include "emulator/backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "usb/host_driver.h"

namespace bvu {
namespace emulator {
namespace {

constexpr uint32_t kSetInterfaceTimeoutMs = 5000;
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;

UDA_STATUS statusOfReply(Reply reply) {
    switch (reply) {
        case Reply::Ack:
            return UDA_SUCCESS;
        case Reply::Stall:
            return UDA_HC_STALL_PID;
        case Reply::Gone:
            return UDA_DEVICE_NOT_FOUND;
        case Reply::NoAnswer:
            break;
    }
    return UDA_TIMEOUT_EXPIRED;
}

// Where a unit on an emulated bus is plugged, as libusb would name it: bus 1, its port.
std::string locationOf(const Presence& presence) {
    return presence.port.empty() ? std::string() : "1-" + presence.port;
}

// The adapter's ids: every bus numbers its arrivals from 1, so the index of the bus goes into
// the high byte (the first bus's ids are its bus ids).
constexpr uint32_t kMaxBuses = 16;
constexpr uint32_t kBusShift = 24;

class EmulatorHost final : public kd::Host {
  public:
    explicit EmulatorHost(std::vector<std::shared_ptr<EmulatedBus>> buses)
        : buses_(std::move(buses)) {
        for (size_t i = 0; i < buses_.size(); ++i) {
            feeds_.emplace_back(new BusFeed(
                static_cast<uint32_t>(i),
                [this](uint32_t bus, const Presence& presence) { arrived(bus, presence); },
                [this](uint32_t bus, uint32_t busId) { left(idOf(bus, busId)); }));
        }
    }

    ~EmulatorHost() override {
        bool listening;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listening = events_ != nullptr;
        }
        if (listening) {
            for (size_t i = 0; i < buses_.size(); ++i) buses_[i]->removeListener(feeds_[i].get());
        }
    }

    UDA_STATUS listen(kd::HostEvents* events, const std::vector<kd::WantedDevice>&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_ = events;
        }
        for (size_t i = 0; i < buses_.size(); ++i) buses_[i]->addListener(feeds_[i].get());
        return 0;
    }

    std::vector<kd::HostDevice> present() override {
        std::vector<kd::HostDevice> devices;
        for (uint32_t bus = 0; bus < buses_.size(); ++bus) {
            for (const Presence& p : buses_[bus]->present()) {
                const uint32_t id = idOf(bus, p.busId);
                std::lock_guard<std::mutex> lock(mutex_);
                descriptors_.emplace(id, p.descriptors);
                devices.push_back(kd::HostDevice{id, p.vendorId, p.productId, locationOf(p)});
            }
        }
        return devices;
    }

    UDA_STATUS open(uint32_t id, std::vector<uint8_t>* descriptors, kd::Unusable*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = descriptors_.find(id);
        if (it == descriptors_.end())
            return UDA_DEVICE_NOT_FOUND;
        *descriptors = it->second;
        return 0;
    }

    UDA_STATUS setInterface(uint32_t id, uint8_t interfaceNumber,
                            uint8_t alternateSetting) override {
        const auto start = clock::now();
        Reply reply = busOf(id).setInterface(busIdOf(id), interfaceNumber, alternateSetting);
        return reply == Reply::NoAnswer ? awaitTimeOut(id, start, kSetInterfaceTimeoutMs)
                                        : statusOfReply(reply);
    }

    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) override {
        const auto start = clock::now();
        *transferred = 0;
        Reply reply = busOf(id).control(busIdOf(id), setup, data, transferred);
        return finish(reply, id, start, timeoutMs, transferred);
    }

    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) override {
        const auto start = clock::now();
        *transferred = 0;
        Reply reply = busOf(id).bulkOut(busIdOf(id), endpoint, data, length, transferred);
        return finish(reply, id, start, timeoutMs, transferred);
    }

    void close(uint32_t) override {}  // the bus holds nothing for a program

    // CLEAR_FEATURE(ENDPOINT_HALT) on the bus, as a host sends it (with the kernel's time-out).
    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        const auto start = clock::now();
        const uint8_t setup[8] = {0x02, 0x01, 0x00, 0x00, endpoint, 0x00, 0x00, 0x00};
        uint8_t none = 0;
        uint32_t transferred = 0;
        Reply reply = busOf(id).control(busIdOf(id), setup, &none, &transferred);
        return reply == Reply::NoAnswer ? awaitTimeOut(id, start, kSetInterfaceTimeoutMs)
                                        : statusOfReply(reply);
    }

  private:
    static uint32_t idOf(uint32_t bus, uint32_t busId) { return bus << kBusShift | busId; }
    EmulatedBus& busOf(uint32_t id) const { return *buses_[id >> kBusShift]; }
    static uint32_t busIdOf(uint32_t id) { return id & ((1u << kBusShift) - 1); }

    void arrived(uint32_t bus, const Presence& presence) {
        const uint32_t id = idOf(bus, presence.busId);
        kd::HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            descriptors_[id] = presence.descriptors;
            events = events_;
        }
        events->arrived(
            kd::HostDevice{id, presence.vendorId, presence.productId, locationOf(presence)});
    }

    void left(uint32_t id) {
        kd::HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            descriptors_.erase(id);
            events = events_;
        }
        changed_.notify_all();  // the requests that wait for an answer from this device
        events->left(id);
    }

    UDA_STATUS finish(Reply reply, uint32_t id, clock::TimePoint start, uint32_t timeoutMs,
                      uint32_t* transferred) {
        if (reply != Reply::Ack)
            *transferred = 0;
        return reply == Reply::NoAnswer ? awaitTimeOut(id, start, timeoutMs) : statusOfReply(reply);
    }

    // The device gave no answer: the host waits out the request's time-out, or until the
    // device leaves the bus.
    UDA_STATUS awaitTimeOut(uint32_t id, clock::TimePoint start, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto gone = [&] { return descriptors_.count(id) == 0; };
        if (timeoutMs == 0 || timeoutMs == kNoTimeLimit) {
            changed_.wait(lock, gone);
            return UDA_DEVICE_NOT_FOUND;
        }
        const auto deadline = start + clock::scaled(std::chrono::milliseconds(timeoutMs));
        return changed_.wait_until(lock, deadline, gone) ? UDA_DEVICE_NOT_FOUND
                                                         : UDA_TIMEOUT_EXPIRED;
    }

    const std::vector<std::shared_ptr<EmulatedBus>> buses_;
    // What each bus tells, from its request and timer threads; one per bus, in the same order.
    std::vector<std::unique_ptr<BusFeed>> feeds_;
    std::mutex mutex_;
    std::condition_variable changed_;   // a device left
    kd::HostEvents* events_ = nullptr;  // set by listen()
    // The devices on the buses as this adapter last heard, with the descriptors they presented.
    std::map<uint32_t, std::vector<uint8_t>> descriptors_;
};

}  // namespace

std::unique_ptr<kd::Host> makeEmulatorHost(std::shared_ptr<EmulatedBus> bus) {
    return makeEmulatorHost(std::vector<std::shared_ptr<EmulatedBus>>{std::move(bus)});
}

std::unique_ptr<kd::Host> makeEmulatorHost(std::vector<std::shared_ptr<EmulatedBus>> buses) {
    return std::unique_ptr<kd::Host>(new EmulatorHost(std::move(buses)));
}

std::shared_ptr<EmulatedBus> openBusForHost(const std::string& statePath, UDA_STATUS* status) {
    std::string why;
    std::shared_ptr<EmulatedBus> bus = openBus(statePath, &why);
    if (!bus) {
        // The layer above turns this into "Failed to open USB driver" and nothing more; the
        // user needs to know which file to look at.
        if (statePath.empty()) {
            std::fprintf(stderr,
                         "Emulated USB device: no state file given (BVU_USB=emulator:PATH)\n");
        } else if (why.find(statePath) != std::string::npos) {
            std::fprintf(stderr, "Emulated USB device: %s\n", why.c_str());  // names the file
        } else {
            std::fprintf(stderr, "Emulated USB device: cannot use state file \"%s\": %s\n",
                         statePath.c_str(), why.empty() ? "it cannot be read" : why.c_str());
        }
        std::fflush(stderr);
        *status = UDA_FAILED_TO_OPEN_DRIVER;
        return nullptr;
    }
    *status = 0;
    return bus;
}

std::unique_ptr<kd::Host> openEmulatorHost(const std::string& statePaths, UDA_STATUS* status) {
    std::vector<std::shared_ptr<EmulatedBus>> buses;
    for (const std::string& path : splitStatePaths(statePaths)) {
        buses.push_back(openBusForHost(path, status));
        if (!buses.back())
            return nullptr;
    }
    if (buses.empty())
        buses.push_back(openBusForHost("", status));  // says that the file is missing
    if (!buses.back())
        return nullptr;
    std::string why;
    if (buses.size() > kMaxBuses || !portsApart(buses, &why)) {
        std::fprintf(stderr, "Emulated USB device: %s\n",
                     buses.size() > kMaxBuses ? "at most 16 state files" : why.c_str());
        std::fflush(stderr);
        *status = UDA_FAILED_TO_OPEN_DRIVER;
        return nullptr;
    }
    return makeEmulatorHost(std::move(buses));
}

std::vector<std::string> splitStatePaths(const std::string& text) {
    std::vector<std::string> paths;
    size_t at = 0;
    while (at <= text.size() && !text.empty()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        if (comma > at)
            paths.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return paths;
}

std::unique_ptr<kd::KernelDriver> makeEmulatorDriver(std::shared_ptr<EmulatedBus> bus) {
    return kd::makeHostDriver(makeEmulatorHost(std::move(bus)));
}

std::unique_ptr<kd::KernelDriver> openEmulatorDriver(const std::string& statePath,
                                                     UDA_STATUS* status) {
    std::unique_ptr<kd::Host> host = openEmulatorHost(statePath, status);
    return host ? kd::makeHostDriver(std::move(host)) : nullptr;
}

}  // namespace emulator
}  // namespace bvu
