#include "usb/backend_winusb.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cwctype>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "usb/descriptor_parser.h"
#include "usb/device_advice.h"

namespace bvu {
namespace kd {

// ---- Status mapping --------------------------------------------------------------------------

namespace {

struct StatusRow {
    DWORD error;
    UDA_STATUS status;
};

const StatusRow kStatusRows[] = {
    {ERROR_SUCCESS, UDA_SUCCESS},
    // WinUSB's own pipe time-out; the adapter's time-outs on the clock end the same way.
    {ERROR_SEM_TIMEOUT, UDA_TIMEOUT_EXPIRED},
    // WinUSB fails a stalled request with the general failure. A device pulled out in the middle
    // of a request may fail it so too: the adapter looks at the bus again after every failure,
    // and the driver core turns the failure of a departed device into "Device not found".
    {ERROR_GEN_FAILURE, UDA_HC_STALL_PID},
    // The device is not (or no longer) there.
    {ERROR_DEVICE_NOT_CONNECTED, UDA_DEVICE_NOT_FOUND},
    {ERROR_NO_SUCH_DEVICE, UDA_DEVICE_NOT_FOUND},
    {ERROR_DEV_NOT_EXIST, UDA_DEVICE_NOT_FOUND},
    {ERROR_FILE_NOT_FOUND, UDA_DEVICE_NOT_FOUND},
    {ERROR_PATH_NOT_FOUND, UDA_DEVICE_NOT_FOUND},
    {ERROR_BAD_COMMAND, UDA_DEVICE_NOT_FOUND},
    // WinUSB opens a device for one program at a time: another one holds it.
    {ERROR_ACCESS_DENIED, UDA_RESOURCE_OVERLAP},
    {ERROR_SHARING_VIOLATION, UDA_RESOURCE_OVERLAP},
    {ERROR_BUSY, UDA_RESOURCE_OVERLAP},
    {ERROR_OPERATION_ABORTED, UDA_IRP_CANCELLED},
    {ERROR_NOT_ENOUGH_MEMORY, UDA_INSUFFICIENT_RESOURCES},
    {ERROR_OUTOFMEMORY, UDA_INSUFFICIENT_RESOURCES},
    {ERROR_NO_SYSTEM_RESOURCES, UDA_INSUFFICIENT_RESOURCES},
    {ERROR_INVALID_PARAMETER, UDA_INVALID_PARAMETER},
    {ERROR_INVALID_HANDLE, UDA_INVALID_HANDLE},
    {ERROR_INVALID_FUNCTION, UDA_FUNCTION_NOT_IMPLEMENTED},
    {ERROR_NOT_SUPPORTED, UDA_FUNCTION_NOT_IMPLEMENTED},
    // No proper answer on the bus.
    {ERROR_IO_DEVICE, UDA_HC_DEVICE_NOT_RESPONDING},
    {ERROR_CRC, UDA_HC_DEVICE_NOT_RESPONDING},
    // The device sent more than was asked for.
    {ERROR_MORE_DATA, UDA_HC_DATA_OVERRUN},
    {ERROR_INSUFFICIENT_BUFFER, UDA_HC_DATA_OVERRUN},
};

}  // namespace

UDA_STATUS statusFromWin32Error(DWORD error) {
    for (const StatusRow& row : kStatusRows) {
        if (row.error == error)
            return row.status;
    }
    return UDA_ERROR;
}

// ---- Texts of the device nodes ---------------------------------------------------------------

namespace {

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// count hex digits from text[at] into *value; false if one is not a hex digit.
bool hexField(const std::wstring& text, size_t at, size_t count, uint32_t* value) {
    if (at + count > text.size())
        return false;
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) {
        int d = hexDigit(text[at + i]);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

}  // namespace

bool parseGuid(const std::wstring& text, GUID* guid) {
    std::wstring t = text;
    if (t.size() == 38 && t.front() == L'{' && t.back() == L'}')
        t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != L'-' || t[13] != L'-' || t[18] != L'-' || t[23] != L'-')
        return false;
    uint32_t v = 0;
    if (!hexField(t, 0, 8, &v))
        return false;
    guid->Data1 = v;
    if (!hexField(t, 9, 4, &v))
        return false;
    guid->Data2 = static_cast<uint16_t>(v);
    if (!hexField(t, 14, 4, &v))
        return false;
    guid->Data3 = static_cast<uint16_t>(v);
    const size_t at[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!hexField(t, at[i], 2, &v))
            return false;
        guid->Data4[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool parseHardwareId(const std::wstring& id, uint16_t* vendorId, uint16_t* productId) {
    const std::wstring u = upper(id);
    if (u.compare(0, 4, L"USB\\") != 0 || u.find(L"&MI_") != std::wstring::npos)
        return false;
    const size_t vid = u.find(L"VID_");
    const size_t pid = u.find(L"PID_");
    uint32_t v = 0, p = 0;
    if (vid == std::wstring::npos || pid == std::wstring::npos || !hexField(u, vid + 4, 4, &v) ||
        !hexField(u, pid + 4, 4, &p))
        return false;
    *vendorId = static_cast<uint16_t>(v);
    *productId = static_cast<uint16_t>(p);
    return true;
}

std::vector<std::wstring> parseMultiString(const BYTE* data, DWORD size) {
    std::vector<std::wstring> out;
    const size_t count = size / sizeof(WCHAR);
    std::wstring current;
    for (size_t i = 0; i < count; ++i) {
        WCHAR c;
        std::copy(data + i * sizeof(WCHAR), data + (i + 1) * sizeof(WCHAR),
                  reinterpret_cast<BYTE*>(&c));
        if (c != 0) {
            current.push_back(c);
        } else if (current.empty()) {
            break;  // the empty string that ends the list
        } else {
            out.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

namespace {

bool isWinUsb(const std::wstring& service) {
    return upper(service) == upper(winusb::kWinUsbService);
}

}  // namespace

Unusable classifyNode(const std::wstring& service, long installState, bool hasPath) {
    if (isWinUsb(service)) {
        // WinUSB registers the interface when it starts on the device: until then it is still
        // being set up.
        return hasPath ? Unusable::No : Unusable::SettingUp;
    }
    if (!service.empty())
        return Unusable::OtherDriver;
    if (installState == static_cast<long>(winusb::kInstallStateNeedsReinstall) ||
        installState == static_cast<long>(winusb::kInstallStateFinishInstall))
        return Unusable::SettingUp;  // Windows has yet to install (or finish installing) a driver
    return Unusable::NoDriver;
}

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

// A device node of interest as one look found it.
struct Node {
    std::wstring instance;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::wstring path;            // of the interface WinUSB serves; empty: none (yet)
    std::wstring service;         // the node's function driver; empty: none
    Unusable why = Unusable::No;  // why it cannot be opened; No when path is set
    std::string location;         // where it is plugged; empty when the system does not say

    // The same node as far as the program is concerned: a usable node stays the same while its
    // path does (a property that cannot be read for a moment must not pull an opened device away
    // from under the program); an unusable one changes with what keeps it from being used.
    bool sameAs(const Node& other) const {
        if (instance != other.instance || path != other.path)
            return false;
        return !path.empty() || (why == other.why && service == other.service);
    }
};

// Location texts are ASCII; anything else would not survive the trip to a command line.
std::string narrowed(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// ---- One opened device -------------------------------------------------------------------

// Shared by the adapter (while the device is open) and by every request in progress on it; the
// handles are freed when the last of them lets go.
class Device {
  public:
    Device(const winusb::Win32Usb& api, HANDLE file, WINUSB_INTERFACE_HANDLE first)
        : api_(api), file_(file), first_(first) {}

    ~Device() {
        for (auto& entry : associated_) api_.WinUsb_Free(entry.second);
        api_.WinUsb_Free(first_);
        api_.CloseHandle(file_);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The device descriptor and the whole configuration, as the device sent them.
    UDA_STATUS readDescriptors(std::vector<uint8_t>* out) {
        const UCHAR kDevice = 1, kConfiguration = 2;
        const ULONG kDeviceLength = 18, kConfigurationLength = 9;
        out->assign(kDeviceLength, 0);
        ULONG n = 0;
        if (!api_.WinUsb_GetDescriptor(first_, kDevice, 0, 0, out->data(), kDeviceLength, &n))
            return statusFromWin32Error(api_.GetLastError());
        uint8_t header[kConfigurationLength] = {};
        ULONG m = 0;
        if (!api_.WinUsb_GetDescriptor(first_, kConfiguration, 0, 0, header, sizeof header, &m))
            return statusFromWin32Error(api_.GetLastError());
        const ULONG total = m >= 4 ? static_cast<ULONG>(header[2] | (header[3] << 8)) : 0;
        std::vector<uint8_t> configuration(total);
        if (total > 0 && !api_.WinUsb_GetDescriptor(first_, kConfiguration, 0, 0,
                                                    configuration.data(), total, &m))
            return statusFromWin32Error(api_.GetLastError());
        // Short descriptors are left to the parser, which reports them.
        out->resize(n);
        configuration.resize(std::min(m, total));
        out->insert(out->end(), configuration.begin(), configuration.end());
        if (parseDescriptors(*out, &layout_, nullptr)) {
            for (const UDA_Interface& iface : layout_.activeInterfaces)
                interfaces_.push_back(iface.alternateSettings.front().descriptor.bInterfaceNumber);
        }
        return 0;
    }

    // WinUSB's handle for an interface: the first one's is WinUsb_Initialize's, the others are
    // its associated interfaces in the order of the configuration.
    UDA_STATUS setInterface(uint8_t number, uint8_t alternateSetting) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto at = std::find(interfaces_.begin(), interfaces_.end(), number);
        if (at == interfaces_.end())
            return UDA_INVALID_PARAMETER;
        const size_t index = static_cast<size_t>(at - interfaces_.begin());
        WINUSB_INTERFACE_HANDLE handle = first_;
        if (index > 0) {
            auto known = associated_.find(index);
            if (known == associated_.end()) {
                WINUSB_INTERFACE_HANDLE h = nullptr;
                if (!api_.WinUsb_GetAssociatedInterface(first_, static_cast<UCHAR>(index - 1), &h))
                    return statusFromWin32Error(api_.GetLastError());
                known = associated_.emplace(index, h).first;
            }
            handle = known->second;
        }
        if (!api_.WinUsb_SetCurrentAlternateSetting(handle, alternateSetting)) {
            const DWORD error = api_.GetLastError();
            // USB lets a device stall SET_INTERFACE for an interface with one alternate setting.
            // Linux takes that for success and clears the halts of the interface's endpoints
            // instead; so does this adapter, so that such a device attaches on both.
            const UDA_Interface& iface = layout_.activeInterfaces[index];
            if (error != ERROR_GEN_FAILURE || iface.alternateSettings.size() != 1)
                return statusFromWin32Error(error);
            for (const UDA_PipeInfo& pipe : iface.alternateSettings.front().pipes)
                api_.WinUsb_ResetPipe(handle, static_cast<UCHAR>(pipe.number));
        }
        claimed_ = handle;
        claimedNumber_ = number;
        return 0;
    }

    // WinUSB keeps a pipe that stalled halted until it is reset, which also clears the halt on
    // the device.
    UDA_STATUS clearHalt(uint8_t endpoint) {
        WINUSB_INTERFACE_HANDLE handle;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handle = claimed_ != nullptr ? claimed_ : first_;
        }
        return api_.WinUsb_ResetPipe(handle, endpoint) ? 0
                                                       : statusFromWin32Error(api_.GetLastError());
    }

    UDA_STATUS control(const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) {
        WINUSB_INTERFACE_HANDLE handle;
        uint8_t p[8];
        std::copy(setup, setup + 8, p);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handle = claimed_ != nullptr ? claimed_ : first_;
            addressToClaimedInterface(p, claimedNumber_);
        }
        WINUSB_SETUP_PACKET packet;
        packet.RequestType = p[0];
        packet.Request = p[1];
        packet.Value = static_cast<USHORT>(p[2] | (p[3] << 8));
        packet.Index = static_cast<USHORT>(p[4] | (p[5] << 8));
        packet.Length = static_cast<USHORT>(p[6] | (p[7] << 8));
        return overlapped(
            [&](OVERLAPPED* ov, ULONG* n) {
                return api_.WinUsb_ControlTransfer(handle, packet, data, packet.Length, n, ov);
            },
            [&](OVERLAPPED* ov) { api_.CancelIoEx(file_, ov); }, timeoutMs, transferred);
    }

    UDA_STATUS bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) {
        WINUSB_INTERFACE_HANDLE handle;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handle = claimed_ != nullptr ? claimed_ : first_;
        }
        return overlapped(
            [&](OVERLAPPED* ov, ULONG* n) {
                return api_.WinUsb_WritePipe(handle, endpoint, const_cast<uint8_t*>(data), length,
                                             n, ov);
            },
            [&](OVERLAPPED*) { api_.WinUsb_AbortPipe(handle, endpoint); }, timeoutMs, transferred);
    }

  private:
    // Starts a request with an event of its own, waits for it on the clock (0 or INFINITE: no
    // limit), cancels it when the time is up, and collects it in every case: the buffer and
    // the OVERLAPPED belong to the request until WinUSB says it has finished.
    UDA_STATUS overlapped(const std::function<BOOL(OVERLAPPED*, ULONG*)>& start,
                          const std::function<void(OVERLAPPED*)>& cancel, uint32_t timeoutMs,
                          uint32_t* transferred) {
        *transferred = 0;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (ov.hEvent == nullptr)
            return UDA_INSUFFICIENT_RESOURCES;
        ULONG n = 0;
        DWORD error = start(&ov, &n) ? ERROR_SUCCESS : api_.GetLastError();
        if (error == ERROR_IO_PENDING) {
            const uint32_t limit = timeoutMs == 0 ? INFINITE : timeoutMs;
            const bool timedOut = clock::waitMs(ov.hEvent, limit) == WAIT_TIMEOUT;
            if (timedOut)
                cancel(&ov);
            DWORD got = 0;
            error = api_.WinUsb_GetOverlappedResult(first_, &ov, &got, TRUE) ? ERROR_SUCCESS
                                                                             : api_.GetLastError();
            n = got;
            // An answer that came while the request was being cancelled still counts.
            if (timedOut && error != ERROR_SUCCESS)
                error = ERROR_SEM_TIMEOUT;
        }
        CloseHandle(ov.hEvent);
        *transferred = n;
        return statusFromWin32Error(error);
    }

    const winusb::Win32Usb& api_;
    const HANDLE file_;
    const WINUSB_INTERFACE_HANDLE first_;
    UDA_DeviceInfo layout_;            // the configuration as readDescriptors parsed it
    std::vector<uint8_t> interfaces_;  // interface numbers in the configuration's order
    std::mutex mutex_;                 // guards what follows
    std::map<size_t, WINUSB_INTERFACE_HANDLE> associated_;  // by index in interfaces_
    WINUSB_INTERFACE_HANDLE claimed_ = nullptr;
    int claimedNumber_ = -1;
};

// ---- The adapter ---------------------------------------------------------------------------

class WinusbHost final : public Host {
  public:
    explicit WinusbHost(const winusb::Win32Usb& api) : api_(api) {}

    ~WinusbHost() override {
        // Notifications first: unregistering waits for a callback in progress.
        for (winusb::CmNotification n : notifications_) api_.CM_Unregister_Notification(n);
        {
            std::lock_guard<std::mutex> lock(watchMutex_);
            stop_ = true;
        }
        watchChanged_.notify_all();
        if (watcher_.joinable())
            watcher_.join();
        std::map<uint32_t, std::shared_ptr<Device>> opened;
        std::lock_guard<std::mutex> lock(mutex_);
        opened.swap(opened_);
    }  // the devices go after the lock, or with the last request still using one

    UDA_STATUS listen(HostEvents* events, const std::vector<WantedDevice>& wanted) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_ = events;
            wanted_ = wanted;
        }
        publishDriverSigns(wanted);
        registerNotifications();
        watcher_ = std::thread([this] { watch(); });
        return 0;
    }

    std::vector<HostDevice> present() override {
        look();
        std::vector<HostDevice> devices;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : nodes_) {
            devices.push_back(HostDevice{entry.second.id, entry.second.node.vendorId,
                                         entry.second.node.productId, entry.second.node.location});
        }
        return devices;
    }

    UDA_STATUS open(uint32_t id, std::vector<uint8_t>* descriptors, Unusable* why) override {
        std::wstring path;
        Unusable unusable;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Known* known = findLocked(id);
            if (known == nullptr)
                return UDA_DEVICE_NOT_FOUND;
            path = known->node.path;
            unusable = known->node.why;
        }
        if (path.empty()) {
            // Not served by WinUSB (yet), so nothing to open: no WinUSB call is made for such a
            // device.
            *why = unusable;
            return UDA_FAILED_TO_OPEN_DRIVER;
        }
        HANDLE file = api_.CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return statusFromWin32Error(api_.GetLastError());
        WINUSB_INTERFACE_HANDLE first = nullptr;
        if (!api_.WinUsb_Initialize(file, &first)) {
            const DWORD error = api_.GetLastError();
            api_.CloseHandle(file);
            return statusFromWin32Error(error);
        }
        auto device = std::make_shared<Device>(api_, file, first);
        UDA_STATUS s = device->readDescriptors(descriptors);
        if (s != 0)
            return s;
        std::lock_guard<std::mutex> lock(mutex_);
        if (findLocked(id) == nullptr)
            return UDA_DEVICE_NOT_FOUND;  // gone meanwhile; device goes after the lock
        opened_[id] = std::move(device);
        return 0;
    }

    UDA_STATUS setInterface(uint32_t id, uint8_t interfaceNumber,
                            uint8_t alternateSetting) override {
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return checked(id, device->setInterface(interfaceNumber, alternateSetting));
    }

    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* transferred,
                       uint32_t timeoutMs) override {
        *transferred = 0;
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return checked(id, device->control(setup, data, transferred, timeoutMs));
    }

    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* transferred, uint32_t timeoutMs) override {
        *transferred = 0;
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return checked(id, device->bulkOut(endpoint, data, length, transferred, timeoutMs));
    }

    void close(uint32_t id) override {
        std::shared_ptr<Device> device;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = opened_.find(id);
        if (it != opened_.end()) {
            device = std::move(it->second);
            opened_.erase(it);
        }
    }  // the device is released after the lock

    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        std::shared_ptr<Device> device = find(id);
        if (!device)
            return UDA_DEVICE_NOT_FOUND;
        return checked(id, device->clearHalt(endpoint));
    }

    std::string driverInTheWay(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const Known* known = findLocked(id);
        if (known == nullptr)
            return std::string();
        // Service names are ASCII.
        std::string name;
        for (wchar_t c : known->node.service) name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return name;
    }

  private:
    struct Known {
        uint32_t id;
        Node node;
    };

    // ---- Watching ----------------------------------------------------------------------------

    void registerNotifications() {
        if (api_.CM_Register_Notification == nullptr || api_.CM_Unregister_Notification == nullptr)
            return;
        // Device nodes coming, starting (a driver was installed) and going, and interfaces
        // coming and going: any of them may concern a device of ours.
        const DWORD filters[][2] = {
            {winusb::kCmNotifyFilterTypeDeviceInstance,
             winusb::kCmNotifyFilterFlagAllDeviceInstances},
            {winusb::kCmNotifyFilterTypeDeviceInterface,
             winusb::kCmNotifyFilterFlagAllInterfaceClasses},
        };
        for (const auto& f : filters) {
            winusb::CmNotifyFilter filter{};
            filter.cbSize = sizeof filter;
            filter.FilterType = f[0];
            filter.Flags = f[1];
            winusb::CmNotification handle = nullptr;
            if (api_.CM_Register_Notification(&filter, this, &WinusbHost::onNotification,
                                              &handle) == winusb::kCrSuccess) {
                notifications_.push_back(handle);
            }
        }
    }

    // A thread of the system's: only wakes the watcher.
    static DWORD WINAPI onNotification(winusb::CmNotification, void* context, DWORD, const void*,
                                       DWORD) {
        auto* self = static_cast<WinusbHost*>(context);
        {
            std::lock_guard<std::mutex> lock(self->watchMutex_);
            self->lookAgain_ = true;
        }
        self->watchChanged_.notify_all();
        return ERROR_SUCCESS;
    }

    void watch() {
        const bool notified = !notifications_.empty();
        std::unique_lock<std::mutex> lock(watchMutex_);
        while (!stop_) {
            auto woken = [this] { return stop_ || lookAgain_; };
            if (notified) {
                watchChanged_.wait(lock, woken);
            } else {
                watchChanged_.wait_until(lock, clock::now() + clock::scaled(kPollInterval), woken);
            }
            if (stop_)
                break;
            lookAgain_ = false;
            lock.unlock();
            look();
            lock.lock();
        }
    }

    // After a failed request: an error that says the device has gone means the opened device
    // has gone, even if a node of the same name is back already (a quick replug); after any
    // other failure but a time-out, look again at once. Either way, a device that has gone is
    // reported before the request returns.
    UDA_STATUS checked(uint32_t id, UDA_STATUS status) {
        if (status == UDA_DEVICE_NOT_FOUND) {
            forget(id);
        } else if (status != 0 && status != UDA_TIMEOUT_EXPIRED) {
            look();
        }
        return status;
    }

    // Reports the device as gone and forgets its node, so that the next look takes a node of
    // that name for a new arrival.
    void forget(uint32_t id) {
        std::lock_guard<std::mutex> looking(lookMutex_);
        std::shared_ptr<Device> dropped;  // released after the lock
        HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto node = std::find_if(
                nodes_.begin(), nodes_.end(),
                [&](const std::pair<const std::wstring, Known>& n) { return n.second.id == id; });
            if (node == nodes_.end())
                return;
            nodes_.erase(node);
            auto open = opened_.find(id);
            if (open != opened_.end()) {
                dropped = std::move(open->second);
                opened_.erase(open);
            }
            events = events_;
        }
        if (events != nullptr)
            events->left(id);
    }

    // ---- Looking at the device nodes ---------------------------------------------------------

    // Compares the nodes present with those known and reports the differences. Looks run one
    // at a time, so the reports keep their order.
    void look() {
        std::lock_guard<std::mutex> looking(lookMutex_);
        std::vector<WantedDevice> wanted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wanted = wanted_;
        }
        std::vector<Node> found;
        if (!enumerate(wanted, &found))
            return;  // the system did not answer: keep what is known
        std::vector<uint32_t> left;
        std::vector<HostDevice> arrived;
        std::vector<std::shared_ptr<Device>> dropped;  // released after the lock
        HostEvents* events;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = nodes_.begin(); it != nodes_.end();) {
                auto now = std::find_if(found.begin(), found.end(),
                                        [&](const Node& n) { return n.sameAs(it->second.node); });
                if (now != found.end()) {
                    ++it;
                    continue;
                }
                left.push_back(it->second.id);
                auto open = opened_.find(it->second.id);
                if (open != opened_.end()) {
                    dropped.push_back(std::move(open->second));
                    opened_.erase(open);
                }
                it = nodes_.erase(it);
            }
            for (const Node& n : found) {
                if (nodes_.count(n.instance) != 0)
                    continue;
                const uint32_t id = ++lastId_;
                nodes_[n.instance] = Known{id, n};
                arrived.push_back(HostDevice{id, n.vendorId, n.productId, n.location});
            }
            events = events_;
        }
        for (const Node& n : found) {
            if (isWinUsb(n.service))
                usb::noteDriverSign(n.vendorId, n.productId, usb::DriverSign::Seen);
        }
        if (events == nullptr)
            return;
        for (uint32_t id : left) events->left(id);
        for (const HostDevice& d : arrived) events->arrived(d);
    }

    // What this PC shows of drivers for the wanted devices, present or not: a device node that
    // WinUSB serves means a driver package for that hardware ID is installed, which Windows
    // binds to the device on any port. (A package installed without the device ever having been
    // plugged in leaves no node, so None is a warning, never a refusal.)
    void publishDriverSigns(const std::vector<WantedDevice>& wanted) {
        HDEVINFO set = api_.SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE)
            return;
        std::vector<WantedDevice> served;
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA data{};
            data.cbSize = sizeof data;
            if (!api_.SetupDiEnumDeviceInfo(set, i, &data))
                break;
            Node node;
            if (wantedNode(set, &data, wanted, &node) &&
                isWinUsb(stringProperty(set, &data, SPDRP_SERVICE)))
                served.push_back(WantedDevice{node.vendorId, node.productId});
        }
        api_.SetupDiDestroyDeviceInfoList(set);
        for (const WantedDevice& w : wanted) {
            const bool seen = std::any_of(served.begin(), served.end(), [&](const WantedDevice& s) {
                return s.vendorId == w.vendorId && s.productId == w.productId;
            });
            usb::noteDriverSign(w.vendorId, w.productId,
                                seen ? usb::DriverSign::Seen : usb::DriverSign::None);
        }
    }

    bool enumerate(const std::vector<WantedDevice>& wanted, std::vector<Node>* found) {
        HDEVINFO set =
            api_.SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            return false;
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA data{};
            data.cbSize = sizeof data;
            if (!api_.SetupDiEnumDeviceInfo(set, i, &data))
                break;  // no more nodes
            Node node;
            if (!wantedNode(set, &data, wanted, &node))
                continue;
            node.instance = instanceId(set, &data);
            if (node.instance.empty())
                continue;
            node.service = stringProperty(set, &data, SPDRP_SERVICE);
            // Only WinUSB's interface is opened: another driver's may exist (libusbK registers
            // one), but WinUsb_Initialize would fail on it.
            if (isWinUsb(node.service))
                node.path = interfacePath(set, &data, node.instance);
            node.why = classifyNode(node.service, installState(set, &data), !node.path.empty());
            node.location = location(set, &data);
            found->push_back(std::move(node));
        }
        api_.SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    // A registry property of the node; false when it has none (or it cannot be read).
    bool property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD which, std::vector<BYTE>* value,
                  DWORD* type) {
        auto get = [&](DWORD* t, PBYTE buffer, DWORD size, PDWORD required) {
            return api_.SetupDiGetDeviceRegistryPropertyW(set, data, which, t, buffer, size,
                                                          required);
        };
        return readProperty(get, type, value);
    }

    // A REG_SZ property; empty when the node has none.
    std::wstring stringProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD which) {
        std::vector<BYTE> value;
        DWORD type = 0;
        if (!property(set, data, which, &value, &type) || type != REG_SZ)
            return std::wstring();
        const std::vector<std::wstring> strings =
            parseMultiString(value.data(), static_cast<DWORD>(value.size()));
        return strings.empty() ? std::wstring() : strings.front();
    }

    // SPDRP_INSTALL_STATE; -1 when the node has none.
    long installState(HDEVINFO set, PSP_DEVINFO_DATA data) {
        std::vector<BYTE> value;
        DWORD type = 0;
        DWORD state = 0;
        if (!property(set, data, SPDRP_INSTALL_STATE, &value, &type) || value.size() < sizeof state)
            return -1;
        std::copy(value.begin(), value.begin() + sizeof state, reinterpret_cast<BYTE*>(&state));
        return static_cast<long>(state);
    }

    bool wantedNode(HDEVINFO set, PSP_DEVINFO_DATA data, const std::vector<WantedDevice>& wanted,
                    Node* node) {
        std::vector<BYTE> ids;
        DWORD type = 0;
        if (!property(set, data, SPDRP_HARDWAREID, &ids, &type))
            return false;
        for (const std::wstring& id :
             parseMultiString(ids.data(), static_cast<DWORD>(ids.size()))) {
            uint16_t vendor = 0, product = 0;
            if (!parseHardwareId(id, &vendor, &product))
                continue;
            for (const WantedDevice& w : wanted) {
                if (w.vendorId == vendor && w.productId == product) {
                    node->vendorId = vendor;
                    node->productId = product;
                    return true;
                }
            }
            return false;  // the first ID that names a device decides
        }
        return false;
    }

    // Where the node is plugged: the first of its location paths (the same for whatever device
    // comes up at that port), else its location information; empty when neither is there.
    std::string location(HDEVINFO set, PSP_DEVINFO_DATA data) {
        std::vector<BYTE> value;
        DWORD type = 0;
        if (api_.SetupDiGetDevicePropertyW != nullptr) {
            auto get = [&](DEVPROPTYPE* t, PBYTE buffer, DWORD size, PDWORD required) {
                return api_.SetupDiGetDevicePropertyW(set, data, &winusb::kDeviceLocationPathsKey,
                                                      t, buffer, size, required, 0);
            };
            DEVPROPTYPE t = 0;
            if (readProperty(get, &t, &value) && t == DEVPROP_TYPE_STRING_LIST) {
                std::vector<std::wstring> paths =
                    parseMultiString(value.data(), static_cast<DWORD>(value.size()));
                if (!paths.empty())
                    return narrowed(paths.front());
            }
        }
        if (property(set, data, SPDRP_LOCATION_INFORMATION, &value, &type) && type == REG_SZ) {
            std::vector<std::wstring> text =
                parseMultiString(value.data(), static_cast<DWORD>(value.size()));
            if (!text.empty())
                return narrowed(text.front());
        }
        return std::string();
    }

    // A property of unknown size: asked once for the size, then with room for it.
    template <typename Type, typename Get>
    bool readProperty(Get get, Type* type, std::vector<BYTE>* value) {
        value->clear();
        for (int attempt = 0; attempt < 2; ++attempt) {
            DWORD size = 0;
            if (get(type, value->data(), static_cast<DWORD>(value->size()), &size)) {
                value->resize(std::min<size_t>(size, value->size()));
                return true;
            }
            if (api_.GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
                return false;
            value->assign(size, 0);
        }
        return false;
    }

    std::wstring instanceId(HDEVINFO set, PSP_DEVINFO_DATA data) {
        WCHAR buffer[winusb::kMaxDeviceIdLength] = {};
        DWORD required = 0;
        if (!api_.SetupDiGetDeviceInstanceIdW(set, data, buffer, winusb::kMaxDeviceIdLength,
                                              &required))
            return std::wstring();
        buffer[winusb::kMaxDeviceIdLength - 1] = 0;
        return buffer;
    }

    // The path of the interface of a node that WinUSB serves, found through the GUIDs its
    // installation wrote into its device key: DeviceInterfaceGUIDs (our INF, the usual
    // installers) or DeviceInterfaceGUID (some installers), either as REG_MULTI_SZ or REG_SZ.
    // A node with neither (WinUSB picked by hand in Device Manager) is reached through the
    // interface the USB hub registers for every device. Empty when there is none (yet).
    std::wstring interfacePath(HDEVINFO set, PSP_DEVINFO_DATA data, const std::wstring& instance) {
        HKEY key = api_.SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        const bool opened = key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) && key != nullptr;
        bool named = false;  // the installation wrote a GUID value
        std::vector<GUID> guids;
        for (const wchar_t* name : {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"}) {
            if (opened)
                named |= guidValue(key, name, &guids);
        }
        if (opened)
            api_.RegCloseKey(key);
        for (const GUID& guid : guids) {
            std::wstring path = interfacePathOf(guid, instance);
            if (!path.empty())
                return path;
        }
        return named ? std::wstring()
                     : interfacePathOf(winusb::kGuidDevinterfaceUsbDevice, instance);
    }

    // Adds the GUIDs of a string value of the key to *guids; whether the value exists.
    bool guidValue(HKEY key, const wchar_t* name, std::vector<GUID>* guids) {
        std::vector<BYTE> value(512);
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(value.size());
        LONG r = api_.RegQueryValueExW(key, name, nullptr, &type, value.data(), &size);
        if (r == static_cast<LONG>(ERROR_MORE_DATA)) {
            value.assign(size, 0);
            r = api_.RegQueryValueExW(key, name, nullptr, &type, value.data(), &size);
        }
        if (r != static_cast<LONG>(ERROR_SUCCESS) || (type != REG_MULTI_SZ && type != REG_SZ))
            return false;
        for (const std::wstring& text : parseMultiString(
                 value.data(), std::min<DWORD>(size, static_cast<DWORD>(value.size())))) {
            GUID guid;
            if (parseGuid(text, &guid))
                guids->push_back(guid);
        }
        return true;
    }

    std::wstring interfacePathOf(const GUID& guid, const std::wstring& instance) {
        HDEVINFO set = api_.SetupDiGetClassDevsW(&guid, instance.c_str(), nullptr,
                                                 DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            return std::wstring();
        std::wstring path;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (api_.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
            DWORD required = 0;
            api_.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
            if (required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
                // 8-byte units keep the structure aligned.
                std::vector<uint64_t> storage((required + sizeof(uint64_t) - 1) / sizeof(uint64_t));
                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                if (api_.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr,
                                                          nullptr)) {
                    const size_t chars =
                        (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                        sizeof(WCHAR);
                    path.assign(detail->DevicePath,
                                std::find(detail->DevicePath, detail->DevicePath + chars, 0));
                }
            }
        }
        api_.SetupDiDestroyDeviceInfoList(set);
        return path;
    }

    const Known* findLocked(uint32_t id) const {
        for (const auto& entry : nodes_) {
            if (entry.second.id == id)
                return &entry.second;
        }
        return nullptr;
    }

    std::shared_ptr<Device> find(uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = opened_.find(id);
        return it == opened_.end() ? nullptr : it->second;
    }

    const winusb::Win32Usb& api_;
    std::vector<winusb::CmNotification> notifications_;  // written by listen() only
    std::thread watcher_;

    std::mutex lookMutex_;  // one look at a time

    std::mutex mutex_;  // guards what follows
    HostEvents* events_ = nullptr;
    std::vector<WantedDevice> wanted_;
    std::map<std::wstring, Known> nodes_;  // by instance ID
    std::map<uint32_t, std::shared_ptr<Device>> opened_;
    uint32_t lastId_ = 0;

    std::mutex watchMutex_;  // guards what follows
    std::condition_variable watchChanged_;
    bool stop_ = false;
    bool lookAgain_ = false;
};

}  // namespace

std::unique_ptr<Host> makeWinusbHost(const winusb::Win32Usb& api) {
    return std::unique_ptr<Host>(new WinusbHost(api));
}

}  // namespace kd
}  // namespace bvu
