#include "usb/host_driver.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "usb/descriptor_parser.h"
#include "usb/device_advice.h"
#include "usb/location.h"

namespace bvu {
namespace kd {
namespace {

constexpr uint32_t kDriverVersion = 811;
constexpr uint32_t kEventHandle = 1;                    // one registration per file, so one handle
constexpr UDA_STATUS kUsbDescriptorError = 0x20000012;  // "Usb descriptor error"

// Where a device stands with this file's program.
enum class Offer {
    Queued,   // attach queued, not pulled yet
    Opening,  // attach pulled; the host opens the device (the program has not heard of it)
    Offered,  // attach handed out, acknowledgement outstanding (the attach callback runs)
    Taken,    // the program controls it
    Refused,  // acknowledged without kOptionControlled: left alone
    Dropped,  // not offered (could not be opened, or its class bytes do not match)
};

struct Device {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string location;
    Offer offer = Offer::Queued;
    bool present = true;
    bool described = false;  // the descriptors parsed; info is valid
    UDA_DeviceInfo info;
    std::set<uint8_t> halted;  // bulk endpoints that stalled and have not been cleared since
};

bool classMatches(uint8_t wanted, uint8_t actual) {
    return wanted == 0 || wanted == actual;
}

// The class part of a match table (vendor and product were matched at the arrival).
bool classesMatch(const UDA_MatchTable& m, const Device& d) {
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

class HostDriver final : public KernelDriver, private HostEvents {
  public:
    explicit HostDriver(std::unique_ptr<Host> host) : host_(std::move(host)) {}

    // The host goes first: after that no event can reach this file.
    ~HostDriver() override { host_.reset(); }

    UDA_STATUS queryVersion(uint32_t* version) override {
        *version = kDriverVersion;
        return 0;
    }

    UDA_STATUS registerEvents(EventRecord& record) override {
        bool listen;
        std::vector<WantedDevice> wanted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (registered_)
                return UDA_RESOURCE_OVERLAP;
            if (record.matchTables.empty())
                return UDA_INVALID_PARAMETER;
            registration_ = record;
            registration_.handle = kEventHandle;
            registered_ = true;
            enumerating_ = true;
            listen = !listening_;
            listening_ = true;
            for (const UDA_MatchTable& m : record.matchTables)
                wanted.push_back(WantedDevice{m.vendorId, m.productId});
        }
        // Listen first, then look: an arrival in between is seen twice (and offered once), and a
        // departure in between is remembered so that the look cannot bring the device back.
        if (listen) {
            UDA_STATUS s = host_->listen(this, wanted);
            if (s != 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                registered_ = listening_ = enumerating_ = false;
                return s;
            }
        }
        std::vector<HostDevice> present = host_->present();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const HostDevice& d : present) {
                if (leftWhileEnumerating_.count(d.id) == 0)
                    queueArrivalLocked(d);
            }
            // Behind every attach of the first look (and of arrivals that raced it), ahead of
            // everything that arrives from now on.
            if ((registration_.code & kEventEnumerated) != 0)
                pending_.emplace_back(kEventEnumerated, 0);
            enumerating_ = false;
            leftWhileEnumerating_.clear();
        }
        record.handle = kEventHandle;
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS unregisterEvents(const EventRecord&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            registered_ = false;
            pending_.clear();
        }
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS waitPrepare(WaitRecord& wait) override {
        wait.result = kWaitNothing;
        return 0;
    }

    UDA_STATUS waitForEvent(WaitRecord& wait) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || !pending_.empty(); });
        wait.result = cancelled_ ? kWaitCancelled : kWaitEventPending;
        return 0;
    }

    UDA_STATUS waitCancel(WaitRecord&) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;  // sticky: the event thread is on its way out
        }
        changed_.notify_all();
        return 0;
    }

    UDA_STATUS pullEvent(EventRecord& record) override {
        record.code = 0;
        record.uniqueId = 0;
        std::vector<uint32_t> done;  // closed after the lock is released
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!pending_.empty() && record.code == 0) {
                const std::pair<uint32_t, uint32_t> event = pending_.front();
                pending_.pop_front();
                if (event.first == kEventEnumerated) {
                    report(record, event);
                    record.options = 0;  // about no device: nothing to acknowledge
                } else if (event.first == kEventDetach) {
                    devices_.erase(event.second);
                    done.push_back(event.second);
                    report(record, event);
                } else if (offerLocked(lock, event.second, &done)) {
                    report(record, event);
                }
            }
        }
        for (uint32_t id : done) host_->close(id);
        return 0;
    }

    UDA_STATUS acknowledgeEvent(const EventRecord& record) override {
        if (record.code != kEventAttach)
            return 0;
        bool refused = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = devices_.find(record.uniqueId);
            if (it != devices_.end() && it->second.offer == Offer::Offered) {
                refused = (record.options & kOptionControlled) == 0;
                it->second.offer = refused ? Offer::Refused : Offer::Taken;
            }
        }
        if (refused)
            host_->close(record.uniqueId);  // for other programs to use
        return 0;
    }

    UDA_STATUS setInterface(uint32_t uniqueId, uint32_t interfaceNumber,
                            uint32_t alternateSetting) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Device* device = nullptr;
            UDA_STATUS s = describedLocked(uniqueId, &device);
            if (s != 0)
                return s;
            if (findAlternateLocked(*device, interfaceNumber, alternateSetting) == nullptr)
                return UDA_INVALID_PARAMETER;
        }
        UDA_STATUS s = host_->setInterface(uniqueId, static_cast<uint8_t>(interfaceNumber),
                                           static_cast<uint8_t>(alternateSetting));
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(uniqueId);
        if (it == devices_.end() || !it->second.present)
            return s != 0 ? UDA_DEVICE_NOT_FOUND : s;
        if (s == 0) {
            if (UDA_Interface* iface =
                    findAlternateLocked(it->second, interfaceNumber, alternateSetting))
                iface->activeAlternate = alternateSetting;
            it->second.halted.clear();  // SET_INTERFACE clears the halts of the device's endpoints
        }
        return s;
    }

    UDA_STATUS transfer(TransferRequest& request) override {
        request.transferred = 0;
        const bool control = request.pipe == 0;
        const uint8_t endpoint = static_cast<uint8_t>(request.pipe);
        uint32_t length = request.size;
        bool halted = false;
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
                if (length > 0 && (request.buffer == nullptr || request.size < length))
                    return UDA_INVALID_PARAMETER;
            } else {
                s = checkBulkPipeLocked(*device, request);
                if (s != 0)
                    return s;
                halted = device->halted.count(endpoint) != 0;
            }
        }
        // A bulk endpoint stays halted after a stall until the host clears it (a control
        // request's stall ends with the next setup packet): clear it before using it again.
        if (halted) {
            UDA_STATUS s = host_->clearHalt(request.uniqueId, endpoint);
            if (s != 0)
                return gone(request.uniqueId) ? UDA_DEVICE_NOT_FOUND : s;
            setHalted(request.uniqueId, endpoint, false);
        }
        uint8_t none = 0;
        uint8_t* data = length > 0 ? static_cast<uint8_t*>(request.buffer) : &none;
        uint32_t moved = 0;
        UDA_STATUS s = control ? host_->control(request.uniqueId, request.setup, data, &moved,
                                                request.timeoutMs)
                               : host_->bulkOut(request.uniqueId, endpoint, data, length, &moved,
                                                request.timeoutMs);
        request.transferred = std::min(moved, length);
        if (!control && s == UDA_HC_STALL_PID)
            setHalted(request.uniqueId, endpoint, true);
        // A request cut short by the device leaving reports the departure, whatever the host
        // made of it.
        return s != 0 && gone(request.uniqueId) ? UDA_DEVICE_NOT_FOUND : s;
    }

    UDA_STATUS deviceInfo(uint32_t uniqueId, UDA_DeviceInfo& info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Device* device = nullptr;
        UDA_STATUS s = describedLocked(uniqueId, &device);
        if (s == 0)
            info = device->info;
        return s;
    }

    UDA_STATUS listDevices(const std::vector<UDA_MatchTable>& tables,
                           std::vector<UDA_PresentDevice>* devices) override {
        devices->clear();
        if (tables.empty())
            return UDA_INVALID_PARAMETER;
        std::vector<WantedDevice> wanted;
        for (const UDA_MatchTable& m : tables)
            wanted.push_back(WantedDevice{m.vendorId, m.productId});
        bool listen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listen = !listening_;
            listening_ = true;
        }
        // The hosts look at their bus once they listen; nothing is registered, so the news that
        // comes meanwhile is dropped.
        if (listen) {
            UDA_STATUS s = host_->listen(this, wanted);
            if (s != 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                listening_ = false;
                return s;
            }
        }
        for (const HostDevice& d : host_->present()) {
            for (const WantedDevice& w : wanted) {
                if (w.vendorId == d.vendorId && w.productId == d.productId) {
                    devices->push_back(UDA_PresentDevice{d.vendorId, d.productId, d.location});
                    break;
                }
            }
        }
        return 0;
    }

  private:
    // ---- HostEvents: the host's threads. Only queue and wake. ------------------------------

    void arrived(const HostDevice& device) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queueArrivalLocked(device);
        }
        changed_.notify_all();
    }

    void left(uint32_t id) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (enumerating_)
                leftWhileEnumerating_.insert(id);
            auto it = devices_.find(id);
            if (it != devices_.end())
                departLocked(it);
        }
        changed_.notify_all();
    }

    // ---- Helpers; the caller holds mutex_. -------------------------------------------------

    void queueArrivalLocked(const HostDevice& d) {
        if (!registered_ || (registration_.code & kEventAttach) == 0)
            return;
        if (devices_.count(d.id) != 0)
            return;  // reported twice: enumeration racing an arrival
        bool wanted = false;
        for (const UDA_MatchTable& m : registration_.matchTables)
            wanted |= m.vendorId == d.vendorId && m.productId == d.productId;
        // A device elsewhere is another unit: never opened, so that the program that works on
        // it is not disturbed.
        if (!registration_.location.empty() &&
            !usb::sameLocation(d.location, registration_.location))
            wanted = false;
        if (!wanted)
            return;
        Device device;
        device.vendorId = d.vendorId;
        device.productId = d.productId;
        device.location = d.location;
        devices_.emplace(d.id, std::move(device));
        pending_.emplace_back(kEventAttach, d.id);
    }

    // The attach of id was pulled: opens the device (with the lock released) and decides
    // whether it is offered. Ids to close afterwards go to *done.
    bool offerLocked(std::unique_lock<std::mutex>& lock, uint32_t id, std::vector<uint32_t>* done) {
        auto it = devices_.find(id);
        if (it == devices_.end() || !it->second.present || it->second.offer != Offer::Queued)
            return false;
        it->second.offer = Offer::Opening;
        lock.unlock();
        std::vector<uint8_t> descriptors;
        Unusable why = Unusable::No;
        UDA_STATUS opened = host_->open(id, &descriptors, &why);
        const std::string driver =
            opened != 0 && why == Unusable::OtherDriver ? host_->driverInTheWay(id) : "";
        UDA_DeviceInfo info;
        const bool described = opened == 0 && parseDescriptors(descriptors, &info, nullptr);
        lock.lock();
        it = devices_.find(id);  // only this thread erases an Opening device
        if (it == devices_.end())
            return false;
        Device& device = it->second;
        device.described = described;
        device.info = std::move(info);
        device.info.location = device.location;
        bool matches = false;
        for (const UDA_MatchTable& m : registration_.matchTables) {
            matches |= m.vendorId == device.vendorId && m.productId == device.productId &&
                       classesMatch(m, device);
        }
        if (opened != 0) {
            // until it leaves
            usb::noteUnusableDevice(this, id, why, device.vendorId, device.productId, driver);
        } else if (matches) {
            usb::forgetUnusableDevices();  // there is a device to use after all
        }
        if (opened != 0 || !device.present || !matches) {
            done->push_back(id);
            if (!device.present) {
                devices_.erase(it);
            } else {
                device.offer = Offer::Dropped;  // kept to recognise it until it leaves
            }
            return false;
        }
        // Without acknowledgements the driver never learns the answer: the device counts as
        // taken.
        const bool acknowledged = (registration_.options & kOptionAcknowledge) != 0;
        device.offer = acknowledged ? Offer::Offered : Offer::Taken;
        return true;
    }

    void report(EventRecord& record, const std::pair<uint32_t, uint32_t>& event) {
        record.code = event.first;
        record.uniqueId = event.second;
        record.options = registration_.options;
    }

    void departLocked(std::map<uint32_t, Device>::iterator it) {
        Device& device = it->second;
        device.present = false;
        usb::forgetUnusableDevice(this, it->first);
        const bool reportDetach = registered_ && (registration_.code & kEventDetach) != 0;
        switch (device.offer) {
            case Offer::Queued:
                // The program never heard of it: withdraw the attach instead of reporting both.
                pending_.erase(std::remove(pending_.begin(), pending_.end(),
                                           std::make_pair(kEventAttach, it->first)),
                               pending_.end());
                devices_.erase(it);
                break;
            case Offer::Opening:
                break;  // the event thread finds it gone when the host has opened it
            case Offer::Offered:
            case Offer::Taken:
                if (reportDetach) {
                    pending_.emplace_back(kEventDetach, it->first);  // erased when pulled
                } else {
                    devices_.erase(it);
                }
                break;
            case Offer::Refused:
            case Offer::Dropped:
                devices_.erase(it);
                break;
        }
    }

    UDA_STATUS usableLocked(uint32_t id, Device** out) {
        auto it = devices_.find(id);
        if (it == devices_.end() || !it->second.present ||
            (it->second.offer != Offer::Offered && it->second.offer != Offer::Taken))
            return UDA_DEVICE_NOT_FOUND;
        *out = &it->second;
        return 0;
    }

    // A usable device whose descriptors parsed.
    UDA_STATUS describedLocked(uint32_t id, Device** out) {
        UDA_STATUS s = usableLocked(id, out);
        return s != 0 ? s : (*out)->described ? UDA_SUCCESS : kUsbDescriptorError;
    }

    bool gone(uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(id);
        return it == devices_.end() || !it->second.present;
    }

    void setHalted(uint32_t id, uint8_t endpoint, bool halted) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(id);
        if (it == devices_.end())
            return;
        if (halted) {
            it->second.halted.insert(endpoint);
        } else {
            it->second.halted.erase(endpoint);
        }
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

    static UDA_STATUS checkBulkPipeLocked(const Device& device, const TransferRequest& r) {
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
                // The hosts carry bulk OUT only; the device has no IN endpoint.
                return r.read != 0 ? UDA_FUNCTION_NOT_IMPLEMENTED : UDA_SUCCESS;
            }
        }
        return UDA_INVALID_PIPE_NUMBER;
    }

    std::unique_ptr<Host> host_;
    std::mutex mutex_;
    std::condition_variable changed_;  // events queued, wait cancelled
    bool listening_ = false;
    bool registered_ = false;
    bool cancelled_ = false;
    bool enumerating_ = false;  // registerEvents is between listen() and present()
    EventRecord registration_;
    std::map<uint32_t, Device> devices_;  // by the host's id = uniqueId
    std::set<uint32_t> leftWhileEnumerating_;
    std::deque<std::pair<uint32_t, uint32_t>> pending_;  // (event code, uniqueId)
};

}  // namespace

std::unique_ptr<KernelDriver> makeHostDriver(std::unique_ptr<Host> host) {
    return std::unique_ptr<KernelDriver>(new HostDriver(std::move(host)));
}

void addressToClaimedInterface(uint8_t setup[8], int claimed) {
    constexpr uint8_t kRecipientMask = 0x1F;
    constexpr uint8_t kRecipientInterface = 0x01;
    if ((setup[0] & kRecipientMask) == kRecipientInterface && claimed >= 0)
        setup[4] = static_cast<uint8_t>(claimed);
}

}  // namespace kd
}  // namespace bvu
