#include "emulator/backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "emulator/descriptor_parser.h"
#include "platform/clock.h"

namespace bvu {
namespace emulator {
namespace {

constexpr uint32_t kDriverVersion = 811;
constexpr uint32_t kEventHandle = 1;  // one registration per file, so one handle
constexpr uint32_t kSetInterfaceTimeoutMs = 5000;
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
constexpr UDA_STATUS kUsbDescriptorError = 0x20000012;  // "Usb descriptor error"

// Where a device stands with this file's program.
enum class Offer {
    Queued,   // attach queued, not pulled yet
    Offered,  // attach pulled, acknowledgement outstanding (the attach callback runs)
    Taken,    // the program controls it
    Refused,  // acknowledged without kOptionControlled: left alone
};

struct Device {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool described = false;  // the descriptors parsed; info is valid
    UDA_DeviceInfo info;
    Offer offer = Offer::Queued;
    bool present = true;
};

bool classMatches(uint8_t wanted, uint8_t actual) {
    return wanted == 0 || wanted == actual;
}

bool matchesTable(const UDA_MatchTable& m, const Device& d) {
    if (m.vendorId != d.vendorId || m.productId != d.productId)
        return false;
    const bool wantsClass = m.deviceClass != 0 || m.deviceSubClass != 0 || m.interfaceClass != 0 ||
                            m.interfaceSubClass != 0 || m.interfaceProtocol != 0;
    if (!wantsClass)
        return true;
    if (!d.described)
        return false;  // nothing to compare the class bytes with
    const UDA_DeviceDescriptor& dd = d.info.deviceDescriptor;
    if (!classMatches(m.deviceClass, dd.bDeviceClass) ||
        !classMatches(m.deviceSubClass, dd.bDeviceSubClass))
        return false;
    for (const UDA_Interface& iface : d.info.activeInterfaces) {
        for (const UDA_AlternateSetting& alt : iface.alternateSettings) {
            const UDA_InterfaceDescriptor& id = alt.descriptor;
            if (classMatches(m.interfaceClass, id.bInterfaceClass) &&
                classMatches(m.interfaceSubClass, id.bInterfaceSubClass) &&
                classMatches(m.interfaceProtocol, id.bInterfaceProtocol))
                return true;
        }
    }
    return false;
}

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

class EmulatorDriver final : public kd::KernelDriver, private BusListener {
  public:
    explicit EmulatorDriver(std::shared_ptr<EmulatedBus> bus) : bus_(std::move(bus)) {}

    ~EmulatorDriver() override {
        bool listening;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listening = listening_;
        }
        if (listening)
            bus_->removeListener(this);
    }

    UDA_STATUS queryVersion(uint32_t* version) override {
        *version = kDriverVersion;
        return 0;
    }

    UDA_STATUS registerEvents(kd::EventRecord& record) override {
        bool listening;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (registered_)
                return UDA_RESOURCE_OVERLAP;
            registration_ = record;
            registration_.handle = kEventHandle;
            record.handle = kEventHandle;
            registered_ = true;
            enumerating_ = true;
            listening = listening_;
            listening_ = true;
        }
        // Listen first, then look: an arrival in between is seen twice (and offered once), and a
        // departure in between is remembered so that the snapshot cannot resurrect the device.
        if (!listening)
            bus_->addListener(this);
        std::vector<Presence> present = bus_->present();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Presence& p : present) {
                if (leftWhileEnumerating_.count(p.busId) == 0)
                    offerLocked(p);
            }
            enumerating_ = false;
            leftWhileEnumerating_.clear();
        }
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS unregisterEvents(const kd::EventRecord&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            registered_ = false;
            pending_.clear();
        }
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS waitPrepare(kd::WaitRecord&) override { return 0; }

    UDA_STATUS waitForEvent(kd::WaitRecord& wait) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || !pending_.empty(); });
        wait.result = cancelled_ ? kd::kWaitCancelled : kd::kWaitEventPending;
        return 0;
    }

    UDA_STATUS waitCancel(kd::WaitRecord&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;  // sticky: the event thread is on its way out
        }
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS pullEvent(kd::EventRecord& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        record.code = 0;
        record.uniqueId = 0;
        if (pending_.empty())
            return 0;
        const std::pair<uint32_t, uint32_t> event = pending_.front();
        pending_.pop_front();
        record.code = event.first;
        record.uniqueId = event.second;
        record.options = registration_.options;
        auto it = devices_.find(event.second);
        if (event.first == kd::kEventAttach && it != devices_.end()) {
            // Without acknowledgements the driver never learns the answer: the device counts
            // as taken.
            const bool acknowledged = (registration_.options & kd::kOptionAcknowledge) != 0;
            it->second.offer = acknowledged ? Offer::Offered : Offer::Taken;
        } else if (event.first == kd::kEventDetach && it != devices_.end()) {
            devices_.erase(it);
        }
        return 0;
    }

    UDA_STATUS acknowledgeEvent(const kd::EventRecord& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (record.code != kd::kEventAttach)
            return 0;
        auto it = devices_.find(record.uniqueId);
        if (it != devices_.end() && it->second.offer == Offer::Offered) {
            const bool taken = (record.options & kd::kOptionControlled) != 0;
            it->second.offer = taken ? Offer::Taken : Offer::Refused;
        }
        return 0;
    }

    UDA_STATUS setInterface(uint32_t uniqueId, uint32_t interfaceNumber,
                            uint32_t alternateSetting) override {
        const auto start = clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Device* device = nullptr;
            UDA_STATUS s = usableLocked(uniqueId, &device);
            if (s != 0)
                return s;
            if (!device->described)
                return kUsbDescriptorError;
            if (findAlternateLocked(*device, interfaceNumber, alternateSetting) == nullptr) {
                return UDA_INVALID_PARAMETER;
            }
        }
        Reply reply = bus_->setInterface(uniqueId, static_cast<uint8_t>(interfaceNumber),
                                         static_cast<uint8_t>(alternateSetting));
        if (reply == Reply::NoAnswer)
            return awaitTimeOut(uniqueId, start, kSetInterfaceTimeoutMs);
        if (reply != Reply::Ack)
            return statusOfReply(reply);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(uniqueId);
        if (it != devices_.end()) {
            if (UDA_Interface* iface =
                    findAlternateLocked(it->second, interfaceNumber, alternateSetting)) {
                iface->activeAlternate = alternateSetting;
            }
        }
        return 0;
    }

    UDA_STATUS transfer(kd::TransferRequest& request) override {
        request.transferred = 0;
        const auto start = clock::now();
        const bool control = request.pipe == 0;
        uint32_t length = request.size;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Device* device = nullptr;
            UDA_STATUS s = usableLocked(request.uniqueId, &device);
            if (s != 0)
                return s;
            if (control) {
                length = static_cast<uint32_t>(request.setup[6] | (request.setup[7] << 8));
                // The device reads or writes wLength bytes of the data stage: a smaller buffer
                // would be overrun.
                if (length > 0 && (request.buffer == nullptr || request.size < length)) {
                    return UDA_INVALID_PARAMETER;
                }
            } else {
                s = checkBulkPipeLocked(*device, request);
                if (s != 0)
                    return s;
            }
        }
        uint8_t none = 0;
        uint8_t* data = length > 0 ? static_cast<uint8_t*>(request.buffer) : &none;
        uint32_t moved = 0;
        Reply reply = control ? bus_->control(request.uniqueId, request.setup, data, &moved)
                              : bus_->bulkOut(request.uniqueId, static_cast<uint8_t>(request.pipe),
                                              data, length, &moved);
        if (reply == Reply::NoAnswer)
            return awaitTimeOut(request.uniqueId, start, request.timeoutMs);
        if (reply == Reply::Ack)
            request.transferred = std::min(moved, length);
        return statusOfReply(reply);
    }

    UDA_STATUS deviceInfo(uint32_t uniqueId, UDA_DeviceInfo& info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Device* device = nullptr;
        UDA_STATUS s = usableLocked(uniqueId, &device);
        if (s != 0)
            return s;
        if (!device->described)
            return kUsbDescriptorError;
        info = device->info;
        return 0;
    }

  private:
    // ---- BusListener: the bus's request and timer threads. Only queue and wake. ----------

    void arrived(const Presence& presence) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!registered_)
                return;
            offerLocked(presence);
        }
        changed_.notify_all();
    }

    void left(uint32_t busId) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (enumerating_)
                leftWhileEnumerating_.insert(busId);
            auto it = devices_.find(busId);
            if (it != devices_.end())
                departLocked(it);
        }
        // Also wakes the transfers that wait for an answer from this device.
        changed_.notify_all();
    }

    // ---- Helpers; the caller holds mutex_. ---------------------------------------------

    void offerLocked(const Presence& presence) {
        if (!registered_ || (registration_.code & kd::kEventAttach) == 0)
            return;
        if (devices_.count(presence.busId) != 0)
            return;
        Device device;
        device.vendorId = presence.vendorId;
        device.productId = presence.productId;
        device.described = parseDescriptors(presence.descriptors, &device.info, nullptr);
        bool matches = false;
        for (const UDA_MatchTable& m : registration_.matchTables)
            matches |= matchesTable(m, device);
        if (!matches)
            return;
        devices_.emplace(presence.busId, std::move(device));
        pending_.emplace_back(kd::kEventAttach, presence.busId);
    }

    void departLocked(std::map<uint32_t, Device>::iterator it) {
        Device& device = it->second;
        device.present = false;
        const bool reportDetach = registered_ && (registration_.code & kd::kEventDetach) != 0;
        if (device.offer == Offer::Queued) {
            // The program never heard of it: withdraw the attach instead of reporting both.
            pending_.erase(std::remove(pending_.begin(), pending_.end(),
                                       std::make_pair(kd::kEventAttach, it->first)),
                           pending_.end());
            devices_.erase(it);
        } else if (device.offer == Offer::Refused || !reportDetach) {
            devices_.erase(it);
        } else {
            pending_.emplace_back(kd::kEventDetach, it->first);  // erased when pulled
        }
    }

    UDA_STATUS usableLocked(uint32_t uniqueId, Device** out) {
        auto it = devices_.find(uniqueId);
        if (it == devices_.end() || !it->second.present || it->second.offer == Offer::Refused) {
            return UDA_DEVICE_NOT_FOUND;
        }
        *out = &it->second;
        return 0;
    }

    // The interface with that number if it has that alternate setting, else null.
    static UDA_Interface* findAlternateLocked(Device& device, uint32_t interfaceNumber,
                                              uint32_t alternateSetting) {
        for (UDA_Interface& iface : device.info.activeInterfaces) {
            if (!iface.alternateSettings.empty() &&
                iface.alternateSettings.front().descriptor.bInterfaceNumber == interfaceNumber) {
                return alternateSetting < iface.alternateSettings.size() ? &iface : nullptr;
            }
        }
        return nullptr;
    }

    static UDA_STATUS checkBulkPipeLocked(const Device& device, const kd::TransferRequest& r) {
        if (!device.described)
            return kUsbDescriptorError;
        if (r.size > 0 && r.buffer == nullptr)
            return UDA_INVALID_PARAMETER;
        for (const UDA_Interface& iface : device.info.activeInterfaces) {
            const UDA_AlternateSetting* alt = iface.active();
            if (alt == nullptr)
                continue;
            for (const UDA_PipeInfo& pipe : alt->pipes) {
                if (pipe.number != r.pipe || pipe.type == UDA_PIPE_CONTROL ||
                    pipe.type == UDA_PIPE_ISOCHRONOUS)
                    continue;
                if ((pipe.direction != 0) != (r.read != 0))
                    return UDA_INVALID_PIPE_NUMBER;
                // The bus carries OUT data only; the emulated device has no IN endpoint.
                return r.read != 0 ? UDA_FUNCTION_NOT_IMPLEMENTED : UDA_SUCCESS;
            }
        }
        return UDA_INVALID_PIPE_NUMBER;
    }

    // The device gave no answer: the host waits out the request's time-out, or until the
    // device leaves the bus.
    UDA_STATUS awaitTimeOut(uint32_t uniqueId, clock::TimePoint start, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto gone = [&] {
            auto it = devices_.find(uniqueId);
            return it == devices_.end() || !it->second.present;
        };
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
    std::condition_variable changed_;  // events queued, wait cancelled, a device left
    bool listening_ = false;
    bool registered_ = false;
    bool cancelled_ = false;
    bool enumerating_ = false;  // registerEvents is between addListener and present()
    kd::EventRecord registration_;
    std::map<uint32_t, Device> devices_;  // by busId = uniqueId
    std::set<uint32_t> leftWhileEnumerating_;
    std::deque<std::pair<uint32_t, uint32_t>> pending_;  // (event code, uniqueId)
};

}  // namespace

std::unique_ptr<kd::KernelDriver> makeEmulatorDriver(std::shared_ptr<EmulatedBus> bus) {
    return std::unique_ptr<kd::KernelDriver>(new EmulatorDriver(std::move(bus)));
}

std::unique_ptr<kd::KernelDriver> openEmulatorDriver(const std::string& statePath,
                                                     UDA_STATUS* status) {
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
    return makeEmulatorDriver(std::move(bus));
}

}  // namespace emulator
}  // namespace bvu
