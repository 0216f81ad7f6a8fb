// The driver access layer over the kernel-driver seam: subscriptions, their event threads,
// event dispatch, and the operations on one device.
#include "usb/uda.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "platform/clock.h"
#include "platform/events.h"
#include "usb/uda_internal.h"

namespace kd = bvu::kd;

struct EventSubscription {
    DriverCtx* driver = nullptr;
    kd::EventRecord record;  // as registered; record.handle is the driver's event handle
    kd::WaitRecord wait;
    HANDLE thread = nullptr;
    uint32_t busType = 0;
};

namespace {

constexpr uint32_t kMinimumDriverVersion = 811;
constexpr uint32_t kBusTypeAny = 0xFFFFFFFE;
// The old driver ran its event thread on a 4096-byte stack; the backends here (and the
// sanitizers) need more.
constexpr unsigned kEventThreadStack = 256 * 1024;

// Subscriptions alive. Subscriptions are made and released from one thread (the session's
// constructor and destructor), so the count needs no lock.
int g_firstUseCount = 0;

void noteFirstLookHandled(DriverCtx* driver) {
    {
        std::lock_guard<std::mutex> lock(driver->firstLookMutex);
        driver->firstLookHandled = true;
    }
    driver->firstLookDone.notify_all();
}

void EventHandler(kd::EventRecord& record, DriverCtx* driver) {
    switch (record.code) {
        case kd::kEventAttach: {
            DeviceRef device(new (std::nothrow) DeviceCtx);
            if (!device)
                return;
            device->driver = driver;
            device->dwUniqueID = record.uniqueId;
            if (devlist::add(device) != 0)
                return;
            UDA_DeviceInfo* info = nullptr;
            if (UDA_GetDeviceInfo(device.get(), &info) != 0) {
                DeviceRef dropped;
                devlist::remove(driver, record.uniqueId, &dropped);
                return;
            }
            device->info = info;
            uint32_t taken = driver->attach(device.get(), device->info, driver->userData);
            if (!taken) {
                DeviceRef dropped;
                devlist::remove(driver, record.uniqueId, &dropped);
            } else {
                record.options |= kd::kOptionControlled;
            }
            return;
        }
        case kd::kEventDetach: {
            DeviceRef device;
            if (devlist::remove(driver, record.uniqueId, &device) == 0 && device) {
                if (driver->detach != nullptr)
                    driver->detach(device.get(), driver->userData);
            }
            return;  // the list's reference is gone; the DeviceCtx goes with its last user
        }
        case 0x10:
        case 0x20:
        case 0x40:
        case 0x80:
        case 0x100:
        case 0x200:
        case 0x400:
        case 0x800:
        case 0x1000:
        case 0x2000: {
            DeviceRef device;
            if (devlist::findByUniqueId(driver, record.uniqueId, &device) == 0 &&
                driver->power != nullptr) {
                driver->power(device.get(), record.code, driver->userData);
            }
            return;
        }
        case kd::kEventEnumerated:
            // Every attach queued before it has been handled on this thread: the program has
            // heard of each device that was present when it subscribed.
            noteFirstLookHandled(driver);
            return;
        default:
            return;
    }
}

void dispatchEvent(EventSubscription* sub) {
    kd::EventRecord record;
    record.handle = sub->record.handle;
    if (sub->driver->file->pullEvent(record) != 0)
        return;
    if (record.code != 0)
        EventHandler(record, sub->driver);
    if (record.options & kd::kOptionAcknowledge)
        sub->driver->file->acknowledgeEvent(record);
}

unsigned __stdcall eventThreadLoop(void* p) {
    auto* sub = static_cast<EventSubscription*>(p);
    for (;;) {
        kd::WaitRecord wait = sub->wait;
        sub->driver->file->waitForEvent(wait);
        if (wait.result == kd::kWaitCancelled)
            break;
        if (wait.result == kd::kWaitNothing)
            continue;
        dispatchEvent(sub);
    }
    return 0;
}

UDA_STATUS startEventThread(EventSubscription* sub) {
    sub->wait.handle = sub->record.handle;
    UDA_STATUS s = sub->driver->file->waitPrepare(sub->wait);
    if (s != 0)
        return s;
    unsigned tid = 0;
    uintptr_t h = _beginthreadex(nullptr, kEventThreadStack, eventThreadLoop, sub, 0, &tid);
    if (h == 0) {
        sub->driver->file->waitCancel(sub->wait);
        return UDA_INSUFFICIENT_RESOURCES;
    }
    sub->thread = reinterpret_cast<HANDLE>(h);
    return 0;
}

void unregisterEvents(DriverCtx* driver) {
    EventSubscription* sub = driver->events;
    if (sub == nullptr)
        return;
    if (sub->thread != nullptr) {
        driver->file->waitCancel(sub->wait);
        WaitForSingleObject(sub->thread, INFINITE);
        CloseHandle(sub->thread);
    }
    driver->file->unregisterEvents(sub->record);
    delete sub;
    driver->events = nullptr;
}

UDA_STATUS registerEvents(DriverCtx* driver, const UDA_MatchTable* tables, uint32_t count,
                          uint32_t options, const char* location) {
    uint32_t mask =
        kd::kEventAttach | kd::kEventDetach | kd::kEventPowerMask | kd::kEventEnumerated;
    if (driver->detach == nullptr)
        mask &= ~kd::kEventDetach;
    if (driver->power == nullptr)
        mask &= ~kd::kEventPowerMask;

    auto* sub = new (std::nothrow) EventSubscription;
    if (sub == nullptr)
        return UDA_INSUFFICIENT_RESOURCES;
    sub->driver = driver;
    sub->record.code = mask;
    sub->record.busType = kBusTypeAny;
    sub->record.options = options;
    sub->record.matchTables.assign(tables, tables + (count == 0 ? 1 : count));
    if (location != nullptr)
        sub->record.location = location;
    sub->busType = sub->record.busType;

    UDA_STATUS s = driver->file->registerEvents(sub->record);
    if (s != 0) {
        delete sub;
        return s;
    }
    driver->events = sub;
    s = startEventThread(sub);
    if (s != 0) {
        driver->file->unregisterEvents(sub->record);
        delete sub;
        driver->events = nullptr;
    }
    return s;
}

// Checks a device handle under the list lock and takes a reference for the operation.
UDA_STATUS acquireDevice(UDA_DEVICE_HANDLE handle, DeviceRef* out) {
    if (handle == nullptr || !devlist::lockExists())
        return UDA_DEVICE_NOT_FOUND;
    return devlist::findByCtx(handle, out);
}

}  // namespace

UDA_STATUS UDA_Init(UDA_DRIVER_HANDLE* out, const UDA_MatchTable* matchTables,
                    uint32_t matchTableCount, const UDA_EventTable* events, uint32_t options) {
    return UDA_InitAt(out, matchTables, matchTableCount, events, options, nullptr);
}

UDA_STATUS UDA_InitAt(UDA_DRIVER_HANDLE* out, const UDA_MatchTable* matchTables,
                      uint32_t matchTableCount, const UDA_EventTable* events, uint32_t options,
                      const char* location) {
    *out = UDA_INVALID_DRIVER_HANDLE;
    auto* driver = new (std::nothrow) DriverCtx;
    if (driver == nullptr)
        return UDA_INSUFFICIENT_RESOURCES;
    if (g_firstUseCount == 0) {
        UDA_STATUS s = devlist::createLock();
        if (s != 0) {
            delete driver;
            return s;
        }
    }
    ++g_firstUseCount;

    UDA_STATUS status = 0;
    driver->file = kd::openKernelDriver(&status);
    if (!driver->file) {
        if (status == 0)
            status = UDA_INTERNAL_SYSTEM_ERROR;
        UDA_Release(driver);
        return status;
    }
    uint32_t version = 0;
    status = driver->file->queryVersion(&version);
    if (status != 0 || version < kMinimumDriverVersion) {
        if (status == 0)
            status = UDA_INCORRECT_VERSION;
        UDA_Release(driver);
        return status;
    }
    if (events != nullptr) {
        driver->attach = events->attach;
        driver->detach = events->detach;
        driver->power = events->power;
        driver->userData = events->userData;
    }
    if (driver->attach != nullptr) {
        status = registerEvents(driver, matchTables, matchTableCount, options, location);
        if (status != 0) {
            UDA_Release(driver);
            return status;
        }
    } else {
        driver->firstLookHandled = true;  // no devices are reported to such a subscription
    }
    *out = driver;
    return 0;
}

UDA_STATUS UDA_ListDevices(const UDA_MatchTable* matchTables, uint32_t matchTableCount,
                           std::vector<UDA_PresentDevice>* devices) {
    devices->clear();
    if (matchTables == nullptr || matchTableCount == 0)
        return UDA_INVALID_PARAMETER;
    UDA_STATUS status = 0;
    std::unique_ptr<kd::KernelDriver> file = kd::openKernelDriver(&status);
    if (!file)
        return status != 0 ? status : UDA_INTERNAL_SYSTEM_ERROR;
    try {
        return file->listDevices(
            std::vector<UDA_MatchTable>(matchTables, matchTables + matchTableCount), devices);
    } catch (...) {
        return UDA_INSUFFICIENT_RESOURCES;  // the list could not be stored
    }
}

UDA_STATUS UDA_WaitForPresentDevices(UDA_DRIVER_HANDLE driver, uint32_t timeoutMs) {
    if (driver == nullptr || driver == UDA_INVALID_DRIVER_HANDLE)
        return UDA_INVALID_HANDLE;
    try {
        std::unique_lock<std::mutex> lock(driver->firstLookMutex);
        auto handled = [driver] { return driver->firstLookHandled; };
        if (timeoutMs == INFINITE) {
            driver->firstLookDone.wait(lock, handled);
            return 0;
        }
        const auto deadline =
            bvu::clock::now() + bvu::clock::scaled(std::chrono::milliseconds(timeoutMs));
        const bool done = driver->firstLookDone.wait_until(lock, deadline, handled);
        return done ? UDA_SUCCESS : UDA_TIMEOUT_EXPIRED;
    } catch (...) {
        return UDA_INTERNAL_SYSTEM_ERROR;  // the lock or the wait failed in the system
    }
}

void UDA_Release(UDA_DRIVER_HANDLE driver) {
    if (driver != nullptr && driver != UDA_INVALID_DRIVER_HANDLE) {
        if (driver->file) {
            unregisterEvents(driver);
            driver->file.reset();
        }
        devlist::removeAll(driver);
        delete driver;
    }
    if (g_firstUseCount > 0 && --g_firstUseCount == 0)
        devlist::closeLock();
}

UDA_STATUS UDA_SetInterface(UDA_DEVICE_HANDLE handle, uint32_t interfaceNumber,
                            uint32_t alternateSetting) {
    DeviceRef device;
    UDA_STATUS s = acquireDevice(handle, &device);
    if (s != 0)
        return s;
    s = device->driver->file->setInterface(device->dwUniqueID, interfaceNumber, alternateSetting);
    if (s != 0 || device->info == nullptr)
        return s;
    // Mirror the driver's choice in the cached information: among the active interfaces, the
    // one whose alternate setting of that index carries the interface number.
    UDA_DeviceInfo& info = *device->info;
    size_t count = std::min<size_t>(info.configuration.numInterfaces, info.activeInterfaces.size());
    for (size_t i = 0; i < count; ++i) {
        UDA_Interface& iface = info.activeInterfaces[i];
        if (alternateSetting < iface.alternateSettings.size() &&
            iface.alternateSettings[alternateSetting].descriptor.bInterfaceNumber ==
                interfaceNumber) {
            iface.activeAlternate = alternateSetting;
            break;
        }
    }
    return 0;
}

UDA_STATUS UDA_GetDeviceInfo(UDA_DEVICE_HANDLE handle, UDA_DeviceInfo** info) {
    *info = nullptr;
    DeviceRef device;
    UDA_STATUS s = acquireDevice(handle, &device);
    if (s != 0)
        return s;
    auto* block = new (std::nothrow) UDA_DeviceInfo;
    if (block == nullptr)
        return UDA_INSUFFICIENT_RESOURCES;
    s = device->driver->file->deviceInfo(device->dwUniqueID, *block);
    if (s != 0) {
        delete block;
        return s;
    }
    *info = block;
    return 0;
}

void UDA_FreeDeviceInfo(UDA_DeviceInfo* info) {
    delete info;
}

UDA_STATUS UDA_PipeTransfer(UDA_DEVICE_HANDLE handle, uint32_t pipe, uint32_t read,
                            uint32_t options, void* buffer, uint32_t bufferSize,
                            uint32_t* transferred, const uint8_t* setupPacket, uint32_t timeoutMs) {
    if (transferred != nullptr)
        *transferred = 0;
    DeviceRef device;
    UDA_STATUS s = acquireDevice(handle, &device);
    if (s != 0)
        return s;
    kd::TransferRequest request;
    request.uniqueId = device->dwUniqueID;
    request.pipe = pipe;
    request.read = read;
    request.options = options;
    request.buffer = buffer;
    request.size = bufferSize;
    request.timeoutMs = timeoutMs;
    if (setupPacket != nullptr)
        std::copy(setupPacket, setupPacket + 8, request.setup);
    s = device->driver->file->transfer(request);
    if (transferred != nullptr)
        *transferred = std::min(request.transferred, bufferSize);
    return s;
}
