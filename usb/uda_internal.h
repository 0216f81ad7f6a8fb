// Internals of the driver access layer shared by its source files (not for callers).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/win32.h"
#include "usb/kernel_driver.h"
#include "usb/uda.h"

struct EventSubscription;

struct DriverCtx {
    std::unique_ptr<bvu::kd::KernelDriver> file;  // null until opened
    UDA_ATTACH_CALLBACK attach = nullptr;
    UDA_DETACH_CALLBACK detach = nullptr;
    UDA_POWER_CALLBACK power = nullptr;
    void* userData = nullptr;
    EventSubscription* events = nullptr;
    // Set by the event thread once it has handled the devices that were on the bus when the
    // subscription was made (UDA_WaitForPresentDevices).
    std::mutex firstLookMutex;
    std::condition_variable firstLookDone;
    bool firstLookHandled = false;
};

struct DeviceCtx {
    DriverCtx* driver = nullptr;
    UDA_DeviceInfo* info = nullptr;  // owned
    uint32_t dwUniqueID = 0;
    ~DeviceCtx() { delete info; }
};

// DevList holds shared ownership of every accepted device. A device operation takes its own
// reference while it holds the lock, so a detach that unlinks the device in the meantime cannot
// free it under the operation's feet: the DeviceCtx goes when the last user lets go.
using DeviceRef = std::shared_ptr<DeviceCtx>;

namespace devlist {
// Creates the lock (signalled = free). 0 or the event status.
UDA_STATUS createLock();
void closeLock();
bool lockExists();
// Each acquires the lock (30 s on the clock), works, releases it.
UDA_STATUS add(const DeviceRef& device);
UDA_STATUS findByCtx(const DeviceCtx* device, DeviceRef* out);
UDA_STATUS findByUniqueId(const DriverCtx* driver, uint32_t id, DeviceRef* out);
UDA_STATUS remove(const DriverCtx* driver, uint32_t id, DeviceRef* out);
UDA_STATUS removeAll(const DriverCtx* driver);
}  // namespace devlist
