// How a request waits for the guise of the device it needs, and what it tells the user while
// the wait grows longer because Windows is not ready with the device's driver.
//
// A request waits up to 10 seconds (on the clock) for its guise to attach. The wait grows when
// the device is there but cannot be used yet, and waiting can mend that:
//  - Windows is still setting up its driver (a new port, a driver just installed): first-time
//    setup can take longer than 10 s, so the wait goes on up to 60 s from then.
//  - A program that sends the device into its bootloader to go on with it there (the control
//    firmware update, USBUtils::prepareForBootloader) pauses while the bootloader has no usable
//    driver (none, or another one than WinUSB), up to 10 minutes from then, and says what to
//    bind; once the user has bound WinUSB the bootloader arrives anew and the update goes on.
// Each notice goes to the session's notice hook (USBUtils::setNotice) when the wait starts to
// grow for that reason, and one more when the device attaches after such a notice. Elsewhere,
// and off Windows (no host but WinUSB notes these reasons), the 10-second wait stays as it was.
//
// Why a pause and not only a look beforehand: nothing can bind a driver to the bootloader guise
// before it is on the bus (a WinUSB installer such as Zadig lists only the devices present), a
// driver package in the store is bound by Windows only when the guise arrives, and the
// bootloader, having no serial number, is a new device node on every new port. So the session
// looks beforehand for a sign that the PC knows the bootloader (USBUtils::prepareForBootloader:
// a device node of it that WinUSB serves, present or remembered) and warns when there is none;
// whatever the sign said, it is the bootloader's arrival that tells, and the pause that lets the
// user mend it. The device waits in its bootloader with its old firmware intact and its start-up
// bit on the application (nothing is changed before the bootloader answers): a pause that runs
// out fails the update as a missing driver did before, and the device, unplugged and plugged in
// again, starts its old firmware.
//
// Threads: the requesting thread. The notice is called on it, with no lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32.h"
#include "usb/device_advice.h"

namespace bvu {
namespace usb {

using Notice = std::function<void(const std::string& text)>;

// The device's guises: run mode (03EB:3014) and its bootloader (03EB:2FFD).
enum class DeviceGuise { Run, Bootloader };

struct AttachWait {
    HANDLE attachEvent = nullptr;                 // the slot's: signalled at its attach
    const std::atomic<int32_t>* state = nullptr;  // the slot's state; 0 (Detached) until then
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    DeviceGuise guise = DeviceGuise::Run;
    bool pauseForDriver = false;     // wait for the user to bind a missing driver (see above)
    const Notice* notice = nullptr;  // may be null or empty
};

// Nominal limits of the wait (on the clock).
constexpr uint32_t kAttachWaitMs = 10000;
constexpr uint32_t kDriverSetupWaitMs = 60000;
constexpr uint32_t kDriverPauseMs = 600000;

// Waits until *state is no longer Detached: 0, or the event status (kEventTimeout) that ends
// the wait.
uint32_t awaitAttach(const AttachWait& wait);

// The limit of such a wait, for a caller that polls for its device itself (the first look for
// either guise): it begins with the object, and grows as the notes say.
class GrowingWait {
  public:
    GrowingWait(const Notice* notice, bool pauseForDriver);
    // Looks at the notes about the guise (telling the notice when the wait grows for a new
    // reason); the nominal ms left then, 0 or less when the time is up.
    double leftMs(uint16_t vendorId, uint16_t productId, DeviceGuise guise);
    // The guise has attached: tells the notice so if a wait for it was announced.
    void attached(DeviceGuise guise);

  private:
    void tell(const std::string& text) const;

    const Notice* notice_;
    const bool pauseForDriver_;
    const std::chrono::steady_clock::time_point start_;
    double limitMs_;
    UnusableNote announced_[2];  // the reason last told, by guise
};

// The texts, one line each (exposed for tests and for the session's warning).
std::string bootloaderDriverWarning();
std::string driverWaitNotice(DeviceGuise guise, const UnusableNote& note, bool pauseForDriver);
std::string driverReadyNotice(DeviceGuise guise);

}  // namespace usb
}  // namespace bvu
