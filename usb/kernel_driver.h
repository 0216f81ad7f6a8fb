// The kernel-driver seam: the requests that the driver access layer makes of the USB kernel
// driver, as one interface. It is implemented once, by the driver core over a host adapter
// (host_driver.h, host.h): the adapters for libusb-1.0, WinUSB, the in-process emulated device
// and the unit tests' fake bus only list, watch, open and transfer. The layer above (uda.cpp)
// is the same whatever the host.
//
// One KernelDriver object is one open driver file; the layer opens one per subscription
// (openKernelDriver). Every request returns a driver status (0 success, a code of uda_status.h
// otherwise) and never throws.
//
// Threads and blocking:
//  - waitForEvent is called only on the subscription's event thread and blocks until an event is
//    pending or waitCancel is called (from the releasing thread).
//  - pullEvent, acknowledgeEvent, and the requests that the layer's callbacks make (setInterface,
//    deviceInfo, transfer) run on the event thread; setInterface, deviceInfo and transfer may
//    also be called from any other thread at the same time. A transfer must never queue behind
//    a pending waitForEvent.
//  - The backend's own threads (libusb event handling, the emulator's timers) only queue events;
//    they never call into the layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/uda.h"

namespace bvu {
namespace kd {

// Event codes (also the bits of the subscription's event mask).
constexpr uint32_t kEventAttach = 0x1;
constexpr uint32_t kEventDetach = 0x2;
constexpr uint32_t kEventPowerMask = 0x3FF0;  // ten power events 0x10, 0x20 ... 0x2000
// Follows the attach events of the devices that were present when the subscription was made
// (uniqueId 0, no acknowledgement asked): once the layer has handled it, the program has heard
// of every one of them.
constexpr uint32_t kEventEnumerated = 0x4000;

// Options of an event record.
constexpr uint32_t kOptionAcknowledge = 0x1;  // the layer acknowledges each event
constexpr uint32_t kOptionControlled = 0x2;   // set in an attach's acknowledgement: device taken

// The driver's event record. At registration: code is the event mask, busType 0xFFFFFFFE,
// options the subscription's options, matchTables the subscription's tables; the driver fills
// in handle. When pulled: handle names the subscription; the driver fills code (0 when nothing
// is pending), options and uniqueId.
struct EventRecord {
    uint32_t handle = 0;
    uint32_t code = 0;
    uint32_t busType = 0;
    uint32_t options = 0;
    uint32_t uniqueId = 0;
    std::vector<UDA_MatchTable> matchTables;
    // At registration: only devices plugged here are matched (empty: anywhere).
    std::string location;
};

// The wait record. result after waitForEvent: kWaitCancelled, kWaitNothing, or anything else
// when an event is pending.
constexpr uint32_t kWaitEventPending = 0;
constexpr uint32_t kWaitCancelled = 1;
constexpr uint32_t kWaitNothing = 2;
struct WaitRecord {
    uint32_t handle = 0;  // the event handle written by registerEvents
    uint32_t result = kWaitNothing;
};

// One transfer. For pipe 0, setup holds the 8-byte setup packet and the data stage is
// buffer/size; otherwise pipe is a bulk endpoint address. The driver fills transferred.
struct TransferRequest {
    uint32_t uniqueId = 0;
    uint32_t pipe = 0;
    uint32_t read = 0;
    uint32_t options = 0;
    void* buffer = nullptr;
    uint32_t size = 0;
    uint32_t transferred = 0;
    uint8_t setup[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    uint32_t timeoutMs = 5000;  // nominal milliseconds: the backend scales them with the clock
};

class KernelDriver {
  public:
    virtual ~KernelDriver() = default;

    // The driver's version (the layer requires at least 811).
    virtual UDA_STATUS queryVersion(uint32_t* version) = 0;

    // Subscribes to the events of record.code for devices matching record.matchTables; writes
    // the subscription's handle into record.handle. Matching devices already present are
    // reported as attach events, and then, when record.code holds kEventEnumerated, by one
    // event of that code; devices that arrive later come after it. One registration per driver
    // file.
    virtual UDA_STATUS registerEvents(EventRecord& record) = 0;
    virtual UDA_STATUS unregisterEvents(const EventRecord& record) = 0;

    virtual UDA_STATUS waitPrepare(WaitRecord& wait) = 0;
    // Blocks until an event is pending (result kWaitEventPending), or the wait is cancelled
    // (kWaitCancelled). May return kWaitNothing spuriously.
    virtual UDA_STATUS waitForEvent(WaitRecord& wait) = 0;
    // Makes a pending (or the next) waitForEvent return kWaitCancelled.
    virtual UDA_STATUS waitCancel(WaitRecord& wait) = 0;

    // Takes the oldest pending event: code (0 if none), options, uniqueId.
    virtual UDA_STATUS pullEvent(EventRecord& record) = 0;
    // Acknowledges a pulled event; for an attach, kOptionControlled in record.options says
    // whether the program took the device. A device not taken is left alone by the driver
    // (no interface claimed, no further requests accepted for it).
    virtual UDA_STATUS acknowledgeEvent(const EventRecord& record) = 0;

    // Claims the interface and selects the alternate setting.
    virtual UDA_STATUS setInterface(uint32_t uniqueId, uint32_t interfaceNumber,
                                    uint32_t alternateSetting) = 0;
    virtual UDA_STATUS transfer(TransferRequest& request) = 0;
    // The device's information tree as the driver sees it now.
    virtual UDA_STATUS deviceInfo(uint32_t uniqueId, UDA_DeviceInfo& info) = 0;

    // The devices on the bus now whose vendor and product a table names, with their locations,
    // without opening any (UDA_ListDevices). On a file of its own, any thread.
    virtual UDA_STATUS listDevices(const std::vector<UDA_MatchTable>& tables,
                                   std::vector<UDA_PresentDevice>* devices) = 0;
};

using KernelDriverFactory = std::function<std::unique_ptr<KernelDriver>(UDA_STATUS* status)>;

// Opens a driver file: the factory set by setKernelDriverFactory if any; else the driver core
// over the host that BVU_USB selects among those the program registered (host_registry.h).
// Returns null and a status on failure.
std::unique_ptr<KernelDriver> openKernelDriver(UDA_STATUS* status);

// Tests: replaces the choice by environment (an empty function restores it). Call while no
// subscription is live. (Implemented with the registry, host_registry.cpp.)
void setKernelDriverFactory(KernelDriverFactory factory);

}  // namespace kd
}  // namespace bvu
