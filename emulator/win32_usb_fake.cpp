#include "emulator/win32_usb_fake.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "emulator/backend.h"
#include "emulator/device_state.h"
#include "emulator/faults.h"
#include "usb/backend_winusb.h"
#include "usb/descriptor_parser.h"

namespace bvu {
namespace emulator {
namespace {

// An installer's GUID, deliberately not the project's: the adapter must take whatever the
// device key names.
constexpr wchar_t kInterfaceGuid[] = L"{5C7D3E1A-92B4-4F06-A1C8-3B2E9D4F6A70}";
// GUID_DEVINTERFACE_USB_DEVICE, which the hub registers for every device it has started.
constexpr wchar_t kUsbDeviceGuid[] = L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
constexpr DWORD kActionEnumerated = 7;  // CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED
constexpr DWORD kActionRemoved = 9;     // CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED

thread_local DWORD t_lastError = 0;

BOOL fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

std::wstring hex4(uint16_t v, bool lower) {
    const wchar_t* digits = lower ? L"0123456789abcdef" : L"0123456789ABCDEF";
    std::wstring s;
    for (int shift = 12; shift >= 0; shift -= 4) s.push_back(digits[(v >> shift) & 0xF]);
    return s;
}

std::wstring lowered(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// REG_MULTI_SZ bytes of the strings.
std::vector<BYTE> multiString(const std::vector<std::wstring>& strings) {
    std::vector<BYTE> out;
    auto put = [&](wchar_t c) {
        const WCHAR w = c;
        const BYTE* p = reinterpret_cast<const BYTE*>(&w);
        out.insert(out.end(), p, p + sizeof w);
    };
    for (const std::wstring& s : strings) {
        for (wchar_t c : s) put(c);
        put(0);
    }
    put(0);
    return out;
}

// A device on the bus as the fake's nodes show it.
struct Node {
    uint32_t busId = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string port;  // "4", "4.2"
    std::vector<uint8_t> descriptors;
    std::vector<uint8_t> interfaces;  // interface numbers, in the configuration's order

    // The port's numbers, the root hub's first.
    std::vector<int> ports() const {
        std::vector<int> numbers;
        size_t at = 0;
        while (at < port.size()) {
            const size_t dot = std::min(port.find('.', at), port.size());
            numbers.push_back(std::atoi(port.substr(at, dot - at).c_str()));
            at = dot + 1;
        }
        return numbers;
    }
    std::wstring portText() const {
        std::wstring text;
        for (char c : port) text.push_back(c == '.' ? L'_' : static_cast<wchar_t>(c));
        return text;
    }
    std::wstring instance() const {
        return L"USB\\VID_" + hex4(vendorId, false) + L"&PID_" + hex4(productId, false) +
               L"\\6&1F2E3D4C&0&" + portText();
    }
    // The path of its interface of that GUID (text).
    std::wstring path(const wchar_t* guid) const {
        return L"\\\\?\\usb#vid_" + hex4(vendorId, true) + L"&pid_" + hex4(productId, true) +
               L"#6&1f2e3d4c&0&" + portText() + L"#" + lowered(guid);
    }
    // As a PC's xHCI controller shows a device at the port: one USB(n) per hub port.
    std::wstring locationPath() const {
        std::wstring text = L"PCIROOT(0)#PCI(1400)#USBROOT(0)";
        for (int n : ports()) text += L"#USB(" + std::to_wstring(n) + L")";
        return text;
    }
    std::wstring locationInformation() const {
        const std::vector<int> numbers = ports();
        const int hub = numbers.size() > 1 ? numbers[numbers.size() - 2] + 1 : 1;
        wchar_t text[40];
        std::swprintf(text, sizeof text / sizeof text[0], L"Port_#%04d.Hub_#%04d",
                      numbers.empty() ? 0 : numbers.back(), hub);
        return text;
    }
    std::vector<std::wstring> hardwareIds() const {
        const uint16_t bcd = descriptors.size() >= 14
                                 ? static_cast<uint16_t>(descriptors[12] | (descriptors[13] << 8))
                                 : 0;
        const std::wstring base =
            L"USB\\VID_" + hex4(vendorId, false) + L"&PID_" + hex4(productId, false);
        return {base + L"&REV_" + hex4(bcd, false), base};
    }
};

struct DevInfoSet {
    std::vector<Node> nodes;               // a node list, or
    std::vector<std::wstring> interfaces;  // the paths of one node's interfaces of one GUID
};
struct Key {
    Node node;
};
struct Pending {
    OVERLAPPED* ov;
    uint8_t pipe;  // 0: the control pipe
};
struct File {
    Node node;
    bool open = true;
    std::vector<Pending> pending;
};
struct Interface {
    File* file;
    size_t index;
    bool freed = false;
};
struct Notification {
    winusb::CmNotifyCallback callback;
    void* context;
};

// The bytes of a string and its terminating NUL (REG_SZ).
std::vector<BYTE> stringBytes(const std::wstring& text) {
    std::vector<BYTE> out = multiString({text});
    out.resize(out.size() - sizeof(WCHAR));  // one NUL, not the list's two
    return out;
}

// A property value handed out as SetupAPI does: the size needed always, the bytes when they fit.
BOOL copyOut(DWORD valueType, const std::vector<BYTE>& value, PDWORD type, PBYTE buffer, DWORD size,
             PDWORD required) {
    if (required != nullptr)
        *required = static_cast<DWORD>(value.size());
    if (buffer == nullptr || size < value.size())
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (type != nullptr)
        *type = valueType;
    std::copy(value.begin(), value.end(), buffer);
    return TRUE;
}

void complete(OVERLAPPED* ov, DWORD error, ULONG transferred) {
    ov->Internal = error;
    ov->InternalHigh = transferred;
    SetEvent(ov->hEvent);
}

}  // namespace

struct Win32UsbFake::State : public BusListener {
    std::shared_ptr<EmulatedBus> bus;
    Win32UsbFakeOptions options;
    winusb::Win32Usb api{};

    mutable std::mutex mutex;  // guards what follows
    std::condition_variable idle;
    std::map<uint32_t, Node> present;  // by bus id
    std::set<uint32_t> departed;       // so that a late look at the bus cannot bring one back
    std::map<std::wstring, Node> remembered;  // nodes of devices that left, by instance ID
    std::set<void*> sets, keys;
    std::vector<std::unique_ptr<File>> files;  // closed ones stay, so a late use is seen
    std::vector<std::unique_ptr<Interface>> interfaces;
    std::map<Notification*, std::unique_ptr<Notification>> notifications;
    int callbacksRunning = 0;
    int looks = 0;
    int winusbCalls = 0;
    int pipeResets = 0;
    int misuses = 0;

    // ---- The bus's news ------------------------------------------------------------------

    Node nodeOf(const Presence& p) {
        Node node;
        node.busId = p.busId;
        node.vendorId = p.vendorId;
        node.productId = p.productId;
        node.descriptors = p.descriptors;
        UDA_DeviceInfo info;
        if (kd::parseDescriptors(p.descriptors, &info, nullptr)) {
            for (const UDA_Interface& iface : info.activeInterfaces)
                node.interfaces.push_back(
                    iface.alternateSettings.front().descriptor.bInterfaceNumber);
        }
        node.port = p.port;
        // A bus that does not say where its devices are: the lowest port free at the arrival.
        for (int port = 1; node.port.empty(); ++port) {
            bool used = false;
            for (const auto& entry : present) used |= entry.second.port == std::to_string(port);
            if (!used)
                node.port = std::to_string(port);
        }
        return node;
    }

    void arrived(const Presence& presence) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (present.count(presence.busId) == 0)
                present[presence.busId] = nodeOf(presence);
        }
        notify(kActionEnumerated);
    }

    void left(uint32_t busId) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto gone = present.find(busId);
            if (gone != present.end())
                remembered[gone->second.instance()] = gone->second;
            present.erase(busId);
            departed.insert(busId);
            for (auto& file : files) {
                if (file->node.busId != busId)
                    continue;
                for (const Pending& p : file->pending) complete(p.ov, ERROR_GEN_FAILURE, 0);
                file->pending.clear();
            }
        }
        notify(kActionRemoved);
    }

    // Calls the registered callbacks outside the lock; unregistering waits for them.
    void notify(DWORD action) {
        std::vector<Notification> targets;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& entry : notifications) targets.push_back(*entry.second);
            callbacksRunning += 1;
        }
        for (const Notification& n : targets) n.callback(nullptr, n.context, action, nullptr, 0);
        {
            std::lock_guard<std::mutex> lock(mutex);
            callbacksRunning -= 1;
        }
        idle.notify_all();
    }

    // ---- The PC's drivers ----------------------------------------------------------------------

    FakeBinding bindingLocked(uint16_t productId) const {
        auto it = options.bindings.find(productId);
        if (it != options.bindings.end())
            return it->second;
        return options.bound ? FakeBinding::WinUsb : FakeBinding::None;
    }

    // The paths of the node's interfaces of that GUID that are there now.
    std::vector<std::wstring> interfacesLocked(const Node& node, const GUID* guid) const {
        const FakeBinding b = bindingLocked(node.productId);
        std::vector<std::wstring> paths;
        if (guid == nullptr)
            return paths;
        GUID installer, hub;
        kd::parseGuid(kInterfaceGuid, &installer);
        kd::parseGuid(kUsbDeviceGuid, &hub);
        const bool winusb = b == FakeBinding::WinUsb || b == FakeBinding::WinUsbSingular;
        if (winusb && std::memcmp(guid, &installer, sizeof installer) == 0)
            paths.push_back(node.path(kInterfaceGuid));
        const bool started = b != FakeBinding::None && b != FakeBinding::SettingUp;
        if (started && std::memcmp(guid, &hub, sizeof hub) == 0)
            paths.push_back(node.path(kUsbDeviceGuid));
        return paths;
    }

    // The present node that a path opens, or null.
    const Node* nodeOfPathLocked(const std::wstring& path) const {
        GUID installer, hub;
        kd::parseGuid(kInterfaceGuid, &installer);
        kd::parseGuid(kUsbDeviceGuid, &hub);
        for (const auto& entry : present) {
            for (const GUID* g : {&installer, &hub}) {
                for (const std::wstring& p : interfacesLocked(entry.second, g)) {
                    if (p == path)
                        return &entry.second;
                }
            }
        }
        return nullptr;
    }

    void readDriversFileLocked() {
        if (options.driversFile.empty())
            return;
        std::ifstream in(options.driversFile);
        if (!in)
            return;
        std::map<uint16_t, FakeBinding> bindings;
        std::vector<std::pair<uint16_t, int>> known;
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            std::istringstream words(line);
            std::string first, second, third;
            if (!(words >> first))
                continue;
            words >> second >> third;
            uint64_t product = 0, port = 0;
            FakeBinding binding;
            if (first == "known" && parseNumber("0x" + second, 0xFFFF, &product) &&
                parseNumber(third, 255, &port)) {
                known.emplace_back(static_cast<uint16_t>(product), static_cast<int>(port));
            } else if (parseNumber("0x" + first, 0xFFFF, &product) &&
                       parseFakeBinding(second, &binding)) {
                bindings[static_cast<uint16_t>(product)] = binding;
            } else {
                std::fprintf(stderr, "winusb-fake: %s: line not understood: %s\n",
                             options.driversFile.c_str(), line.c_str());
            }
        }
        options.bindings = bindings;
        options.knownNodes = known;
    }

    // ---- Handles -----------------------------------------------------------------------------

    BOOL misuse() {
        ++misuses;
        return fail(ERROR_INVALID_HANDLE);
    }
    File* fileLocked(HANDLE h) {
        for (auto& f : files) {
            if (f.get() == h && f->open)
                return f.get();
        }
        return nullptr;
    }
    Interface* interfaceLocked(WINUSB_INTERFACE_HANDLE h) {
        for (auto& i : interfaces) {
            if (i.get() == h && !i->freed && i->file->open)
                return i.get();
        }
        return nullptr;
    }
    const Node* nodeLocked(uint32_t busId) const {
        auto it = present.find(busId);
        return it == present.end() ? nullptr : &it->second;
    }
};

namespace {

std::mutex g_currentMutex;
Win32UsbFake::State* g_current = nullptr;  // the fake that lives; see the header

Win32UsbFake::State& fake() {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    return *g_current;
}

// ---- SetupAPI and the registry -----------------------------------------------------------------

HDEVINFO WINAPI getClassDevs(const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto* set = new DevInfoSet;
    const std::wstring e = enumerator != nullptr ? enumerator : L"";
    if ((flags & DIGCF_DEVICEINTERFACE) != 0) {
        for (const auto& entry : s.present) {
            if (entry.second.instance() == e)
                set->interfaces = s.interfacesLocked(entry.second, guid);
        }
    } else if (lowered(e) == L"usb" && (flags & DIGCF_ALLCLASSES) != 0) {
        s.readDriversFileLocked();
        std::set<std::wstring> listed;
        for (const auto& entry : s.present) {
            set->nodes.push_back(entry.second);
            listed.insert(entry.second.instance());
        }
        if ((flags & DIGCF_PRESENT) != 0) {
            ++s.looks;
        } else {
            // Windows remembers the nodes of devices that are not there.
            for (const auto& entry : s.remembered) {
                if (listed.insert(entry.first).second)
                    set->nodes.push_back(entry.second);
            }
            for (const auto& known : s.options.knownNodes) {
                Node node;
                node.vendorId = kVendorId;
                node.productId = known.first;
                node.port = std::to_string(known.second);
                if (listed.insert(node.instance()).second)
                    set->nodes.push_back(node);
            }
        }
    }
    s.sets.insert(set);
    return set;
}

DevInfoSet* setLocked(Win32UsbFake::State& s, HDEVINFO h) {
    return s.sets.count(h) != 0 ? static_cast<DevInfoSet*>(h) : nullptr;
}

// The node that data names in set, or null (and the error set).
const Node* nodeOf(Win32UsbFake::State& s, HDEVINFO h, PSP_DEVINFO_DATA data) {
    DevInfoSet* set = setLocked(s, h);
    if (set == nullptr) {
        s.misuse();
        return nullptr;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
        data->DevInst > set->nodes.size()) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set->nodes[data->DevInst - 1];
}

BOOL WINAPI enumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    DevInfoSet* set = setLocked(s, h);
    if (set == nullptr)
        return s.misuse();
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (index >= set->nodes.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->DevInst = index + 1;
    return TRUE;
}

BOOL WINAPI getInstanceId(HDEVINFO h, PSP_DEVINFO_DATA data, PWSTR buffer, DWORD size,
                          PDWORD required) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Node* node = nodeOf(s, h, data);
    if (node == nullptr)
        return FALSE;
    const std::wstring id = node->instance();
    if (required != nullptr)
        *required = static_cast<DWORD>(id.size() + 1);
    if (buffer == nullptr || size < id.size() + 1)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(id.begin(), id.end(), buffer);
    buffer[id.size()] = 0;
    return TRUE;
}

BOOL WINAPI getRegistryProperty(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                PBYTE buffer, DWORD size, PDWORD required) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Node* node = nodeOf(s, h, data);
    if (node == nullptr)
        return FALSE;
    const FakeBinding binding = s.bindingLocked(node->productId);
    if (property == SPDRP_HARDWAREID)
        return copyOut(REG_MULTI_SZ, multiString(node->hardwareIds()), type, buffer, size,
                       required);
    if (property == SPDRP_SERVICE) {
        if (binding == FakeBinding::None || binding == FakeBinding::SettingUp)
            return fail(ERROR_INVALID_DATA);  // no function driver: no such value
        return copyOut(REG_SZ,
                       stringBytes(binding == FakeBinding::LibusbK ? L"libusbK" : L"WinUSB"), type,
                       buffer, size, required);
    }
    if (property == SPDRP_INSTALL_STATE) {
        const DWORD state = binding == FakeBinding::None        ? winusb::kInstallStateFailedInstall
                            : binding == FakeBinding::SettingUp ? winusb::kInstallStateFinishInstall
                                                                : winusb::kInstallStateInstalled;
        const BYTE* p = reinterpret_cast<const BYTE*>(&state);
        return copyOut(4 /* REG_DWORD */, std::vector<BYTE>(p, p + sizeof state), type, buffer,
                       size, required);
    }
    if (property == SPDRP_LOCATION_INFORMATION) {
        if (!s.options.locationInformation)
            return fail(ERROR_INVALID_DATA);
        return copyOut(REG_SZ, stringBytes(node->locationInformation()), type, buffer, size,
                       required);
    }
    return fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI getDeviceProperty(HDEVINFO h, PSP_DEVINFO_DATA data, const DEVPROPKEY* key,
                              DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required,
                              DWORD flags) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Node* node = nodeOf(s, h, data);
    if (node == nullptr)
        return FALSE;
    if (key == nullptr || type == nullptr || flags != 0)
        return fail(ERROR_INVALID_PARAMETER);
    const DEVPROPKEY& wanted = winusb::kDeviceLocationPathsKey;
    if (std::memcmp(&key->fmtid, &wanted.fmtid, sizeof wanted.fmtid) != 0 ||
        key->pid != wanted.pid || !s.options.locationPaths)
        return fail(ERROR_NOT_FOUND);
    DWORD t = 0;
    const BOOL ok = copyOut(DEVPROP_TYPE_STRING_LIST, multiString({node->locationPath()}), &t,
                            buffer, size, required);
    *type = t;
    return ok;
}

HKEY WINAPI openDevRegKey(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD, DWORD, DWORD keyType, REGSAM) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Node* node = nodeOf(s, h, data);
    if (node == nullptr || keyType != DIREG_DEV) {
        fail(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    auto* key = new Key{*node};
    s.keys.insert(key);
    return reinterpret_cast<HKEY>(key);
}

LONG WINAPI queryValue(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.keys.count(key) == 0) {
        ++s.misuses;
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    const FakeBinding binding = s.bindingLocked(reinterpret_cast<Key*>(key)->node.productId);
    const std::wstring wanted = name != nullptr ? name : L"";
    const bool plural = binding == FakeBinding::WinUsb && wanted == L"DeviceInterfaceGUIDs";
    const bool singular =
        binding == FakeBinding::WinUsbSingular && wanted == L"DeviceInterfaceGUID";
    if (!plural && !singular)
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    std::vector<BYTE> value = multiString({kInterfaceGuid});
    if (singular)
        value.resize(value.size() - sizeof(WCHAR));  // one terminator: a REG_SZ
    if (type != nullptr)
        *type = singular ? REG_SZ : REG_MULTI_SZ;
    const DWORD room = size != nullptr ? *size : 0;
    if (size != nullptr)
        *size = static_cast<DWORD>(value.size());
    if (data == nullptr)
        return static_cast<LONG>(ERROR_SUCCESS);
    if (room < value.size())
        return static_cast<LONG>(ERROR_MORE_DATA);
    std::copy(value.begin(), value.end(), data);
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG WINAPI closeKey(HKEY key) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.keys.erase(key) == 0) {
        ++s.misuses;
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    delete reinterpret_cast<Key*>(key);
    return static_cast<LONG>(ERROR_SUCCESS);
}

BOOL WINAPI enumInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                           PSP_DEVICE_INTERFACE_DATA data) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    DevInfoSet* set = setLocked(s, h);
    if (set == nullptr)
        return s.misuse();
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (index >= set->interfaces.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI interfaceDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                            PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                            PSP_DEVINFO_DATA) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    DevInfoSet* set = setLocked(s, h);
    if (set == nullptr)
        return s.misuse();
    if (data == nullptr || data->Reserved == 0 || data->Reserved > set->interfaces.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::wstring path = set->interfaces[data->Reserved - 1];
    const DWORD bytes = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                           (path.size() + 1) * sizeof(WCHAR));
    if (required != nullptr)
        *required = bytes;
    if (detail == nullptr || size < bytes)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return fail(ERROR_INVALID_PARAMETER);
    std::copy(path.begin(), path.end(), detail->DevicePath);
    detail->DevicePath[path.size()] = 0;
    return TRUE;
}

BOOL WINAPI destroyList(HDEVINFO h) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sets.erase(h) == 0)
        return s.misuse();
    delete static_cast<DevInfoSet*>(h);
    return TRUE;
}

// ---- Files ---------------------------------------------------------------------------------

HANDLE WINAPI createFile(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                         HANDLE) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::wstring path = name != nullptr ? name : L"";
    const Node* node = s.nodeOfPathLocked(path);
    if (node == nullptr) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool open = s.options.heldElsewhere;
    for (const auto& f : s.files) open |= f->open && f->node.busId == node->busId;
    if (open) {
        fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & FILE_FLAG_OVERLAPPED) == 0) {
        ++s.misuses;  // WinUSB needs overlapped I/O
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    s.files.emplace_back(new File{*node, true, {}});
    return s.files.back().get();
}

BOOL WINAPI closeHandle(HANDLE h) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    File* file = s.fileLocked(h);
    if (file == nullptr)
        return s.misuse();
    for (const Pending& p : file->pending) complete(p.ov, ERROR_OPERATION_ABORTED, 0);
    file->pending.clear();
    file->open = false;
    return TRUE;
}

// Ends the pending requests of file that match; false when none did.
template <typename Match>
bool abortLocked(File* file, Match match) {
    bool any = false;
    auto& pending = file->pending;
    for (auto it = pending.begin(); it != pending.end();) {
        if (match(*it)) {
            complete(it->ov, ERROR_OPERATION_ABORTED, 0);
            it = pending.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

BOOL WINAPI cancelIo(HANDLE h, LPOVERLAPPED ov) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    File* file = s.fileLocked(h);
    if (file == nullptr)
        return s.misuse();
    if (!abortLocked(file, [&](const Pending& p) { return ov == nullptr || p.ov == ov; }))
        return fail(ERROR_NOT_FOUND);
    return TRUE;
}

DWORD WINAPI lastError() {
    return t_lastError;
}

// ---- WinUSB ----------------------------------------------------------------------------------

// Counts the call and finds the interface (null: a misuse, the error is set).
Interface* winusbLocked(Win32UsbFake::State& s, WINUSB_INTERFACE_HANDLE h) {
    ++s.winusbCalls;
    Interface* i = s.interfaceLocked(h);
    if (i == nullptr)
        s.misuse();
    return i;
}

BOOL WINAPI initialize(HANDLE h, PWINUSB_INTERFACE_HANDLE out) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.winusbCalls;
    File* file = s.fileLocked(h);
    if (file == nullptr)
        return s.misuse();
    s.interfaces.emplace_back(new Interface{file, 0});
    *out = s.interfaces.back().get();
    return TRUE;
}

BOOL WINAPI freeInterface(WINUSB_INTERFACE_HANDLE h) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.winusbCalls;
    for (auto& i : s.interfaces) {
        if (i.get() == h && !i->freed) {
            i->freed = true;  // also after its file was closed, as WinUSB allows
            return TRUE;
        }
    }
    return s.misuse();
}

BOOL WINAPI associatedInterface(WINUSB_INTERFACE_HANDLE h, UCHAR index,
                                PWINUSB_INTERFACE_HANDLE out) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    Interface* i = winusbLocked(s, h);
    if (i == nullptr)
        return FALSE;
    if (static_cast<size_t>(index) + 1 >= i->file->node.interfaces.size())
        return fail(ERROR_NO_MORE_ITEMS);
    s.interfaces.emplace_back(new Interface{i->file, static_cast<size_t>(index) + 1});
    *out = s.interfaces.back().get();
    return TRUE;
}

BOOL WINAPI getDescriptor(WINUSB_INTERFACE_HANDLE h, UCHAR type, UCHAR, USHORT, PUCHAR buffer,
                          ULONG length, PULONG transferred) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    Interface* i = winusbLocked(s, h);
    if (i == nullptr)
        return FALSE;
    if (s.nodeLocked(i->file->node.busId) == nullptr)
        return fail(ERROR_GEN_FAILURE);
    const std::vector<uint8_t>& d = i->file->node.descriptors;
    if ((type != 1 && type != 2) || d.size() < 18)
        return fail(ERROR_GEN_FAILURE);  // stalled, as the device would
    const size_t from = type == 1 ? 0 : 18;
    const size_t count = std::min<size_t>(length, type == 1 ? 18 : d.size() - 18);
    std::copy(d.begin() + static_cast<std::ptrdiff_t>(from),
              d.begin() + static_cast<std::ptrdiff_t>(from + count), buffer);
    *transferred = static_cast<ULONG>(count);
    return TRUE;
}

BOOL WINAPI setAlternate(WINUSB_INTERFACE_HANDLE h, UCHAR alternate) {
    Win32UsbFake::State& s = fake();
    uint32_t busId;
    uint8_t number;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        Interface* i = winusbLocked(s, h);
        if (i == nullptr)
            return FALSE;
        busId = i->file->node.busId;
        const std::vector<uint8_t>& numbers = i->file->node.interfaces;
        number = i->index < numbers.size() ? numbers[i->index] : 0;
    }
    switch (s.bus->setInterface(busId, number, alternate)) {
        case Reply::Ack:
            return TRUE;
        case Reply::NoAnswer:
            return fail(ERROR_SEM_TIMEOUT);
        default:
            return fail(ERROR_GEN_FAILURE);
    }
}

// The bus id of the device behind a WinUSB handle (a WinUSB call counted); false for a misuse.
bool busIdOf(Win32UsbFake::State& s, WINUSB_INTERFACE_HANDLE h, uint32_t* busId) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Interface* i = winusbLocked(s, h);
    if (i == nullptr)
        return false;
    *busId = i->file->node.busId;
    return true;
}

// A request on the bus: complete when it returns, pending when the device does not answer.
template <typename Send>
BOOL request(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, PULONG transferred, LPOVERLAPPED ov,
             Send send) {
    Win32UsbFake::State& s = fake();
    uint32_t busId;
    if (!busIdOf(s, h, &busId))
        return FALSE;
    uint32_t moved = 0;
    const Reply reply = send(busId, &moved);
    std::lock_guard<std::mutex> lock(s.mutex);
    Interface* i = s.interfaceLocked(h);
    const bool gone = s.nodeLocked(busId) == nullptr;
    DWORD error = reply == Reply::Ack    ? ERROR_SUCCESS
                  : i == nullptr         ? ERROR_OPERATION_ABORTED  // its file was closed meanwhile
                  : reply == Reply::Gone ? ERROR_DEVICE_NOT_CONNECTED
                                         : ERROR_GEN_FAILURE;
    if (ov == nullptr) {  // synchronous: an unanswered request would block for ever
        if (transferred != nullptr)
            *transferred = error == ERROR_SUCCESS ? moved : 0;
        return error == ERROR_SUCCESS ? TRUE
                                      : fail(reply == Reply::NoAnswer ? ERROR_SEM_TIMEOUT : error);
    }
    ResetEvent(ov->hEvent);
    if (reply == Reply::NoAnswer && !gone && i != nullptr) {
        i->file->pending.push_back(Pending{ov, pipe});
    } else {
        complete(ov, error, error == ERROR_SUCCESS ? moved : 0);
    }
    return fail(ERROR_IO_PENDING);
}

BOOL WINAPI controlTransfer(WINUSB_INTERFACE_HANDLE h, WINUSB_SETUP_PACKET packet, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED ov) {
    uint8_t setup[8] = {packet.RequestType,
                        packet.Request,
                        static_cast<uint8_t>(packet.Value & 0xFF),
                        static_cast<uint8_t>(packet.Value >> 8),
                        static_cast<uint8_t>(packet.Index & 0xFF),
                        static_cast<uint8_t>(packet.Index >> 8),
                        static_cast<uint8_t>(packet.Length & 0xFF),
                        static_cast<uint8_t>(packet.Length >> 8)};
    if (length < packet.Length)
        return fail(ERROR_INVALID_PARAMETER);
    uint8_t none = 0;
    return request(h, 0, transferred, ov, [&](uint32_t busId, uint32_t* moved) {
        return fake().bus->control(busId, setup, packet.Length > 0 ? buffer : &none, moved);
    });
}

BOOL WINAPI writePipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED ov) {
    return request(h, pipe, transferred, ov, [&](uint32_t busId, uint32_t* moved) {
        return fake().bus->bulkOut(busId, pipe, buffer, length, moved);
    });
}

BOOL WINAPI abortPipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    Interface* i = winusbLocked(s, h);
    if (i == nullptr)
        return FALSE;
    abortLocked(i->file, [&](const Pending& p) { return p.pipe == pipe; });
    return TRUE;
}

BOOL WINAPI resetPipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe) {
    Win32UsbFake::State& s = fake();
    uint32_t busId;
    if (!busIdOf(s, h, &busId))
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.pipeResets;
    }
    const uint8_t setup[8] = {0x02, 0x01, 0x00, 0x00, pipe, 0x00, 0x00, 0x00};
    uint8_t none = 0;
    uint32_t moved = 0;
    switch (s.bus->control(busId, setup, &none, &moved)) {
        case Reply::Ack:
            return TRUE;
        case Reply::NoAnswer:
            return fail(ERROR_SEM_TIMEOUT);
        case Reply::Gone:
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        default:
            return fail(ERROR_GEN_FAILURE);
    }
}

BOOL WINAPI overlappedResult(WINUSB_INTERFACE_HANDLE h, LPOVERLAPPED ov, LPDWORD transferred,
                             BOOL wait) {
    Win32UsbFake::State& s = fake();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (winusbLocked(s, h) == nullptr)
            return FALSE;
    }
    if (wait) {
        WaitForSingleObject(ov->hEvent, INFINITE);
    } else if (WaitForSingleObject(ov->hEvent, 0) != WAIT_OBJECT_0) {
        return fail(ERROR_IO_INCOMPLETE);
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    *transferred = static_cast<DWORD>(ov->InternalHigh);
    const DWORD error = static_cast<DWORD>(ov->Internal);
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// ---- Notifications ---------------------------------------------------------------------------

DWORD WINAPI registerNotification(const winusb::CmNotifyFilter* filter, void* context,
                                  winusb::CmNotifyCallback callback,
                                  winusb::CmNotification* handle) {
    Win32UsbFake::State& s = fake();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (filter == nullptr || filter->cbSize != sizeof(winusb::CmNotifyFilter) ||
        callback == nullptr)
        return 0x1F;  // CR_FAILURE
    auto* n = new Notification{callback, context};
    s.notifications[n].reset(n);
    *handle = reinterpret_cast<winusb::CmNotification>(n);
    return winusb::kCrSuccess;
}

DWORD WINAPI unregisterNotification(winusb::CmNotification handle) {
    Win32UsbFake::State& s = fake();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.notifications.erase(reinterpret_cast<Notification*>(handle)) == 0)
        return 0x1F;
    s.idle.wait(lock, [&] { return s.callbacksRunning == 0; });
    return winusb::kCrSuccess;
}

}  // namespace

Win32UsbFake::Win32UsbFake(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::shared_ptr<Win32UsbFake> Win32UsbFake::create(std::shared_ptr<EmulatedBus> bus,
                                                   const Win32UsbFakeOptions& options) {
    std::unique_ptr<State> state(new State);
    state->bus = std::move(bus);
    state->options = options;
    winusb::Win32Usb& api = state->api;
    api.SetupDiGetClassDevsW = &getClassDevs;
    api.SetupDiEnumDeviceInfo = &enumDeviceInfo;
    api.SetupDiGetDeviceInstanceIdW = &getInstanceId;
    api.SetupDiGetDeviceRegistryPropertyW = &getRegistryProperty;
    api.SetupDiOpenDevRegKey = &openDevRegKey;
    api.SetupDiEnumDeviceInterfaces = &enumInterfaces;
    api.SetupDiGetDeviceInterfaceDetailW = &interfaceDetail;
    api.SetupDiDestroyDeviceInfoList = &destroyList;
    api.RegQueryValueExW = &queryValue;
    api.RegCloseKey = &closeKey;
    api.CreateFileW = &createFile;
    api.CloseHandle = &closeHandle;
    api.CancelIoEx = &cancelIo;
    api.GetLastError = &lastError;
    api.WinUsb_Initialize = &initialize;
    api.WinUsb_Free = &freeInterface;
    api.WinUsb_GetAssociatedInterface = &associatedInterface;
    api.WinUsb_GetDescriptor = &getDescriptor;
    api.WinUsb_SetCurrentAlternateSetting = &setAlternate;
    api.WinUsb_ControlTransfer = &controlTransfer;
    api.WinUsb_WritePipe = &writePipe;
    api.WinUsb_AbortPipe = &abortPipe;
    api.WinUsb_GetOverlappedResult = &overlappedResult;
    api.SetupDiGetDevicePropertyW = &getDeviceProperty;
    if (options.notifications) {
        api.CM_Register_Notification = &registerNotification;
        api.CM_Unregister_Notification = &unregisterNotification;
    }
    api.WinUsb_ResetPipe = &resetPipe;
    {
        std::lock_guard<std::mutex> lock(g_currentMutex);
        if (g_current != nullptr)
            return nullptr;
        g_current = state.get();
    }
    // Listen first, then look: the devices there before the fake listened.
    state->bus->addListener(state.get());
    std::vector<Presence> onBus = state->bus->present();
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        for (const Presence& p : onBus) {
            if (state->present.count(p.busId) == 0 && state->departed.count(p.busId) == 0)
                state->present[p.busId] = state->nodeOf(p);
        }
    }
    return std::shared_ptr<Win32UsbFake>(new Win32UsbFake(std::move(state)));
}

Win32UsbFake::~Win32UsbFake() {
    state_->bus->removeListener(state_.get());
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        for (void* set : state_->sets) delete static_cast<DevInfoSet*>(set);
        for (void* key : state_->keys) delete static_cast<Key*>(key);
    }
    std::lock_guard<std::mutex> lock(g_currentMutex);
    g_current = nullptr;
}

const winusb::Win32Usb& Win32UsbFake::api() const {
    return state_->api;
}

const std::shared_ptr<EmulatedBus>& Win32UsbFake::bus() const {
    return state_->bus;
}

void Win32UsbFake::setHeldElsewhere(bool held) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.heldElsewhere = held;
}

void Win32UsbFake::setBound(bool bound) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.bound = bound;
}

void Win32UsbFake::setBinding(uint16_t productId, FakeBinding binding) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->options.bindings[productId] = binding;
    }
    state_->notify(kActionEnumerated);  // the node started (or stopped) with its new driver
}

int Win32UsbFake::pipeResets() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->pipeResets;
}

bool parseFakeBinding(const std::string& name, FakeBinding* binding) {
    static const struct {
        const char* name;
        FakeBinding binding;
    } names[] = {{"winusb", FakeBinding::WinUsb},
                 {"winusb-guid", FakeBinding::WinUsbSingular},
                 {"winusb-by-hand", FakeBinding::WinUsbByHand},
                 {"libusbK", FakeBinding::LibusbK},
                 {"none", FakeBinding::None},
                 {"setting-up", FakeBinding::SettingUp}};
    for (const auto& n : names) {
        if (name == n.name) {
            *binding = n.binding;
            return true;
        }
    }
    return false;
}

int Win32UsbFake::looks() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->looks;
}

int Win32UsbFake::winusbCalls() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->winusbCalls;
}

int Win32UsbFake::misuses() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->misuses;
}

int Win32UsbFake::openFiles() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<int>(std::count_if(state_->files.begin(), state_->files.end(),
                                          [](const std::unique_ptr<File>& f) { return f->open; }));
}

int Win32UsbFake::pendingRequests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    size_t n = 0;
    for (const auto& f : state_->files) n += f->pending.size();
    return static_cast<int>(n);
}

// ---- BVU_USB=winusb-fake:STATE -----------------------------------------------------------

namespace {

// The WinUSB adapter over the process's fake, which it keeps alive.
class FakeBackedHost final : public kd::Host {
  public:
    explicit FakeBackedHost(std::shared_ptr<Win32UsbFake> fake)
        : fake_(std::move(fake)), host_(kd::makeWinusbHost(fake_->api())) {}
    ~FakeBackedHost() override { host_.reset(); }  // before the fake

    UDA_STATUS listen(kd::HostEvents* e, const std::vector<kd::WantedDevice>& w) override {
        return host_->listen(e, w);
    }
    std::vector<kd::HostDevice> present() override { return host_->present(); }
    UDA_STATUS open(uint32_t id, std::vector<uint8_t>* d, kd::Unusable* why) override {
        return host_->open(id, d, why);
    }
    UDA_STATUS setInterface(uint32_t id, uint8_t i, uint8_t a) override {
        return host_->setInterface(id, i, a);
    }
    UDA_STATUS control(uint32_t id, const uint8_t setup[8], uint8_t* data, uint32_t* n,
                       uint32_t timeoutMs) override {
        return host_->control(id, setup, data, n, timeoutMs);
    }
    UDA_STATUS bulkOut(uint32_t id, uint8_t endpoint, const uint8_t* data, uint32_t length,
                       uint32_t* n, uint32_t timeoutMs) override {
        return host_->bulkOut(id, endpoint, data, length, n, timeoutMs);
    }
    void close(uint32_t id) override { host_->close(id); }
    UDA_STATUS clearHalt(uint32_t id, uint8_t endpoint) override {
        return host_->clearHalt(id, endpoint);
    }
    std::string driverInTheWay(uint32_t id) override { return host_->driverInTheWay(id); }

  private:
    std::shared_ptr<Win32UsbFake> fake_;
    std::unique_ptr<kd::Host> host_;
};

}  // namespace

std::unique_ptr<kd::Host> openWinusbFakeHost(const std::string& statePath, UDA_STATUS* status) {
    std::shared_ptr<EmulatedBus> bus = openBusForHost(statePath, status);
    if (!bus)
        return nullptr;
    static std::mutex mutex;
    static std::weak_ptr<Win32UsbFake> shared;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Win32UsbFake> fake = shared.lock();
    if (!fake || fake->bus() != bus) {
        Win32UsbFakeOptions options;
        if (const char* drivers = std::getenv("BVU_WINUSB_FAKE_DRIVERS"))
            options.driversFile = drivers;
        fake = Win32UsbFake::create(bus, options);
        if (!fake) {
            *status = UDA_RESOURCE_OVERLAP;  // another fake is in use in this process
            return nullptr;
        }
        shared = fake;
    }
    *status = 0;
    return std::unique_ptr<kd::Host>(new FakeBackedHost(std::move(fake)));
}

}  // namespace emulator
}  // namespace bvu
