#include "usb/attach_wait.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"
#include "platform/events.h"

namespace bvu {
namespace usb {
namespace {

const char* guiseText(DeviceGuise guise) {
    return guise == DeviceGuise::Bootloader ? "the device's bootloader" : "the device";
}

const char* usbIdText(DeviceGuise guise) {
    return guise == DeviceGuise::Bootloader ? "03EB 2FFD" : "03EB 3014";
}

// The notes are watched for as long as the wait lasts, so that a change wakes it.
class WatchedNotes {
  public:
    explicit WatchedNotes(HANDLE event) : event_(event) { watchUnusableDevices(event_); }
    ~WatchedNotes() { unwatchUnusableDevices(event_); }
    WatchedNotes(const WatchedNotes&) = delete;
    WatchedNotes& operator=(const WatchedNotes&) = delete;

  private:
    HANDLE event_;
};

bool waitingCanHelp(const UnusableNote& note, bool pauseForDriver) {
    switch (note.why) {
        case kd::Unusable::SettingUp:
            return true;
        case kd::Unusable::NoDriver:
        case kd::Unusable::OtherDriver:
            return pauseForDriver;
        default:
            return false;
    }
}

}  // namespace

std::string bootloaderDriverWarning() {
    return "This PC shows no driver for the device's bootloader (USB ID 03EB 2FFD) yet. If the "
           "update stops to wait for it, bind WinUSB to USB ID 03EB 2FFD (for example with "
           "Zadig) or install brevicor-winusb.inf, which covers both modes of the device.";
}

std::string driverWaitNotice(DeviceGuise guise, const UnusableNote& note, bool pauseForDriver) {
    const std::string g = guiseText(guise);
    const std::string id = usbIdText(guise);
    const std::string limit = pauseForDriver ? "up to 10 minutes" : "up to a minute";
    switch (note.why) {
        case kd::Unusable::SettingUp:
            return "Windows is setting up the driver for " + g + "; waiting for it (" + limit +
                   ").";
        case kd::Unusable::NoDriver:
            if (!pauseForDriver)
                break;
            return "Windows has no driver for " + g + " yet. Bind WinUSB to USB ID " + id +
                   " (for example with Zadig), or install brevicor-winusb.inf, which covers both "
                   "modes of the device; the update goes on by itself once the driver is there "
                   "(waiting " +
                   limit + ").";
        case kd::Unusable::OtherDriver:
            if (!pauseForDriver)
                break;
            return "Windows uses " +
                   (note.driver.empty() ? std::string("another driver")
                                        : "the driver " + note.driver) +
                   " for " + g +
                   ", which this program cannot use. Replace it with WinUSB for USB ID " + id +
                   " (for example with Zadig: Replace Driver); the update goes on by itself once "
                   "WinUSB is there (waiting " +
                   limit + ").";
        default:
            break;
    }
    return std::string();
}

std::string driverReadyNotice(DeviceGuise guise) {
    return std::string("The driver for ") + guiseText(guise) + " is ready.";
}

GrowingWait::GrowingWait(const Notice* notice, bool pauseForDriver)
    : notice_(notice),
      pauseForDriver_(pauseForDriver),
      start_(clock::now()),
      limitMs_(kAttachWaitMs) {}

void GrowingWait::tell(const std::string& text) const {
    if (notice_ != nullptr && *notice_ && !text.empty())
        (*notice_)(text);
}

double GrowingWait::leftMs(uint16_t vendorId, uint16_t productId, DeviceGuise guise) {
    const double elapsed = clock::nominalMsBetween(start_, clock::now());
    const UnusableNote note = unusableDeviceOf(vendorId, productId);
    UnusableNote& announced = announced_[guise == DeviceGuise::Bootloader ? 1 : 0];
    if (waitingCanHelp(note, pauseForDriver_) &&
        (note.why != announced.why || note.driver != announced.driver)) {
        // While the program pauses for the driver, one set up by Windows gets as long.
        limitMs_ =
            std::max(limitMs_, elapsed + (pauseForDriver_ ? kDriverPauseMs : kDriverSetupWaitMs));
        tell(driverWaitNotice(guise, note, pauseForDriver_));
        announced = note;
    }
    return limitMs_ - elapsed;
}

void GrowingWait::attached(DeviceGuise guise) {
    if (announced_[guise == DeviceGuise::Bootloader ? 1 : 0].why != kd::Unusable::No)
        tell(driverReadyNotice(guise));
}

uint32_t awaitAttach(const AttachWait& wait) {
    WatchedNotes watched(wait.attachEvent);
    GrowingWait limit(wait.notice, wait.pauseForDriver);
    for (;;) {
        if (wait.state->load(std::memory_order_acquire) != 0) {
            limit.attached(wait.guise);
            return kEventOk;
        }
        const double left = limit.leftMs(wait.vendorId, wait.productId, wait.guise);
        if (left <= 0)
            return kEventTimeout;
        if (clock::waitMs(wait.attachEvent, static_cast<uint32_t>(std::ceil(left))) == WAIT_FAILED)
            return kEventFailed;
        // An attach, a change of the notes, or the time is up: look again.
    }
}

}  // namespace usb
}  // namespace bvu
