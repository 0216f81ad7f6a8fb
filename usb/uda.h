// USB driver access layer: subscriptions by vendor and product identifier, attach and detach
// events on a thread of the layer's own, the process-wide list of accepted devices, transfers,
// and the status texts. Every operation returns a 32-bit status (0 success, otherwise a code of
// statusText's table); nothing here throws or prints.
//
// Threads: UDA_Init and UDA_Release are called from one thread (the session's constructor and
// destructor). The callbacks of a subscription run on that subscription's event thread, one
// event at a time, never while the layer holds a lock. The device operations may be called from
// any thread, also while a detach of the same device is being handled (the operation then either
// completes on the device or returns "Device not found"; it never touches freed memory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/uda_status.h"

// ---- Match tables -------------------------------------------------------------------------

// One entry of a subscription's match table (the kernel driver's 10-byte format). 0 in a class,
// subclass or protocol byte matches anything.
struct UDA_MatchTable {
    uint16_t vendorId;
    uint16_t productId;
    uint8_t deviceClass;
    uint8_t deviceSubClass;
    uint8_t interfaceClass;
    uint8_t interfaceSubClass;
    uint8_t interfaceProtocol;
    uint8_t padding;
};
static_assert(sizeof(UDA_MatchTable) == 10, "the driver's match table entry is 10 bytes");

// ---- Device information (one tree per device, owned as a whole) ---------------------------

struct UDA_DeviceDescriptor {
    uint8_t bLength, bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    uint16_t idVendor, idProduct, bcdDevice;
    uint8_t iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};

// The standard interface descriptor (9 bytes on the bus).
struct UDA_InterfaceDescriptor {
    uint8_t bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints;
    uint8_t bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
};

enum UDA_PipeType : uint32_t {
    UDA_PIPE_CONTROL = 0,
    UDA_PIPE_ISOCHRONOUS = 1,
    UDA_PIPE_BULK = 2,
    UDA_PIPE_INTERRUPT = 3
};

// A pipe: five 32-bit fields, the endpoint address first (0x02, 0x04 ...); the session reads
// only the number.
struct UDA_PipeInfo {
    uint32_t number;
    uint32_t type;  // UDA_PipeType
    uint32_t maxPacketSize;
    uint32_t direction;  // 1 in (device to host), 0 out
    uint32_t interval;
};

struct UDA_AlternateSetting {
    UDA_InterfaceDescriptor descriptor;
    std::vector<UDA_PipeInfo> pipes;  // descriptor.bNumEndpoints entries
};

struct UDA_Interface {
    std::vector<UDA_AlternateSetting> alternateSettings;
    uint32_t activeAlternate = 0;  // index into alternateSettings
    const UDA_AlternateSetting* active() const {
        return activeAlternate < alternateSettings.size() ? &alternateSettings[activeAlternate]
                                                          : nullptr;
    }
};

struct UDA_ConfigurationInfo {
    uint32_t numInterfaces = 0;  // bounds UDA_SetInterface's search of the active interfaces
    uint8_t bConfigurationValue = 1;
};

struct UDA_DeviceInfo {
    UDA_DeviceDescriptor deviceDescriptor{};
    UDA_ConfigurationInfo configuration;
    std::vector<UDA_Interface> activeInterfaces;  // the first is the device's first interface
    // Where the device is plugged, as its host tells it (usb/location.h): stable across
    // re-enumerations, so both guises of one unit show the same text; empty when unknown.
    std::string location;
};

// A device on the bus as UDA_ListDevices finds it, without opening it.
struct UDA_PresentDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string location;
};

// ---- Handles and callbacks ----------------------------------------------------------------

struct DriverCtx;  // one per subscription
struct DeviceCtx;  // one per accepted device
typedef DriverCtx* UDA_DRIVER_HANDLE;
typedef DeviceCtx* UDA_DEVICE_HANDLE;
#define UDA_INVALID_DRIVER_HANDLE (reinterpret_cast<UDA_DRIVER_HANDLE>(~uintptr_t(0)))

// Attach: returns non-zero to take the device. The information tree belongs to the layer and
// stays valid while the device is attached.
typedef uint32_t (*UDA_ATTACH_CALLBACK)(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info,
                                        void* userData);
// Detach: the handle becomes invalid as soon as the callback returns.
typedef void (*UDA_DETACH_CALLBACK)(UDA_DEVICE_HANDLE device, void* userData);
typedef uint32_t (*UDA_POWER_CALLBACK)(UDA_DEVICE_HANDLE device, uint32_t event, void* userData);

struct UDA_EventTable {
    UDA_ATTACH_CALLBACK attach;  // null: no events are subscribed
    UDA_DETACH_CALLBACK detach;  // null: detach events are not subscribed
    UDA_POWER_CALLBACK power;    // null: power events are not subscribed
    void* userData;
};

// Option of UDA_Init: every event is acknowledged to the driver, and the acknowledgement of an
// attach tells it whether the program takes the device.
constexpr uint32_t UDA_OPTION_ACKNOWLEDGE = 0x1;

// ---- Operations ---------------------------------------------------------------------------

// Subscribes to the devices that match the tables. *driver is set to UDA_INVALID_DRIVER_HANDLE
// first and to the new subscription on success. From the moment the subscription is made the
// callbacks may run on its event thread, first for matching devices already on the bus (which
// UDA_WaitForPresentDevices waits for); UDA_Init itself does not wait for them.
UDA_STATUS UDA_Init(UDA_DRIVER_HANDLE* driver, const UDA_MatchTable* matchTables,
                    uint32_t matchTableCount, const UDA_EventTable* events, uint32_t options);

// As UDA_Init, for the devices plugged at location only (compared as usb::sameLocation does;
// null or empty: anywhere). The driver never opens a device elsewhere and never reports one,
// so that other programs may work on the other units of the same bus at the same time.
UDA_STATUS UDA_InitAt(UDA_DRIVER_HANDLE* driver, const UDA_MatchTable* matchTables,
                      uint32_t matchTableCount, const UDA_EventTable* events, uint32_t options,
                      const char* location);

// The devices on the bus now whose vendor and product a table names (class bytes are not
// looked at: that would need the descriptors), with where each is plugged, in no particular
// order. Opens none of them, so it also finds the devices that another program holds, and
// disturbs nothing. *devices is cleared first. 0, or the status of a driver that cannot be
// opened ("Function not implemented" for one that cannot list). Any thread.
UDA_STATUS UDA_ListDevices(const UDA_MatchTable* matchTables, uint32_t matchTableCount,
                           std::vector<UDA_PresentDevice>* devices);

// Waits until the subscription has reported the matching devices that were on the bus when it
// was made (and those that arrived while the driver took that first look): their attach
// callbacks have returned. Before that, a device that the program has not heard of may be
// present all the same. timeoutMs is nominal (on the clock); INFINITE waits without limit.
// Returns 0 once they have (at once for a subscription without an attach callback, and at
// every later call), UDA_TIMEOUT_EXPIRED when they have not within the time, UDA_INVALID_HANDLE
// for null or the invalid handle. Any thread, but not from one of the subscription's own
// callbacks (it would wait for itself) nor while UDA_Release ends the subscription.
UDA_STATUS UDA_WaitForPresentDevices(UDA_DRIVER_HANDLE driver, uint32_t timeoutMs);

// Ends a subscription: stops and joins its event thread, forgets its devices. Tolerates null and
// the invalid handle. Must not be called from a callback of the same subscription.
void UDA_Release(UDA_DRIVER_HANDLE driver);

UDA_STATUS UDA_SetInterface(UDA_DEVICE_HANDLE device, uint32_t interfaceNumber,
                            uint32_t alternateSetting);

// A fresh copy of the device's information; free it with UDA_FreeDeviceInfo. *info is null on
// failure.
UDA_STATUS UDA_GetDeviceInfo(UDA_DEVICE_HANDLE device, UDA_DeviceInfo** info);
void UDA_FreeDeviceInfo(UDA_DeviceInfo* info);

// Pipe 0 is the control pipe (setup packet required); other numbers are endpoint addresses of
// bulk pipes. read is non-zero for device-to-host. transferred (may be null) receives the number
// of bytes moved. timeoutMs is nominal (on the clock).
UDA_STATUS UDA_PipeTransfer(UDA_DEVICE_HANDLE device, uint32_t pipe, uint32_t read,
                            uint32_t options, void* buffer, uint32_t bufferSize,
                            uint32_t* transferred, const uint8_t* setupPacket, uint32_t timeoutMs);
