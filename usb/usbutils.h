// USBUtils: the one USB device session of a process.
//
// The program's entry function creates it as a local object before anything else touches USB
// and destroys it on the way out; everything else reaches it through USBUtils::instance().
// The session makes two driver subscriptions, one for the device in run mode and one for its
// bootloader, and keeps the attached device of each in a slot. A request for one guise waits
// (up to 10 seconds on the clock) for that guise to attach, so a caller can switch modes and
// simply issue the next request; longer while Windows sets up the device's driver, or while the
// program pauses for the user to bind one (usb/attach_wait.h).
//
// Units: the session follows one unit from its start to its end, by where it is plugged
// (usb/location.h): both guises of a unit arrive at its location, and a device elsewhere is
// another unit, in whichever guise, which the session never uses (it is refused, counted in
// refusedDevices and named by otherUnits). Which unit: the one the UnitChoice names; without
// one, the first of the units on the bus at the session's start in the order of their
// locations, or, when there is none yet, the first to arrive. Once the session knows the
// unit's serial number (given, or read with serialNumber()), a run-mode device that arrives at
// the location with another one is another unit too: the first request to it fails.
//
// Threads: the session is used by one requesting thread at a time (not safe for two at once).
// The attach and detach callbacks run on the driver layer's event threads and hand the slot to
// the requesting thread through the slot's attach event, without a lock (see DeviceSlot).
//
// Errors: every failure is thrown, as USBUtils::Error ("USB communication error: " + detail)
// for any failed exchange with the device or the driver, USBUtils::NotInit for use without a
// session and USBUtils::AlreadyInstantiated for a second session. Nothing is retried or logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "usb/bvexbase.h"
#include "usb/uda.h"

// A control transfer's 8-byte setup stage, as on the bus (16-bit fields little-endian).
struct SetupPacket {
    uint8_t bytes[8];

    SetupPacket(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                uint16_t wLength);
    // The device's own requests: wValue = a*256 + b, wIndex = indexHigh*256 + indexLow.
    SetupPacket(uint8_t bmRequestType, uint8_t bRequest, uint8_t a, uint8_t b, uint8_t indexHigh,
                uint8_t indexLow, uint16_t wLength);

    uint8_t requestType() const { return bytes[0]; }
    uint8_t request() const { return bytes[1]; }
    uint16_t value() const { return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8)); }
    uint16_t index() const { return static_cast<uint16_t>(bytes[4] | (bytes[5] << 8)); }
    uint16_t length() const { return static_cast<uint16_t>(bytes[6] | (bytes[7] << 8)); }
};

// The answer of DFU_GETSTATUS.
struct DfuStatus {
    uint32_t status;       // bStatus
    uint32_t pollTimeout;  // bwPollTimeout, milliseconds
    uint32_t state;        // bState
};

class USBUtils {
  public:
    class Error : public BVExBase {
      public:
        explicit Error(const std::string& detail);
        ~Error() override = default;
    };
    class NotInit : public BVExBase {
      public:
        NotInit();
    };
    class AlreadyInstantiated : public BVExBase {
      public:
        AlreadyInstantiated();
    };

    enum SlotState : int32_t { Detached = 0, Attached = 1, Ready = 2 };

    // The unit the session works with.
    struct UnitChoice {
        // Where it is plugged; empty: the session picks (see "Units" above).
        std::string location;
        // With a location: the driver never opens a device elsewhere, so the units there stay
        // free for other programs (one process per unit). Without: devices elsewhere are seen,
        // refused and named.
        bool exclusive = true;
        // The serial number it has in run mode, when known; empty: learnt when it is read.
        std::string serial;
    };
    // A unit the session left alone.
    struct OtherUnit {
        std::string location;
        bool bootloader = false;  // the guise it was last seen in
    };

    struct Unit;  // the session's own: which unit it follows, and the others it saw

    // One guise of the device. The attach callback writes device and setInterfaceStatus before
    // it stores state (release) and signals attachEvent; the requesting thread reads them only
    // after its wait on attachEvent or after loading state Ready (acquire). The fields are
    // atomics so that this hand-over without a lock is well defined.
    struct DeviceSlot {
        std::atomic<int32_t> state{Detached};
        uint32_t interfaceNumber = 0;   // the interface the slot accepts; never changed
        uint32_t alternateSetting = 0;  // selected on attach; never changed
        std::atomic<UDA_DEVICE_HANDLE> device{nullptr};
        // Auto-reset; one signal per accepted attach, and one at each change of the notes
        // about unusable devices while a request waits on it (attach_wait.h).
        HANDLE attachEvent = nullptr;
        std::atomic<UDA_STATUS> setInterfaceStatus{0};
        UDA_DRIVER_HANDLE driver = nullptr;
        std::atomic<uint32_t> refused{0};  // devices offered while the slot held one, or elsewhere
        Unit* unit = nullptr;              // the unit the session follows; never changed
        bool bootloaderGuise = false;      // never changed
    };

    // Opens the session: the two subscriptions. Throws AlreadyInstantiated while another
    // session lives (which stays untouched), or Error when an event or a subscription cannot be
    // made (then no session exists and a later construction may be tried). The devices already
    // on the bus are reported on the subscriptions' event threads after it has returned.
    USBUtils();
    // The same for the unit that choice names. A location that matches no device leaves the
    // session waiting for one there, as for a unit that is not plugged in yet.
    explicit USBUtils(const UnitChoice& choice);
    // Closes the session: both subscriptions released, their event threads ended.
    ~USBUtils();
    USBUtils(const USBUtils&) = delete;
    USBUtils& operator=(const USBUtils&) = delete;

    // The live session; throws NotInit when there is none.
    static USBUtils& instance();

    // ---- Run-mode requests (each waits for the run-mode device first) -----------------------
    // All transfers time out after 5000 ms; a failure throws Error with the request's prefix
    // and the driver status text.

    uint8_t deviceRelease();  // major byte of bcdDevice; 0 when the reply is short
    void getDeviceStatus();   // presence check
    void command(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    // Throws Error ("... Short write (k of n bytes)") when the device takes fewer bytes than
    // sent: what it stored is not what was meant.
    void write(uint8_t a, uint8_t b, uint16_t address, const void* data, uint16_t length);
    void write(uint8_t a, uint8_t b, const void* data, uint16_t length);
    // Returns the number of bytes received (never more than length).
    uint32_t read(uint8_t a, uint8_t b, uint16_t address, void* buffer, uint16_t length);
    uint32_t read(uint8_t a, uint8_t b, void* buffer, uint16_t length);
    void download(const void* data, uint32_t length);   // BVR_DNLOAD, pieces of 0x8000 on 0x04
    void bulkWrite(const void* data, uint32_t length);  // bulk endpoint 0x02
    void bulkCommand(uint8_t x, uint8_t y, uint8_t z);

    // The texts end at their first NUL. A reply shorter than asked is no error: the text is then
    // shorter. complete (when given) says whether the whole text came: for an info text its NUL
    // (the device sends the text and its NUL), for a memory text every byte asked for or a NUL.
    // A decision taken on a text cut short would be taken on a version the device does not have.
    std::string readInfoString(uint8_t n, bool* complete = nullptr);
    std::string readMemoryString(uint16_t address, uint16_t length, bool* complete = nullptr);
    std::string serialNumber();
    std::string controlFirmwareVersion(bool* complete = nullptr);
    std::string pcbRevision();
    std::string firmwareVersion(bool* complete = nullptr);  // the package version at 0x33
    std::string videoFirmwareVersion();
    bool isNTSC();
    void setNTSC();
    void setPAL();
    void setFirmwareVersion(const std::string& text);

    // Sends the device into its bootloader (returns without waiting for the re-enumeration).
    void enterDfuMode();
    // Makes a device in its bootloader start its application; wait == 1 sleeps 7 s after.
    // Asks nothing first: the caller must know that the flash holds a complete control firmware.
    void startApplication(int wait);
    // As startApplication, but a device in its bootloader is first asked whether its control
    // firmware is complete (the start-up bit of 02/00 selects the application; a dfuERROR left
    // by an earlier run is cleared first). Returns false, having started nothing, when it is
    // not: an application the flash does not hold would make the device leave the bus until it
    // is power-cycled. True when the application runs already or has been started. A device in
    // neither guise is waited for up to 10 s, then Error "Waiting for USB DFU-mode to attach".
    bool startApplicationIfComplete(int wait);

    // ---- DFU requests (each waits for the bootloader first) ---------------------------------

    // Throws Error ("... Short write (k of n bytes)") when the bootloader takes fewer bytes.
    void dfuDownload(const void* data, uint16_t length);
    // Returns the number of bytes received (never more than length).
    uint32_t dfuUpload(void* buffer, uint16_t length);
    DfuStatus dfuGetStatus();
    void dfuClearStatus();
    uint8_t dfuGetState();
    // Returns when the device reports dfuIDLE. Throws Error when it reports dfuERROR, or when it
    // is not idle within 60 s on the clock.
    void dfuWaitIdle();
    // Sets (flag true: bit 6 of 02/00 cleared, the device starts its bootloader at reset) or
    // clears the start-up flag, then reads 02/00 back: true when bit 6 reads as 0. Throws Error
    // when a read of 02/00 brings no byte.
    bool setBootloaderFlag(bool flag);
    // Reads 02/00 without changing it: true when bit 6 is clear (the bootloader starts at
    // reset). Throws Error when no byte comes.
    bool bootloaderFlag();
    // Tells the bootloader to hand out the control flash from start to end (inclusive) at the
    // following uploads (at most 1,024 bytes each), and waits until it is idle.
    void selectFlashRead(uint16_t start, uint16_t end);
    void writeConfigurationByte();
    static std::string dfuStateName(uint32_t state);
    static std::string dfuStatusName(uint32_t status);

    // ---- Slots, waits, pipes ----------------------------------------------------------------

    UDA_DEVICE_HANDLE waitForDevice();
    UDA_DEVICE_HANDLE waitForBootloader();
    // ---- Drivers (what Windows lets this program use; see attach_wait.h) ---------------------

    // What the session tells the user while a wait grows longer for a driver: one line of text
    // for the status line each time. Set by the requesting thread between requests (empty: no
    // notices); called on the requesting thread, inside the request's wait, with no lock held;
    // it must not use the session.
    using Notice = std::function<void(const std::string& text)>;
    void setNotice(Notice notice);
    // Sets the notice for as long as it lives, then none (on the requesting thread).
    class ScopedNotice {
      public:
        ScopedNotice(USBUtils& session, Notice notice) : session_(session) {
            session_.setNotice(std::move(notice));
        }
        ~ScopedNotice() { session_.setNotice(Notice()); }
        ScopedNotice(const ScopedNotice&) = delete;
        ScopedNotice& operator=(const ScopedNotice&) = delete;

      private:
        USBUtils& session_;
    };
    // For a program about to send the device into its bootloader and go on with it there (the
    // control firmware update), before it does. When this PC shows no sign of a driver for the
    // bootloader (usb::DriverSign::None: only the WinUSB host looks), tells the notice so, with
    // what to bind. From then on, until the session ends, a wait for the bootloader pauses, up
    // to 10 minutes, while the bootloader is there without a usable driver, telling the notice
    // what to bind, instead of failing after 10 s. Elsewhere (Linux, the emulated device) this
    // changes nothing.
    void prepareForBootloader();

    // Whether the guise is on the bus now (its slot Attached or Ready). The first of these
    // questions waits until the session has heard of every device that was on the bus at its
    // start, up to 10 s on the clock (a driver slower than that is no error: its reports land
    // later, as arrivals do); the later ones answer at once. The mode switches ask one first.
    bool isDevicePresent() const;
    bool isBootloaderPresent() const;
    // How many matching devices were refused because the slot of their guise held one already
    // (a second device on the bus); the session keeps working with the first. Any thread; it
    // counts the reports so far, which include every device present at the start once a
    // presence question has been answered.
    uint32_t refusedDevices() const;
    // Where the unit the session follows is plugged; empty until it has one (and when its host
    // cannot tell). Any thread.
    std::string unitLocation() const;
    // The units the session has seen elsewhere and left alone, in the order of their locations,
    // one entry each. Any thread; complete for the units present at the start once a presence
    // question has been answered.
    std::vector<OtherUnit> otherUnits() const;
    // The pipe record with this number in the device's first active interface's active
    // alternate setting; throws Error("Could not find USB pipe.") when there is none.
    UDA_PipeInfo findPipe(UDA_DEVICE_HANDLE device, uint32_t pipeNumber);
    // Nothing when status is 0; otherwise throws Error(prefix + statusText(status)).
    static void checkStatus(UDA_STATUS status, const std::string& prefix);

    int32_t blockNumberForTests() const { return blockNumber; }

  private:
    struct Impl;
    // firstUse (may be null): set when this call made the slot Ready, the first use of the
    // device that attached.
    UDA_DEVICE_HANDLE waitForSlot(DeviceSlot& slot, const char* waitPrefix, const char* attachError,
                                  bool* firstUse = nullptr);
    // The first request to a run-mode device that arrived: when the unit's serial number is
    // known, the device must have it.
    void checkUnitSerial(UDA_DEVICE_HANDLE device);
    // Remembers the unit's serial number as read, unless one is known already.
    void learnSerialNumber(const std::string& serial);
    // The serial number in the info text: two characters, then the four of the number.
    static std::string serialOfInfoText(const std::string& text);
    uint32_t controlTransfer(UDA_DEVICE_HANDLE device, const SetupPacket& setup, void* data,
                             bool read, const std::string& prefix);
    uint8_t readStartupByte();     // 02/00 as the bootloader reads it; throws when no byte comes
    const Notice* notice() const;  // the one setNotice gave; never null

    std::unique_ptr<Impl> impl;
    int32_t blockNumber = 0xFF;  // numbers DFU downloads and uploads; never reset
    static std::atomic<USBUtils*> instance_;
};
