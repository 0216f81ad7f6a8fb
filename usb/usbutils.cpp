// The session's life cycle, its two subscriptions and slots, the waits and the pipe lookup.
#include "usb/usbutils.h"

#include <algorithm>
#include <utility>

#include "platform/clock.h"
#include "platform/events.h"
#include "usb/attach_wait.h"

namespace {

constexpr int kAttachWaitSeconds = 10;
constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunModeProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;

using Slot = USBUtils::DeviceSlot;

// Takes a matching device into its slot, or refuses it (see the slot's hand-over contract).
uint32_t attachToSlot(UDA_DEVICE_HANDLE device, UDA_DeviceInfo* info, Slot& slot) {
    if (info == nullptr || info->activeInterfaces.empty())
        return 0;
    const UDA_AlternateSetting* alt = info->activeInterfaces.front().active();
    if (alt == nullptr || alt->descriptor.bInterfaceNumber != slot.interfaceNumber)
        return 0;
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

void onDeviceDetach(UDA_DEVICE_HANDLE, void* user) {
    Slot& slot = *static_cast<Slot*>(user);
    slot.state.store(USBUtils::Detached, std::memory_order_release);
    slot.device.store(nullptr);
    bvu::drainEvent(slot.attachEvent);  // a signal that nobody has waited for yet
}

}  // namespace

std::atomic<USBUtils*> USBUtils::instance_{nullptr};

struct USBUtils::Impl {
    DeviceSlot run;
    DeviceSlot bootloader;
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

    Impl() {
        try {
            open();
        } catch (...) {
            close();
            throw;
        }
    }
    ~Impl() { close(); }

    void open() {
        USBUtils::checkStatus(bvu::createEvent(&run.attachEvent),
                              "Could not create internal event: ");
        USBUtils::checkStatus(bvu::createEvent(&bootloader.attachEvent),
                              "Could not create internal event: ");
        USBUtils::checkStatus(subscribe(run, kRunModeProductId, onDeviceAttach),
                              "Could not initialise USB driver: ");
        USBUtils::checkStatus(subscribe(bootloader, kBootloaderProductId, onBootloaderAttach),
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

    static UDA_STATUS subscribe(DeviceSlot& slot, uint16_t productId, UDA_ATTACH_CALLBACK attach) {
        UDA_MatchTable match{kVendorId, productId, 0, 0, 0, 0, 0, 0};
        UDA_EventTable events{attach, onDeviceDetach, nullptr, &slot};
        UDA_DRIVER_HANDLE handle = nullptr;
        UDA_STATUS status = UDA_Init(&handle, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE);
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

USBUtils::USBUtils() {
    if (instance_.load() != nullptr)
        throw AlreadyInstantiated();
    impl.reset(new Impl);
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

UDA_DEVICE_HANDLE USBUtils::waitForSlot(DeviceSlot& slot, const char* waitPrefix,
                                        const char* attachError) {
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
    slot.state.compare_exchange_strong(expected, Ready, std::memory_order_acq_rel);
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
    return waitForSlot(impl->run,
                       "Waiting for USB device to attach: ", "Error attaching to USB device.");
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
