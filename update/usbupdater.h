// USBUpdater: the base of the three updaters (video firmware, control firmware, calibration
// data), with the progress notifier and the device procedures that they run.
//
// Threads: an updater runs on the update worker thread and calls its notifier there. The
// procedures block that thread for their whole duration (every pause sleeps on the platform
// clock) and expect to be the USB session's only user while they run.
//
// Errors: every failure leaves a procedure as an exception: USBUtils::Error for failed or
// unexpected exchanges with the device (and USBUtils::NotInit without a session), BVExBase for
// an image that cannot be written (empty, or too long for the bootloader to address), thrown
// before any device request. Nothing is retried or undone: the device may be left half
// programmed or in its bootloader.
#pragma once

#include <memory>
#include <string>

class USBUpdater {
  public:
    // What the application shows of an update. Called on the updater's thread.
    class Notifier {
      public:
        virtual ~Notifier();
        // The share of the current phase that is done, 0 < fraction <= 1. Every phase starts
        // again from its first step.
        virtual void progress(float fraction) = 0;
        // The text that names the phase now starting; may be empty.
        virtual void status(const std::string& message) = 0;
    };

    USBUpdater() = default;
    USBUpdater(const USBUpdater&) = delete;
    USBUpdater& operator=(const USBUpdater&) = delete;
    virtual ~USBUpdater();

    // The version of the data that update() writes. Touches no device.
    virtual std::string version() const = 0;
    // The whole update of this updater's data on the attached device.
    virtual void update() = 0;

    // Takes ownership of the notifier (which may be empty); the one held so far is destroyed
    // first, unless it is the very one given.
    void setNotifier(std::unique_ptr<Notifier> notifier);

    // Programs the device's default values and restarts it (run after a control firmware
    // update when the device's control firmware was older than 1.10).
    void programDefaults();

    // Whether the control firmware download reads the written image back and compares it
    // before it lets the device start it (on unless switched off).
    void setVerification(bool on) { verify_ = on; }

  protected:
    // One progress step: next = min(step + 1, total), reported as next / total; returns next.
    // A phase starts at step 0 and feeds each result back in. Reports nothing and returns 0
    // when total is not positive.
    int reportProgress(int step, int total);
    // Passes the text to the notifier, if there is one.
    void reportStatus(const std::string& message);

    // Writes the video firmware: preparation commands, the image in 32,768-byte bulk
    // downloads, then the device re-programs itself. data holds the whole unpacked image.
    // Throws USBUtils::Error("... did not get ready ...") when the device is not ready for the
    // download after 300 polls of a second.
    void downloadVideoFirmware(const unsigned char* data, int length);
    // Writes the control firmware through the device's DFU bootloader in blocks of 3,072 bytes
    // and starts it. The start-up bit of 02/00 points at the bootloader from before the chip
    // erase until the image has been read back and found equal (with verification on), so an
    // interruption leaves a device that comes up in its bootloader. Throws USBUtils::Error for
    // a DFU state the download cannot go on from, and (after clearing it) for the device's
    // error state, for a short read-back and for a start-up setting the bootloader did not
    // take; BVExBase "Verification failed at address 0x...." for a flash that differs from the
    // image, and for an image longer than 65,536 bytes.
    void downloadControlFirmware(const unsigned char* data, int length);

  private:
    // Phase "Verifying.": reads the flash from 0 back in pieces of 1,024 bytes and compares.
    void verifyControlFirmware(const unsigned char* data, int length);

    std::unique_ptr<Notifier> notifier_;
    bool verify_ = true;
};
