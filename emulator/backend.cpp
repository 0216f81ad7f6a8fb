#include "emulator/backend.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

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

class EmulatorHost final : public kd::Host, private BusListener {
  public:
    explicit EmulatorHost(std::shared_ptr<EmulatedBus> bus) : bus_(std::move(bus)) {}

    ~EmulatorHost() override {
        bool listening;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listening = events_ != nullptr;
        }
        if (listening)
            bus_->removeListener(this);
    }

    UDA_STATUS listen(kd::HostEvents* events, const std::vector<kd::WantedDevice>&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_ = events;
        }
        bus_->addListener(this);
        return 0;
    }

    std::vector<kd::HostDevice> present() override {
        std::vector<kd::HostDevice> devices;
        for (const Presence& p : bus_->present()) {
            std::lock_guard<std::mutex> lock(mutex_);
            descriptors_.emplace(p.busId, p.descriptors);
            devices.push_back(kd::HostDevice{p.busId, p.vendorId, p.productId});
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
        Reply reply = bus_->setInterface(id, interfaceNumber, alternateSetting);
        return reply == Reply::NoAnswer ? awaitTimeOut(id, start, kSetInterfaceTimeoutMs)
                                        : statusOfReply(reply);
    }

    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) override {
        const auto start = clock::now();
        *transferred = 0;
        Reply reply = bus_->control(id, setup, data, transferred);
        return finish(reply, id, start, timeoutMs, transferred);
    }

    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) override {
        const auto start = clock::now();
        *transferred = 0;
        Reply reply = bus_->bulkOut(id, endpoint, data, length, transferred);
        return finish(reply, id, start, timeoutMs, transferred);
    }

    void close(uint32_t) override {}  // the bus holds nothing for a program

    // CLEAR_FEATURE(ENDPOINT_HALT) on the bus, as a host sends it (with the kernel's time-out).
    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        const auto start = clock::now();
        const uint8_t setup[8] = {0x02, 0x01, 0x00, 0x00, endpoint, 0x00, 0x00, 0x00};
        uint8_t none = 0;
        uint32_t transferred = 0;
        Reply reply = bus_->control(id, setup, &none, &transferred);
        return reply == Reply::NoAnswer ? awaitTimeOut(id, start, kSetInterfaceTimeoutMs)
                                        : statusOfReply(reply);
    }

  private:
    // ---- BusListener: the bus's request and timer threads. ---------------------------------

    void arrived(const Presence& presence) override {
        kd::HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            descriptors_[presence.busId] = presence.descriptors;
            events = events_;
        }
        events->arrived(kd::HostDevice{presence.busId, presence.vendorId, presence.productId});
    }

    void left(uint32_t busId) override {
        kd::HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            descriptors_.erase(busId);
            events = events_;
        }
        changed_.notify_all();  // the requests that wait for an answer from this device
        events->left(busId);
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

    const std::shared_ptr<EmulatedBus> bus_;
    std::mutex mutex_;
    std::condition_variable changed_;   // a device left
    kd::HostEvents* events_ = nullptr;  // set by listen()
    // The devices on the bus as this adapter last heard, with the descriptors they presented.
    std::map<uint32_t, std::vector<uint8_t>> descriptors_;
};

}  // namespace

std::unique_ptr<kd::Host> makeEmulatorHost(std::shared_ptr<EmulatedBus> bus) {
    return std::unique_ptr<kd::Host>(new EmulatorHost(std::move(bus)));
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

std::unique_ptr<kd::Host> openEmulatorHost(const std::string& statePath, UDA_STATUS* status) {
    std::shared_ptr<EmulatedBus> bus = openBusForHost(statePath, status);
    return bus ? makeEmulatorHost(std::move(bus)) : nullptr;
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
