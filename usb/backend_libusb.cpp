// The libusb-1.0 host adapter: one shared context with its own event thread, hotplug
// registrations that only pass the news on, and per-device state kept alive by whoever still
// uses it.
#include "usb/backend_libusb.h"

#include <libusb.h>

#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "usb/host_driver.h"
#include "usb/location.h"

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

// ---- What an adapter's hotplug callback shares with it ----------------------------------------

class Device;

// The devices one adapter knows, and where its news go. libusb calls a hotplug callback without
// its own lock held, so a callback may still run after its deregistration: this table outlives
// the adapter until the context's event thread has ended (Context::retire).
struct DeviceTable {
    struct Entry {
        uint32_t id;
        bool departed;
    };

    ~DeviceTable() {
        for (auto& entry : entries) libusb_unref_device(entry.first);
    }

    // The entry of a device, made on first sight with a reference of its own. Entries stay
    // until the adapter goes, so that a libusb_device never changes its id and a departure
    // seen before the device was listed keeps it from being listed afterwards.
    Entry& entryLocked(libusb_device* device) {
        auto it = entries.find(device);
        if (it == entries.end()) {
            it = entries.emplace(libusb_ref_device(device), Entry{++lastId, false}).first;
            byId[it->second.id] = device;
        }
        return it->second;
    }

    // Bus and port chain, as Linux names the device in sysfs ("1-4.2"); libusb knows them from
    // its enumeration, without opening the device. A device on the root hub itself has none.
    static std::string locationOf(libusb_device* device) {
        uint8_t ports[8] = {};  // USB allows 7 tiers below the root
        const int n = libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports));
        return usb::busPortsLocation(libusb_get_bus_number(device), ports, n > 0 ? n : 0);
    }

    bool wantedLocked(libusb_device* device, HostDevice* out) const {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(device, &d) != 0)
            return false;
        for (const WantedDevice& w : wanted) {
            if (w.vendorId == d.idVendor && w.productId == d.idProduct) {
                out->vendorId = d.idVendor;
                out->productId = d.idProduct;
                out->location = locationOf(device);
                return true;
            }
        }
        return false;
    }

    std::mutex mutex;              // guards everything below
    HostEvents* events = nullptr;  // null before listen() and after the adapter has gone
    std::vector<WantedDevice> wanted;
    std::map<libusb_device*, Entry> entries;
    std::map<uint32_t, libusb_device*> byId;
    std::map<uint32_t, std::shared_ptr<Device>> opened;
    // Devices that left while opened: released on a thread of ours, not libusb's.
    std::vector<std::shared_ptr<Device>> leftovers;
    uint32_t lastId = 0;
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
        // Hotplug callbacks can no longer run: the tables they used may go now, and with them
        // their device references, while libusb still exists.
        retired_.clear();
        libusb_exit(ctx_);
    }

    libusb_context* get() const { return ctx_; }

    void retire(std::shared_ptr<DeviceTable> table) {
        std::lock_guard<std::mutex> lock(retiredMutex_);
        retired_.push_back(std::move(table));
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
    std::mutex retiredMutex_;
    std::vector<std::shared_ptr<DeviceTable>> retired_;
};

// ---- One opened device ---------------------------------------------------------------------

// Shared by the adapter (while the device is open) and by every request in progress on it; the
// libusb handle is closed when the last of them lets go.
class Device {
  public:
    Device(std::shared_ptr<Context> context, libusb_device_handle* handle)
        : context_(std::move(context)), handle_(handle) {}

    ~Device() {
        if (claimed_ >= 0)
            libusb_release_interface(handle_, claimed_);
        libusb_close(handle_);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    libusb_device_handle* handle() const { return handle_; }

    int claimed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return claimed_;
    }

    UDA_STATUS setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int iface = interfaceNumber;
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
        return statusFromLibusb(libusb_set_interface_alt_setting(handle_, iface, alternateSetting));
    }

  private:
    const std::shared_ptr<Context> context_;  // libusb lives as long as the handle
    libusb_device_handle* const handle_;
    std::mutex mutex_;
    int claimed_ = -1;  // guarded by mutex_
};

// ---- Descriptors as the device sent them ---------------------------------------------------

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putExtra(std::vector<uint8_t>& out, const unsigned char* extra, int length) {
    if (extra != nullptr && length > 0)
        out.insert(out.end(), extra, extra + length);
}

// libusb keeps the descriptors parsed, with the class-specific ones as "extra" bytes after the
// descriptor they follow; put back in order, they are the bytes GET_DESCRIPTOR returned.
UDA_STATUS rawDescriptors(libusb_device* device, std::vector<uint8_t>* out) {
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(device, &d);
    if (r != 0)
        return statusFromLibusb(r);
    out->assign({LIBUSB_DT_DEVICE_SIZE, LIBUSB_DT_DEVICE});
    put16(*out, d.bcdUSB);
    out->insert(out->end(),
                {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    put16(*out, d.idVendor);
    put16(*out, d.idProduct);
    put16(*out, d.bcdDevice);
    out->insert(out->end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});

    libusb_config_descriptor* c = nullptr;
    r = libusb_get_active_config_descriptor(device, &c);
    if (r != 0)
        return statusFromLibusb(r);
    const size_t start = out->size();
    out->insert(out->end(),
                {LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, 0, 0, c->bNumInterfaces,
                 c->bConfigurationValue, c->iConfiguration, c->bmAttributes, c->MaxPower});
    putExtra(*out, c->extra, c->extra_length);
    for (int i = 0; i < c->bNumInterfaces; ++i) {
        for (int a = 0; a < c->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& s = c->interface[i].altsetting[a];
            out->insert(out->end(),
                        {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, s.bInterfaceNumber,
                         s.bAlternateSetting, s.bNumEndpoints, s.bInterfaceClass,
                         s.bInterfaceSubClass, s.bInterfaceProtocol, s.iInterface});
            putExtra(*out, s.extra, s.extra_length);
            for (int e = 0; e < s.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = s.endpoint[e];
                const bool audio = ep.bLength >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE;
                out->insert(out->end(), {audio ? uint8_t(LIBUSB_DT_ENDPOINT_AUDIO_SIZE)
                                               : uint8_t(LIBUSB_DT_ENDPOINT_SIZE),
                                         LIBUSB_DT_ENDPOINT, ep.bEndpointAddress, ep.bmAttributes});
                put16(*out, ep.wMaxPacketSize);
                out->push_back(ep.bInterval);
                if (audio)
                    out->insert(out->end(), {ep.bRefresh, ep.bSynchAddress});
                putExtra(*out, ep.extra, ep.extra_length);
            }
        }
    }
    libusb_free_config_descriptor(c);
    const size_t total = out->size() - start;
    (*out)[start + 2] = static_cast<uint8_t>(total & 0xFF);
    (*out)[start + 3] = static_cast<uint8_t>(total >> 8);
    return 0;
}

// libusb's time-out 0 means "no limit", as INFINITE does here.
unsigned int libusbTimeout(uint32_t nominalMs) {
    return nominalMs == INFINITE ? 0u : bvu::clock::scaledMs(nominalMs);
}

// ---- The adapter ---------------------------------------------------------------------------

class LibusbHost final : public Host {
  public:
    explicit LibusbHost(std::shared_ptr<Context> context)
        : context_(std::move(context)), table_(std::make_shared<DeviceTable>()) {}

    ~LibusbHost() override {
        if (registered_)
            libusb_hotplug_deregister_callback(context_->get(), hotplug_);
        std::map<uint32_t, std::shared_ptr<Device>> opened;
        std::vector<std::shared_ptr<Device>> leftovers;
        {
            std::lock_guard<std::mutex> lock(table_->mutex);
            table_->events = nullptr;  // a callback still running reports nothing
            opened.swap(table_->opened);
            leftovers.swap(table_->leftovers);
        }
        context_->retire(table_);
        // The devices go here, or with the last request still using one.
    }

    UDA_STATUS listen(HostEvents* events, const std::vector<WantedDevice>& wanted) override {
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return UDA_FUNCTION_NOT_IMPLEMENTED;
        if (wanted.empty())
            return UDA_INVALID_PARAMETER;
        {
            std::lock_guard<std::mutex> lock(table_->mutex);
            table_->events = events;
            table_->wanted = wanted;
        }
        // libusb filters by one vendor and one product; several that differ are filtered again
        // in the callback.
        int vendor = wanted.front().vendorId;
        int product = wanted.front().productId;
        for (const WantedDevice& w : wanted) {
            if (w.vendorId != vendor)
                vendor = LIBUSB_HOTPLUG_MATCH_ANY;
            if (w.productId != product)
                product = LIBUSB_HOTPLUG_MATCH_ANY;
        }
        auto kinds = static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                       LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        int r = libusb_hotplug_register_callback(context_->get(), kinds, LIBUSB_HOTPLUG_NO_FLAGS,
                                                 vendor, product, LIBUSB_HOTPLUG_MATCH_ANY,
                                                 &LibusbHost::onHotplug, table_.get(), &hotplug_);
        if (r != LIBUSB_SUCCESS) {
            std::lock_guard<std::mutex> lock(table_->mutex);
            table_->events = nullptr;
            return statusFromLibusb(r);
        }
        registered_ = true;
        return 0;
    }

    std::vector<HostDevice> present() override {
        std::vector<HostDevice> devices;
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(context_->get(), &list);
        std::lock_guard<std::mutex> lock(table_->mutex);
        for (ssize_t i = 0; i < n; ++i) {
            HostDevice device;
            if (!table_->wantedLocked(list[i], &device))
                continue;
            const DeviceTable::Entry& entry = table_->entryLocked(list[i]);
            if (entry.departed)
                continue;
            device.id = entry.id;
            devices.push_back(device);
        }
        if (n >= 0)
            libusb_free_device_list(list, 1);
        return devices;
    }

    UDA_STATUS open(uint32_t id, std::vector<uint8_t>* descriptors, Unusable* why) override {
        releaseLeftovers();
        libusb_device* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(table_->mutex);
            auto it = table_->byId.find(id);
            if (it == table_->byId.end() || table_->entries.at(it->second).departed)
                return UDA_DEVICE_NOT_FOUND;
            device = libusb_ref_device(it->second);
        }
        UDA_STATUS s = rawDescriptors(device, descriptors);
        libusb_device_handle* handle = nullptr;
        if (s == 0) {
            int r = libusb_open(device, &handle);
            if (r == LIBUSB_ERROR_ACCESS)
                *why = Unusable::NoPermission;
            s = statusFromLibusb(r);
        }
        libusb_unref_device(device);
        if (s != 0)
            return s;
        // Where a kernel driver has bound the interface, take it over for the time we hold it.
        libusb_set_auto_detach_kernel_driver(handle, 1);
        auto opened = std::make_shared<Device>(context_, handle);
        std::lock_guard<std::mutex> lock(table_->mutex);
        if (table_->entries.at(table_->byId.at(id)).departed) {
            table_->leftovers.push_back(std::move(opened));
            return UDA_DEVICE_NOT_FOUND;
        }
        table_->opened[id] = std::move(opened);
        return 0;
    }

    UDA_STATUS setInterface(uint32_t id, uint8_t interfaceNumber,
                            uint8_t alternateSetting) override {
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return device->setInterface(interfaceNumber, alternateSetting);
    }

    // Pipe 0: the setup packet names the request; its direction bit says which way the data
    // stage goes, as on the bus.
    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) override {
        *transferred = 0;
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        uint8_t p[8];
        std::copy(setup, setup + 8, p);
        addressToClaimedInterface(p, device->claimed());
        int r = libusb_control_transfer(
            device->handle(), p[0], p[1], static_cast<uint16_t>(p[2] | (p[3] << 8)),
            static_cast<uint16_t>(p[4] | (p[5] << 8)), data,
            static_cast<uint16_t>(p[6] | (p[7] << 8)), libusbTimeout(timeoutMs));
        if (r >= 0)
            *transferred = static_cast<uint32_t>(r);
        return statusFromLibusb(r);
    }

    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) override {
        *transferred = 0;
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        if (length > INT_MAX)
            return UDA_INVALID_PARAMETER;
        int moved = 0;
        int r = libusb_bulk_transfer(device->handle(), endpoint, const_cast<uint8_t*>(data),
                                     static_cast<int>(length), &moved, libusbTimeout(timeoutMs));
        *transferred = static_cast<uint32_t>(moved > 0 ? moved : 0);
        return statusFromLibusb(r);
    }

    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return statusFromLibusb(libusb_clear_halt(device->handle(), endpoint));
    }

    void close(uint32_t id) override {
        releaseLeftovers();
        std::shared_ptr<Device> device;
        std::lock_guard<std::mutex> lock(table_->mutex);
        auto it = table_->opened.find(id);
        if (it != table_->opened.end()) {
            device = std::move(it->second);
            table_->opened.erase(it);
        }
    }  // the device is released after the lock (device is destroyed last)

  private:
    // libusb's event thread (or inside libusb_hotplug_register_callback). The table's lock is
    // held while the news is passed on, so that none reaches an adapter that has gone.
    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* user) {
        DeviceTable& table = *static_cast<DeviceTable*>(user);
        std::lock_guard<std::mutex> lock(table.mutex);
        HostDevice news;
        if (table.events == nullptr || !table.wantedLocked(device, &news))
            return 0;
        DeviceTable::Entry& entry = table.entryLocked(device);
        news.id = entry.id;
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            if (!entry.departed)
                table.events->arrived(news);
        } else if (!entry.departed) {
            entry.departed = true;
            auto it = table.opened.find(entry.id);
            if (it != table.opened.end()) {
                table.leftovers.push_back(std::move(it->second));
                table.opened.erase(it);
            }
            table.events->left(entry.id);
        }
        return 0;  // stay registered
    }

    std::shared_ptr<Device> find(uint32_t id) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        auto it = table_->opened.find(id);
        return it == table_->opened.end() ? nullptr : it->second;
    }

    void releaseLeftovers() {
        std::vector<std::shared_ptr<Device>> leftovers;
        std::lock_guard<std::mutex> lock(table_->mutex);
        leftovers.swap(table_->leftovers);
    }  // released after the lock

    const std::shared_ptr<Context> context_;
    const std::shared_ptr<DeviceTable> table_;
    bool registered_ = false;  // listen() and the destructor run on the layer's init thread
    libusb_hotplug_callback_handle hotplug_{};
};

}  // namespace

std::unique_ptr<Host> openLibusbHost(UDA_STATUS* status) {
    UDA_STATUS s = 0;
    std::shared_ptr<Context> context = Context::acquire(&s);
    if (!context) {
        *status = s;
        return nullptr;
    }
    *status = 0;
    return std::unique_ptr<Host>(new LibusbHost(std::move(context)));
}

std::unique_ptr<KernelDriver> openLibusbDriver(UDA_STATUS* status) {
    std::unique_ptr<Host> host = openLibusbHost(status);
    return host ? makeHostDriver(std::move(host)) : nullptr;
}

}  // namespace kd
}  // namespace bvu
