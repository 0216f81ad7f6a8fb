// The libusb-1.0 backend of the kernel-driver seam: one shared context with its own event
// thread, hotplug registrations that only queue, and per-device state kept alive by whoever
// still uses it.
#include "usb/backend_libusb.h"

#include <libusb.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace bvu {
namespace kd {

// ---- Status mapping --------------------------------------------------------------------------

namespace {

struct StatusRow {
    int libusb;
    UDA_STATUS status;
};

// libusb's synchronous transfers fold the transfer outcome into these codes (a stall becomes
// LIBUSB_ERROR_PIPE, a vanished device LIBUSB_ERROR_NO_DEVICE ...), so one table covers every
// request of this backend.
const StatusRow kStatusRows[] = {
    // No proper answer on the bus (CRC, bit stuffing, no handshake): usbfs reports EPROTO,
    // EILSEQ or ETIME and libusb folds them all into an I/O error.
    {LIBUSB_ERROR_IO, UDA_HC_DEVICE_NOT_RESPONDING},
    {LIBUSB_ERROR_INVALID_PARAM, UDA_INVALID_PARAMETER},
    // No permission on the usbfs node: the installation (udev rule) is at fault, as with a
    // kernel driver that cannot be opened.
    {LIBUSB_ERROR_ACCESS, UDA_FAILED_TO_OPEN_DRIVER},
    {LIBUSB_ERROR_NO_DEVICE, UDA_DEVICE_NOT_FOUND},
    // The interface or alternate setting named does not exist on the device.
    {LIBUSB_ERROR_NOT_FOUND, UDA_INVALID_PARAMETER},
    // Another program (or kernel driver) holds the interface.
    {LIBUSB_ERROR_BUSY, UDA_RESOURCE_OVERLAP},
    {LIBUSB_ERROR_TIMEOUT, UDA_TIMEOUT_EXPIRED},
    {LIBUSB_ERROR_OVERFLOW, UDA_HC_DATA_OVERRUN},
    {LIBUSB_ERROR_PIPE, UDA_HC_STALL_PID},
    {LIBUSB_ERROR_INTERRUPTED, UDA_IRP_CANCELLED},
    {LIBUSB_ERROR_NO_MEM, UDA_INSUFFICIENT_RESOURCES},
    {LIBUSB_ERROR_NOT_SUPPORTED, UDA_FUNCTION_NOT_IMPLEMENTED},
    {LIBUSB_ERROR_OTHER, UDA_OPERATION_FAILED},
};

}  // namespace

UDA_STATUS statusFromLibusb(int result) {
    if (result >= 0)
        return UDA_SUCCESS;
    for (const StatusRow& row : kStatusRows) {
        if (row.libusb == result)
            return row.status;
    }
    return UDA_ERROR;
}

namespace {

constexpr uint32_t kDriverVersion = 811;  // the interface of the layer's driver that we provide

// ---- Events queued by the hotplug callbacks --------------------------------------------------

struct RawEvent {
    bool arrived;
    libusb_device* device;  // one reference held by the event
};

// What one registration's hotplug callback hands to the subscription's event thread. The
// callback runs on libusb's event thread (or, for devices already present, inside
// libusb_hotplug_register_callback) and only locks, references and appends.
class EventQueue {
  public:
    ~EventQueue() {
        for (RawEvent& e : events_) libusb_unref_device(e.device);
    }

    void push(libusb_device* device, bool arrived) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return;
        events_.push_back(RawEvent{arrived, libusb_ref_device(device)});
        changed_.notify_all();
    }

    // Blocks until an event is queued (true) or the wait is cancelled (false).
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return cancelled_ || !events_.empty(); });
        return !cancelled_;
    }

    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

    bool pop(RawEvent* out) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.empty())
            return false;
        *out = events_.front();
        events_.pop_front();
        return true;
    }

    // Later pushes are ignored; what is queued is dropped.
    void close() {
        std::deque<RawEvent> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            dropped.swap(events_);
        }
        for (RawEvent& e : dropped) libusb_unref_device(e.device);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<RawEvent> events_;
    bool cancelled_ = false;
    bool closed_ = false;
};

// ---- The process's libusb context ----------------------------------------------------------

class Context {
  public:
    // The context of the process, made on first use. Null and *status on failure.
    static std::shared_ptr<Context> acquire(UDA_STATUS* status) {
        static std::mutex mutex;
        static std::weak_ptr<Context> current;
        std::lock_guard<std::mutex> lock(mutex);
        std::shared_ptr<Context> context = current.lock();
        if (context)
            return context;
        libusb_context* raw = nullptr;
        if (libusb_init(&raw) != 0) {
            *status = UDA_INTERNAL_SYSTEM_ERROR;
            return nullptr;
        }
        context.reset(new Context(raw));
        current = context;
        return context;
    }

    ~Context() {
        stop_.store(true);
        libusb_interrupt_event_handler(ctx_);
        thread_.join();
        // Hotplug callbacks can no longer run: the queues they wrote to may go now, and with them
        // their device references, while libusb still exists.
        retired_.clear();
        libusb_exit(ctx_);
    }

    libusb_context* get() const { return ctx_; }
    uint32_t nextUniqueId() { return nextId_.fetch_add(1) + 1; }

    // libusb may still be inside a deregistered callback (it calls callbacks without its own
    // lock held), so a registration's queue stays alive until the event thread has ended.
    void retire(std::shared_ptr<EventQueue> queue) {
        std::lock_guard<std::mutex> lock(retiredMutex_);
        retired_.push_back(std::move(queue));
    }

  private:
    explicit Context(libusb_context* ctx) : ctx_(ctx) {
        thread_ = std::thread([this] {
            // Blocks until something happens; libusb_interrupt_event_handler wakes it to stop.
            while (!stop_.load()) libusb_handle_events_completed(ctx_, nullptr);
        });
    }

    libusb_context* ctx_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::atomic<uint32_t> nextId_{0};
    std::mutex retiredMutex_;
    std::vector<std::shared_ptr<EventQueue>> retired_;
};

// ---- One reported device -------------------------------------------------------------------

// Shared by the driver file (while the device is known) and by every request in progress on
// it; the libusb handle is closed when the last of them lets go.
class Device {
  public:
    // endpoints: the endpoint addresses of the active configuration, read at the arrival (the
    // descriptors may no longer be readable once the device has gone).
    Device(std::shared_ptr<Context> context, libusb_device* device, std::set<uint8_t> endpoints)
        : context_(std::move(context)),
          device_(libusb_ref_device(device)),
          endpoints_(std::move(endpoints)) {}

    ~Device() {
        if (handle_ != nullptr) {
            if (claimed_ >= 0)
                libusb_release_interface(handle_, claimed_);
            libusb_close(handle_);
        }
        libusb_unref_device(device_);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    libusb_device* device() const { return device_; }
    bool hasEndpoint(uint32_t address) const { return endpoints_.count(address) != 0; }
    bool gone() const { return gone_.load(); }
    void markGone() { gone_.store(true); }

    UDA_STATUS setInterface(uint32_t interfaceNumber, uint32_t alternateSetting) {
        if (interfaceNumber > 0xFF || alternateSetting > 0xFF)
            return UDA_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        UDA_STATUS s = openLocked();
        if (s != 0)
            return s;
        const int iface = static_cast<int>(interfaceNumber);
        if (claimed_ >= 0 && claimed_ != iface) {
            libusb_release_interface(handle_, claimed_);
            claimed_ = -1;
        }
        if (claimed_ != iface) {
            int r = libusb_claim_interface(handle_, iface);
            if (r != 0)
                return statusFromLibusb(r);
            claimed_ = iface;
        }
        int r =
            libusb_set_interface_alt_setting(handle_, iface, static_cast<int>(alternateSetting));
        if (r != 0)
            return statusFromLibusb(r);
        alternates_[static_cast<uint8_t>(iface)] = static_cast<uint8_t>(alternateSetting);
        return 0;
    }

    // The open handle and the claimed interface (-1: none) for a transfer.
    UDA_STATUS handleForTransfer(libusb_device_handle** handle, int* claimed) {
        std::lock_guard<std::mutex> lock(mutex_);
        UDA_STATUS s = openLocked();
        *handle = handle_;
        *claimed = claimed_;
        return s;
    }

    std::map<uint8_t, uint8_t> alternates() {
        std::lock_guard<std::mutex> lock(mutex_);
        return alternates_;
    }

  private:
    UDA_STATUS openLocked() {
        if (handle_ != nullptr)
            return 0;
        int r = libusb_open(device_, &handle_);
        if (r != 0) {
            handle_ = nullptr;
            return statusFromLibusb(r);
        }
        // Where a kernel driver has bound the interface, take it over for the time we hold it.
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        return 0;
    }

    const std::shared_ptr<Context> context_;  // libusb lives as long as the handle
    libusb_device* const device_;
    const std::set<uint8_t> endpoints_;
    std::atomic<bool> gone_{false};
    std::mutex mutex_;  // guards what follows
    libusb_device_handle* handle_ = nullptr;
    int claimed_ = -1;
    std::map<uint8_t, uint8_t> alternates_;  // interface number -> selected alternate setting
};

// ---- Matching and the information tree -----------------------------------------------------

bool interfaceMatches(const libusb_interface_descriptor& d, const UDA_MatchTable& t) {
    return (t.interfaceClass == 0 || t.interfaceClass == d.bInterfaceClass) &&
           (t.interfaceSubClass == 0 || t.interfaceSubClass == d.bInterfaceSubClass) &&
           (t.interfaceProtocol == 0 || t.interfaceProtocol == d.bInterfaceProtocol);
}

// Runs on the subscription's event thread (reads the configuration descriptor).
bool deviceMatches(libusb_device* device, const std::vector<UDA_MatchTable>& tables) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) != 0)
        return false;
    for (const UDA_MatchTable& t : tables) {
        if (t.vendorId != d.idVendor || t.productId != d.idProduct)
            continue;
        if (t.deviceClass != 0 && t.deviceClass != d.bDeviceClass)
            continue;
        if (t.deviceSubClass != 0 && t.deviceSubClass != d.bDeviceSubClass)
            continue;
        if (t.interfaceClass == 0 && t.interfaceSubClass == 0 && t.interfaceProtocol == 0) {
            return true;
        }
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != 0)
            continue;
        bool found = false;
        for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
            const libusb_interface& iface = config->interface[i];
            for (int a = 0; a < iface.num_altsetting && !found; ++a) {
                found = interfaceMatches(iface.altsetting[a], t);
            }
        }
        libusb_free_config_descriptor(config);
        if (found)
            return true;
    }
    return false;
}

std::set<uint8_t> endpointsOf(libusb_device* device) {
    std::set<uint8_t> endpoints;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0)
        return endpoints;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = iface.altsetting[a];
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                endpoints.insert(alt.endpoint[e].bEndpointAddress);
            }
        }
    }
    libusb_free_config_descriptor(config);
    return endpoints;
}

UDA_PipeInfo pipeFrom(const libusb_endpoint_descriptor& e) {
    UDA_PipeInfo pipe{};
    pipe.number = e.bEndpointAddress;
    pipe.type = e.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;  // same numbering as UDA_PipeType
    pipe.maxPacketSize = e.wMaxPacketSize;
    pipe.direction = (e.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? 1 : 0;
    pipe.interval = e.bInterval;
    return pipe;
}

UDA_STATUS buildInfo(libusb_device* device, const std::map<uint8_t, uint8_t>& alternates,
                     UDA_DeviceInfo& info) {
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(device, &d);
    if (r != 0)
        return statusFromLibusb(r);
    info.deviceDescriptor = UDA_DeviceDescriptor{
        d.bLength,         d.bDescriptorType,   d.bcdUSB,          d.bDeviceClass,
        d.bDeviceSubClass, d.bDeviceProtocol,   d.bMaxPacketSize0, d.idVendor,
        d.idProduct,       d.bcdDevice,         d.iManufacturer,   d.iProduct,
        d.iSerialNumber,   d.bNumConfigurations};

    libusb_config_descriptor* config = nullptr;
    r = libusb_get_active_config_descriptor(device, &config);
    if (r != 0)
        return statusFromLibusb(r);
    info.configuration.numInterfaces = config->bNumInterfaces;
    info.configuration.bConfigurationValue = config->bConfigurationValue;
    info.activeInterfaces.clear();
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& source = config->interface[i];
        UDA_Interface iface;
        for (int a = 0; a < source.num_altsetting; ++a) {
            const libusb_interface_descriptor& s = source.altsetting[a];
            UDA_AlternateSetting alt;
            alt.descriptor = UDA_InterfaceDescriptor{
                s.bLength,       s.bDescriptorType, s.bInterfaceNumber,   s.bAlternateSetting,
                s.bNumEndpoints, s.bInterfaceClass, s.bInterfaceSubClass, s.bInterfaceProtocol,
                s.iInterface};
            for (int e = 0; e < s.bNumEndpoints; ++e) alt.pipes.push_back(pipeFrom(s.endpoint[e]));
            auto selected = alternates.find(s.bInterfaceNumber);
            if (selected != alternates.end() && selected->second == s.bAlternateSetting) {
                iface.activeAlternate = static_cast<uint32_t>(a);
            }
            iface.alternateSettings.push_back(std::move(alt));
        }
        info.activeInterfaces.push_back(std::move(iface));
    }
    libusb_free_config_descriptor(config);
    return 0;
}

// libusb's time-out 0 means "no limit", as INFINITE does here.
unsigned int libusbTimeout(uint32_t nominalMs) {
    return nominalMs == INFINITE ? 0u : bvu::clock::scaledMs(nominalMs);
}

// ---- The driver file -----------------------------------------------------------------------

class LibusbDriver final : public KernelDriver {
  public:
    explicit LibusbDriver(std::shared_ptr<Context> context) : context_(std::move(context)) {}

    ~LibusbDriver() override {
        endRegistration();
        std::map<libusb_device*, uint32_t> known;
        std::map<uint32_t, std::shared_ptr<Device>> devices;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            known.swap(known_);
            devices.swap(devices_);
        }
        for (auto& entry : known) libusb_unref_device(entry.first);
        // devices go here, or with the last request still using one
    }

    UDA_STATUS queryVersion(uint32_t* version) override {
        *version = kDriverVersion;
        return 0;
    }

    UDA_STATUS registerEvents(EventRecord& record) override {
        if (registered_)
            return UDA_RESOURCE_OVERLAP;
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return UDA_FUNCTION_NOT_IMPLEMENTED;
        if (record.matchTables.empty())
            return UDA_INVALID_PARAMETER;
        tables_ = record.matchTables;
        eventMask_ = record.code;
        options_ = record.options;

        // libusb filters by one vendor and one product; several tables that differ are matched
        // in full when the event is pulled.
        int vendor = tables_.front().vendorId;
        int product = tables_.front().productId;
        for (const UDA_MatchTable& t : tables_) {
            if (t.vendorId != vendor)
                vendor = LIBUSB_HOTPLUG_MATCH_ANY;
            if (t.productId != product)
                product = LIBUSB_HOTPLUG_MATCH_ANY;
        }
        queue_ = std::make_shared<EventQueue>();
        auto events = static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                        LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        int r = libusb_hotplug_register_callback(context_->get(), events, LIBUSB_HOTPLUG_ENUMERATE,
                                                 vendor, product, LIBUSB_HOTPLUG_MATCH_ANY,
                                                 &LibusbDriver::onHotplug, queue_.get(), &hotplug_);
        if (r != LIBUSB_SUCCESS) {
            queue_->close();
            return statusFromLibusb(r);
        }
        registered_ = true;
        record.handle = kEventHandle;
        return 0;
    }

    UDA_STATUS unregisterEvents(const EventRecord&) override {
        endRegistration();
        return 0;
    }

    UDA_STATUS waitPrepare(WaitRecord& wait) override {
        wait.result = kWaitNothing;
        return 0;
    }

    UDA_STATUS waitForEvent(WaitRecord& wait) override {
        wait.result = (queue_ && queue_->wait()) ? kWaitEventPending : kWaitCancelled;
        return 0;
    }

    UDA_STATUS waitCancel(WaitRecord&) override {
        if (queue_)
            queue_->cancel();
        return 0;
    }

    UDA_STATUS pullEvent(EventRecord& record) override {
        record.code = 0;
        RawEvent event;
        if (!queue_ || !queue_->pop(&event))
            return 0;
        if (event.arrived) {
            arrive(event.device, record);
        } else {
            leave(event.device, record);
        }
        libusb_unref_device(event.device);
        return 0;
    }

    UDA_STATUS acknowledgeEvent(const EventRecord& record) override {
        if (record.code != kEventAttach || (record.options & kOptionControlled) != 0)
            return 0;
        // Not taken: close and forget it (its departure will still be recognised and dropped).
        std::shared_ptr<Device> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(record.uniqueId);
        if (it != devices_.end()) {
            dropped = std::move(it->second);
            devices_.erase(it);
        }
        return 0;  // the device is released after the lock (dropped is destroyed last)
    }

    UDA_STATUS setInterface(uint32_t uniqueId, uint32_t interfaceNumber,
                            uint32_t alternateSetting) override {
        std::shared_ptr<Device> device = find(uniqueId);
        if (!device || device->gone())
            return UDA_DEVICE_NOT_FOUND;
        UDA_STATUS s = device->setInterface(interfaceNumber, alternateSetting);
        return (s != 0 && device->gone()) ? UDA_DEVICE_NOT_FOUND : s;
    }

    UDA_STATUS transfer(TransferRequest& request) override {
        request.transferred = 0;
        std::shared_ptr<Device> device = find(request.uniqueId);
        if (!device || device->gone())
            return UDA_DEVICE_NOT_FOUND;
        libusb_device_handle* handle = nullptr;
        int claimed = -1;
        UDA_STATUS s = device->handleForTransfer(&handle, &claimed);
        if (s == 0) {
            s = request.pipe == 0 ? control(handle, claimed, request)
                                  : bulk(*device, handle, request);
        }
        // A request cut short by the device leaving reports the departure, whatever libusb
        // made of it.
        return (s != 0 && device->gone()) ? UDA_DEVICE_NOT_FOUND : s;
    }

    UDA_STATUS deviceInfo(uint32_t uniqueId, UDA_DeviceInfo& info) override {
        std::shared_ptr<Device> device = find(uniqueId);
        if (!device || device->gone())
            return UDA_DEVICE_NOT_FOUND;
        return buildInfo(device->device(), device->alternates(), info);
    }

  private:
    static constexpr uint32_t kEventHandle = 1;

    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* user) {
        static_cast<EventQueue*>(user)->push(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0;  // stay registered
    }

    void endRegistration() {
        if (!registered_)
            return;
        registered_ = false;
        libusb_hotplug_deregister_callback(context_->get(), hotplug_);
        queue_->close();
        context_->retire(queue_);
    }

    std::shared_ptr<Device> find(uint32_t uniqueId) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(uniqueId);
        return it == devices_.end() ? nullptr : it->second;
    }

    void arrive(libusb_device* raw, EventRecord& record) {
        if ((eventMask_ & kEventAttach) == 0 || !deviceMatches(raw, tables_))
            return;
        std::set<uint8_t> endpoints = endpointsOf(raw);
        std::lock_guard<std::mutex> lock(mutex_);
        if (known_.count(raw) != 0)
            return;  // reported twice (enumeration racing an arrival)
        uint32_t id = context_->nextUniqueId();
        known_[libusb_ref_device(raw)] = id;
        devices_[id] = std::make_shared<Device>(context_, raw, std::move(endpoints));
        record.code = kEventAttach;
        record.uniqueId = id;
        record.options = options_;
    }

    void leave(libusb_device* raw, EventRecord& record) {
        std::shared_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto k = known_.find(raw);
            if (k == known_.end())
                return;
            uint32_t id = k->second;
            known_.erase(k);
            libusb_unref_device(raw);  // the event still holds one
            auto d = devices_.find(id);
            if (d != devices_.end()) {
                device = std::move(d->second);
                devices_.erase(d);
                device->markGone();
            }
            if (!device || (eventMask_ & kEventDetach) == 0)
                return;
            record.code = kEventDetach;
            record.uniqueId = id;
            record.options = options_;
        }
        // device is released here, after the lock, unless a request still holds it
    }

    // Pipe 0: the setup packet names the request; its direction bit, not the read flag, says
    // which way the data stage goes, as on the bus.
    static UDA_STATUS control(libusb_device_handle* handle, int claimed, TransferRequest& request) {
        const uint8_t* p = request.setup;
        uint8_t requestType = p[0];
        uint16_t value = static_cast<uint16_t>(p[2] | (p[3] << 8));
        uint16_t index = static_cast<uint16_t>(p[4] | (p[5] << 8));
        uint16_t length = static_cast<uint16_t>(p[6] | (p[7] << 8));
        if (length > 0 && (request.buffer == nullptr || request.size < length)) {
            return UDA_INVALID_PARAMETER;
        }
        // Linux (usbfs) refuses a standard or class request whose recipient is an interface the
        // device does not have, and the host's DFU requests name interface 4 while the
        // bootloader presents only interface 0. WinUSB addresses every interface-recipient
        // request to the interface the program has claimed, putting its number into the low
        // byte of wIndex; this backend does the same, so the device sees what it sees on
        // Windows.
        if ((requestType & 0x1F) == LIBUSB_RECIPIENT_INTERFACE && claimed >= 0) {
            index = static_cast<uint16_t>((index & 0xFF00) | claimed);
        }
        int r = libusb_control_transfer(handle, requestType, p[1], value, index,
                                        static_cast<unsigned char*>(request.buffer), length,
                                        libusbTimeout(request.timeoutMs));
        if (r >= 0)
            request.transferred = static_cast<uint32_t>(r);
        return statusFromLibusb(r);
    }

    // Any other pipe number is a bulk endpoint address of the active configuration.
    static UDA_STATUS bulk(const Device& device, libusb_device_handle* handle,
                           TransferRequest& request) {
        if (!device.hasEndpoint(request.pipe))
            return UDA_INVALID_PIPE_NUMBER;
        if (request.size > INT_MAX || (request.size > 0 && request.buffer == nullptr)) {
            return UDA_INVALID_PARAMETER;
        }
        int transferred = 0;
        int r = libusb_bulk_transfer(handle, static_cast<unsigned char>(request.pipe),
                                     static_cast<unsigned char*>(request.buffer),
                                     static_cast<int>(request.size), &transferred,
                                     libusbTimeout(request.timeoutMs));
        request.transferred = static_cast<uint32_t>(transferred > 0 ? transferred : 0);
        return statusFromLibusb(r);
    }

    const std::shared_ptr<Context> context_;
    // Written by registerEvents before the event thread starts, read-only afterwards.
    std::shared_ptr<EventQueue> queue_;
    std::vector<UDA_MatchTable> tables_;
    uint32_t eventMask_ = 0;
    uint32_t options_ = 0;
    bool registered_ = false;  // registration and release run on the layer's init thread
    libusb_hotplug_callback_handle hotplug_{};

    std::mutex mutex_;  // guards known_ and devices_
    // Every reported device that has not left yet (one reference each), taken or not, so that
    // its departure is recognised.
    std::map<libusb_device*, uint32_t> known_;
    // The devices that requests may name: reported and not refused.
    std::map<uint32_t, std::shared_ptr<Device>> devices_;
};

}  // namespace

std::unique_ptr<KernelDriver> openLibusbDriver(UDA_STATUS* status) {
    UDA_STATUS s = 0;
    std::shared_ptr<Context> context = Context::acquire(&s);
    if (!context) {
        *status = s;
        return nullptr;
    }
    *status = 0;
    return std::unique_ptr<KernelDriver>(new LibusbDriver(std::move(context)));
}

}  // namespace kd
}  // namespace bvu
