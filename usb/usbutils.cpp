// The session's life cycle, its two subscriptions and slots, the waits and the pipe lookup.
#include "usb/usbutils.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "platform/events.h"
#include "usb/attach_wait.h"
#include "usb/location.h"
#include "usb/units.h"

namespace {

constexpr int kAttachWaitSeconds = 10;
constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunModeProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;

using Slot = USBUtils::DeviceSlot;

}  // namespace

// Which unit the session follows, and the units it saw elsewhere. The attach callbacks of both
// subscriptions and the requesting thread use it; the lock is held only to read or write it.
struct USBUtils::Unit {
    mutable std::mutex mutex;  // guards what follows
    bool picked = false;
    std::string location;
    std::string serial;
    std::vector<OtherUnit> others;

    // Whether a device at location belongs to the unit; the first device decides when no unit
    // is picked yet. Another unit is noted (in the guise it shows now).
    bool admits(const std::string& at, bool bootloader) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!picked) {
            picked = true;
            location = at;
            return true;
        }
        if (bvu::usb::sameLocation(at, location))
            return true;
        noteLocked(at, bootloader);
        return false;
    }

    void noteLocked(const std::string& at, bool bootloader) {
        for (OtherUnit& other : others) {
            if (bvu::usb::sameLocation(other.location, at)) {
                other.bootloader = bootloader;
                return;
            }
        }
        others.push_back(OtherUnit{at, bootloader});
    }
};

namespace {

// Takes a matching device into its slot, or refuses it (see the slot's hand-over contract).
uint32_t attachToSlot(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info, Slot& slot) {
    if (info == nullptr || info->activeInterfaces.empty())
        return 0;
    const UDA_AlternateSetting* alt = info->activeInterfaces.front().active();
    if (alt == nullptr || alt->descriptor.bInterfaceNumber != slot.interfaceNumber)
        return 0;
    // A device elsewhere is another unit, whatever it is: never used.
    if (!slot.unit->admits(info->location, slot.bootloaderGuise)) {
        slot.refused.fetch_add(1);
        return 0;
    }
    if (slot.device.load() != nullptr) {  // a slot holds one device
        slot.refused.fetch_add(1);
        return 0;
    }

    slot.device.store(device);
    UDA_STATUS status = UDA_SetInterface(device, slot.interfaceNumber, slot.alternateSetting);
    slot.setInterfaceStatus.store(status);
    if (status != 0) {
        slot.device.store(nullptr);
        return 0;
    }
    slot.state.store(USBUtils::Attached, std::memory_order_release);
    bvu::signalEvent(slot.attachEvent);
    return 1;
}

uint32_t onDeviceAttach(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info, void* user) {
    return attachToSlot(device, info, *static_cast<Slot*>(user));
}

uint32_t onBootloaderAttach(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info, void* user) {
    return attachToSlot(device, info, *static_cast<Slot*>(user));
}

void onDeviceDetach(UDA_DEVICE_HANDLE device, void* user) {
    Slot& slot = *static_cast<Slot*>(user);
    // Only the slot's own device empties it: one that the session gave up (another unit at the
    // location) may leave after a new one has taken the slot.
    if (slot.device.load() != device)
        return;
    slot.state.store(USBUtils::Detached, std::memory_order_release);
    slot.device.store(nullptr);
    bvu::drainEvent(slot.attachEvent);  // a signal that nobody has waited for yet
}

constexpr uint8_t kDeviceToHostClass = 0xA0;
constexpr uint8_t kBvrRead = 3;
constexpr uint8_t kSerialText = 13;

}  // namespace

std::atomic<USBUtils*> USBUtils::instance_{nullptr};

struct USBUtils::Impl {
    DeviceSlot run;
    DeviceSlot bootloader;
    Unit unit;
    std::string onlyAt;  // the driver opens devices plugged here only; empty: anywhere
    std::atomic<bool> presentDevicesKnown{false};
    // The requesting thread's alone (see setNotice and prepareForBootloader).
    Notice notice;
    bool pauseForBootloaderDriver = false;

    // The wait of a request for the guise of slot (attach_wait.h).
    uint32_t awaitAttach(DeviceSlot& slot) {
        bvu::usb::AttachWait wait;
        const bool boot = &slot == &bootloader;
        wait.attachEvent = slot.attachEvent;
        wait.state = &slot.state;
        wait.vendorId = kVendorId;
        wait.productId = boot ? kBootloaderProductId : kRunModeProductId;
        wait.guise = boot ? bvu::usb::DeviceGuise::Bootloader : bvu::usb::DeviceGuise::Run;
        wait.pauseForDriver = boot && pauseForBootloaderDriver;
        wait.notice = &notice;
        return bvu::usb::awaitAttach(wait);
    }

    explicit Impl(const UnitChoice& choice) {
        run.unit = bootloader.unit = &unit;
        bootloader.bootloaderGuise = true;
        unit.serial = choice.serial;
        if (!choice.location.empty()) {
            unit.picked = true;
            unit.location = choice.location;
            if (choice.exclusive)
                onlyAt = choice.location;
        } else {
            pickFirstPresent();
        }
        try {
            open();
        } catch (...) {
            close();
            throw;
        }
    }
    ~Impl() { close(); }

    // The first unit on the bus, by location, before either subscription can take a device:
    // the pick must not depend on which subscription's thread reports first. Nothing is opened
    // for it. A driver that cannot list leaves the pick to the first arrival.
    void pickFirstPresent() {
        try {
            const std::vector<bvu::usb::PresentUnit> present = bvu::usb::presentUnits();
            if (!present.empty()) {
                unit.picked = true;
                unit.location = present.front().location;  // they come in location order
            }
        } catch (const USBUtils::Error&) {
            // The subscriptions say why the driver cannot be opened.
        }
    }

    void open() {
        USBUtils::checkStatus(bvu::createEvent(&run.attachEvent),
                              "Could not create internal event: ");
        USBUtils::checkStatus(bvu::createEvent(&bootloader.attachEvent),
                              "Could not create internal event: ");
        USBUtils::checkStatus(subscribe(run, kRunModeProductId, onDeviceAttach, onlyAt),
                              "Could not initialise USB driver: ");
        USBUtils::checkStatus(
            subscribe(bootloader, kBootloaderProductId, onBootloaderAttach, onlyAt),
            "Could not initialise bootloader USB driver: ");
    }

    // The devices already on the bus reach their slots on the subscriptions' event threads.
    // Until they have, an empty slot may mean "not reported yet" rather than "not on the bus",
    // and a mode switch could not tell a device in one guise from a device in none. Waited for
    // once, by the first question about presence (on the requesting thread, so that the dialog
    // is up meanwhile), as long as a request waits for its device; a driver slower than that
    // reports the rest as it can, as it would report an arrival.
    void awaitPresentDevices() {
        if (presentDevicesKnown.load())
            return;
        const double limitMs = kAttachWaitSeconds * 1000.0;
        const bvu::clock::TimePoint start = bvu::clock::now();
        for (DeviceSlot* slot : {&run, &bootloader}) {
            const double left = limitMs - bvu::clock::nominalMsBetween(start, bvu::clock::now());
            UDA_WaitForPresentDevices(slot->driver, left > 0 ? static_cast<uint32_t>(left) : 0);
        }
        presentDevicesKnown.store(true);
    }

    static UDA_STATUS subscribe(DeviceSlot& slot, uint16_t productId, UDA_ATTACH_CALLBACK attach,
                                const std::string& onlyAt) {
        UDA_MatchTable match{kVendorId, productId, 0, 0, 0, 0, 0, 0};
        UDA_EventTable events{attach, onDeviceDetach, nullptr, &slot};
        UDA_DRIVER_HANDLE handle = nullptr;
        UDA_STATUS status = UDA_InitAt(&handle, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE,
                                       onlyAt.empty() ? nullptr : onlyAt.c_str());
        if (status == 0)
            slot.driver = handle;
        return status;
    }

    // Releases whatever exists; tolerates a half-built Impl.
    void close() {
        for (DeviceSlot* slot : {&run, &bootloader}) {
            if (slot->driver != nullptr) {
                UDA_Release(slot->driver);  // joins the event thread: no callback runs after this
                slot->driver = nullptr;
            }
            if (slot->attachEvent != nullptr) {
                CloseHandle(slot->attachEvent);
                slot->attachEvent = nullptr;
            }
            slot->state.store(Detached);
            slot->device.store(nullptr);
        }
    }
};

USBUtils::USBUtils() : USBUtils(UnitChoice()) {}

USBUtils::USBUtils(const UnitChoice& choice) {
    if (instance_.load() != nullptr)
        throw AlreadyInstantiated();
    impl.reset(new Impl(choice));
    instance_.store(this);
}

USBUtils::~USBUtils() {
    instance_.store(nullptr);
    impl.reset();
}

USBUtils& USBUtils::instance() {
    USBUtils* session = instance_.load();
    if (session == nullptr)
        throw NotInit();
    return *session;
}

void USBUtils::checkStatus(UDA_STATUS status, const std::string& prefix) {
    if (status != 0)
        throw Error(prefix + statusText(status));
}

uint32_t USBUtils::refusedDevices() const {
    return impl->run.refused.load() + impl->bootloader.refused.load();
}

std::string USBUtils::unitLocation() const {
    std::lock_guard<std::mutex> lock(impl->unit.mutex);
    return impl->unit.picked ? impl->unit.location : std::string();
}

std::vector<USBUtils::OtherUnit> USBUtils::otherUnits() const {
    std::vector<OtherUnit> others;
    {
        std::lock_guard<std::mutex> lock(impl->unit.mutex);
        others = impl->unit.others;
    }
    std::sort(others.begin(), others.end(), [](const OtherUnit& a, const OtherUnit& b) {
        return bvu::usb::locationBefore(a.location, b.location);
    });
    return others;
}

void USBUtils::learnSerialNumber(const std::string& serial) {
    std::lock_guard<std::mutex> lock(impl->unit.mutex);
    if (impl->unit.serial.empty())
        impl->unit.serial = serial;
}

void USBUtils::checkUnitSerial(UDA_DEVICE_HANDLE device) {
    std::string expected, location;
    {
        std::lock_guard<std::mutex> lock(impl->unit.mutex);
        expected = impl->unit.serial;
        location = impl->unit.location;
    }
    if (expected.empty())
        return;
    std::string serial;
    try {
        char text[32] = {};
        SetupPacket setup(kDeviceToHostClass, kBvrRead, 2, kSerialText, 0, 0, sizeof text);
        const uint32_t n =
            controlTransfer(device, setup, text, true, "Could not send BVR_READ to device: ");
        serial = serialOfInfoText(std::string(text, std::find(text, text + n, '\0')));
        // A reply without the number proves nothing either way.
        if (serial.empty())
            throw Error("Could not send BVR_READ to device: Short reply (no serial number)");
    } catch (...) {
        // Not checked: the next request checks again.
        int32_t ready = Ready;
        impl->run.state.compare_exchange_strong(ready, Attached, std::memory_order_acq_rel);
        throw;
    }
    if (serial == expected)
        return;
    // Another unit came up where this one was: it is left alone, and this unit is awaited.
    {
        std::lock_guard<std::mutex> lock(impl->unit.mutex);
        impl->unit.noteLocked(location, false);
    }
    impl->run.refused.fetch_add(1);
    // The slot is emptied unless a device has come meanwhile; the signal of this one's attach
    // (not waited for: the slot was Attached) must not wake the next wait for nothing.
    DeviceSlot& slot = impl->run;
    UDA_DEVICE_HANDLE held = device;
    if (slot.device.compare_exchange_strong(held, nullptr)) {
        int32_t ready = Ready;
        slot.state.compare_exchange_strong(ready, Detached, std::memory_order_acq_rel);
        bvu::drainEvent(slot.attachEvent);
    }
    throw Error("Waiting for USB device to attach: the device at USB location " + location +
                " is another unit (serial number " + serial + ", not " + expected + ")");
}

UDA_DEVICE_HANDLE USBUtils::waitForSlot(DeviceSlot& slot, const char* waitPrefix,
                                        const char* attachError, bool* firstUse) {
    if (slot.state.load(std::memory_order_acquire) == Ready)
        return slot.device.load();
    if (slot.state.load(std::memory_order_acquire) == Detached) {
        checkStatus(impl->awaitAttach(slot), waitPrefix);
    }
    if (slot.setInterfaceStatus.load() != 0) {
        slot.state.store(Detached);
        throw Error(attachError);
    }
    // Attached -> Ready, unless a detach came in between (then the device handle read below is
    // stale and its first use fails with "Device not found").
    int32_t expected = Attached;
    const bool first =
        slot.state.compare_exchange_strong(expected, Ready, std::memory_order_acq_rel);
    if (firstUse != nullptr)
        *firstUse = first;
    return slot.device.load();
}

void USBUtils::setNotice(Notice notice) {
    impl->notice = std::move(notice);
}

const USBUtils::Notice* USBUtils::notice() const {
    return &impl->notice;
}

void USBUtils::prepareForBootloader() {
    impl->pauseForBootloaderDriver = true;
    if (bvu::usb::driverSign(kVendorId, kBootloaderProductId) == bvu::usb::DriverSign::None &&
        impl->notice)
        impl->notice(bvu::usb::bootloaderDriverWarning());
}

UDA_DEVICE_HANDLE USBUtils::waitForDevice() {
    bool firstUse = false;
    UDA_DEVICE_HANDLE device = waitForSlot(impl->run, "Waiting for USB device to attach: ",
                                           "Error attaching to USB device.", &firstUse);
    if (firstUse)
        checkUnitSerial(device);
    return device;
}

UDA_DEVICE_HANDLE USBUtils::waitForBootloader() {
    return waitForSlot(impl->bootloader, "Waiting for USB DFU-mode to attach: ",
                       "Error attaching to USB bootloader device.");
}

bool USBUtils::isDevicePresent() const {
    impl->awaitPresentDevices();
    int32_t s = impl->run.state.load(std::memory_order_acquire);
    return s == Attached || s == Ready;
}

bool USBUtils::isBootloaderPresent() const {
    impl->awaitPresentDevices();
    int32_t s = impl->bootloader.state.load(std::memory_order_acquire);
    return s == Attached || s == Ready;
}

UDA_PipeInfo USBUtils::findPipe(UDA_DEVICE_HANDLE device, uint32_t pipeNumber) {
    UDA_DeviceInfo* info = nullptr;
    checkStatus(UDA_GetDeviceInfo(device, &info), "Could not get USB device info: ");
    bool found = false;
    UDA_PipeInfo pipe{};
    if (!info->activeInterfaces.empty()) {
        if (const UDA_AlternateSetting* alt = info->activeInterfaces.front().active()) {
            size_t count = std::min<size_t>(alt->descriptor.bNumEndpoints, alt->pipes.size());
            for (size_t i = 0; i < count && !found; ++i) {
                if (alt->pipes[i].number == pipeNumber) {
                    pipe = alt->pipes[i];
                    found = true;
                }
            }
        }
    }
    UDA_FreeDeviceInfo(info);
    if (!found)
        throw Error("Could not find USB pipe.");
    return pipe;
}
