// The control firmware download through the device's DFU bootloader. Each block of the image
// travels in one DFU download, wrapped in the bootloader's program command; the device's DFU
// state says when the next block may go.
//
// The device must survive an interruption at any moment (a pulled cable, a power cut, a failed
// request): at every point either the old firmware is intact or the start-up bit of 02/00 makes
// the device come up in its bootloader, where the next run finds it and writes the firmware
// again. So the bit is set to the bootloader before the chip erase, and set back to the
// application only once the whole image has been read back and found equal, and before the
// security byte forbids reading the flash.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "update/image_record.h"
#include "update/usbupdater.h"
#include "usb/bvexbase.h"
#include "usb/usbutils.h"

namespace {

constexpr int kBlock = 3072;
constexpr int kCommandHeader = 32;
constexpr int kCommandTrailer = 16;
constexpr int kRestartSteps = 11;
constexpr uint32_t kRestartWaitMs = 700;
// The bootloader hands out at most this much of its flash per upload.
constexpr int kReadPiece = 1024;

// DFU states (DFU class specification) the block loop acts on.
constexpr uint32_t kDfuIdle = 2;
constexpr uint32_t kDnloadSync = 3;
constexpr uint32_t kDnloadBusy = 4;
constexpr uint32_t kDnloadIdle = 5;
constexpr uint32_t kDfuError = 10;

// How long one block may keep the bootloader from being ready for the next (nominal ms). A
// device that stays busy or in sync for ever would otherwise hold the update, and the dialog
// whose Exit is disabled, for ever.
constexpr double kBlockSettleLimitMs = 60000.0;

std::string hexAddress(int address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
    return text;
}

}  // namespace

void USBUpdater::verifyControlFirmware(const unsigned char* data, int length) {
    USBUtils& usb = USBUtils::instance();
    reportStatus("Verifying.");
    const int pieces = (length + kReadPiece - 1) / kReadPiece;
    int s = 0;
    usb.selectFlashRead(0, static_cast<uint16_t>(length - 1));
    std::vector<uint8_t> piece(kReadPiece);
    for (int offset = 0; offset < length; offset += kReadPiece) {
        const int n = std::min(kReadPiece, length - offset);
        const uint32_t got = usb.dfuUpload(piece.data(), static_cast<uint16_t>(n));
        // Fewer bytes prove nothing about the rest of the piece.
        if (got < static_cast<uint32_t>(n)) {
            throw USBUtils::Error("Short read-back at address " + hexAddress(offset) + " (" +
                                  std::to_string(got) + " of " + std::to_string(n) + " bytes)");
        }
        const auto differs = std::mismatch(piece.begin(), piece.begin() + n, data + offset);
        if (differs.first != piece.begin() + n) {
            throw BVError("Verification failed at address " +
                          hexAddress(offset + static_cast<int>(differs.first - piece.begin())) +
                          ".");
        }
        s = reportProgress(s, pieces);
    }
}

void USBUpdater::downloadControlFirmware(const unsigned char* data, int length) {
    // The program command addresses the flash with 16 bits: refuse what would wrap round.
    bvu::image::checkControlImageLength(length);
    if (data == nullptr)
        throw BVError("The firmware image is empty.");
    USBUtils& usb = USBUtils::instance();
    // A PC that has seen only run mode may have no driver for the bootloader: the session warns
    // and, when the bootloader arrives without one, waits for the user to bind it.
    usb.prepareForBootloader();
    usb.enterDfuMode();
    // Waits for the bootloader to attach. A dfuERROR left by an earlier, interrupted run would
    // make the bootloader refuse every command.
    if (usb.dfuGetState() == kDfuError)
        usb.dfuClearStatus();

    const int total = length / kBlock + 1 + (length % kBlock != 0 ? 1 : 0);
    // Bytes 6 to 31 of every command stay zero.
    std::vector<uint8_t> buffer(kCommandHeader + kBlock + kCommandTrailer, 0);

    reportStatus("Downloading to device.");
    int s = reportProgress(0, total);
    // From here until the new firmware is complete, a reset must find the bootloader: with the
    // start-up bit on the application and an erased flash the device would never start again.
    // The chip erase leaves 02/00 alone.
    if (!usb.setBootloaderFlag(true))
        throw USBUtils::Error("The bootloader did not take the start-up setting for itself.");
    buffer[0] = 0x04;  // erase
    buffer[1] = 0x00;
    buffer[2] = 0xFF;
    usb.dfuDownload(buffer.data(), kCommandHeader);
    usb.dfuWaitIdle();

    int offset = 0;
    int remaining = length;
    bool needState = true;
    uint32_t state = 0;
    uint32_t keptStatus = 0;
    uint32_t keptPollTimeout = 0;
    bvu::clock::TimePoint lastBlock = bvu::clock::now();
    // Before the read-back the bootloader must have written the last block: the loop then goes
    // on until it is idle again.
    const bool settleLastBlock = verify_;
    bool lastBlockDone = false;
    while ((remaining > 0 || settleLastBlock) && !lastBlockDone) {
        if (needState) {
            state = usb.dfuGetState();
            needState = false;
        }
        if ((state == kDnloadSync || state == kDnloadBusy) &&
            bvu::clock::nominalMsBetween(lastBlock, bvu::clock::now()) > kBlockSettleLimitMs) {
            throw USBUtils::Error("Device not idle after 60 seconds (" +
                                  USBUtils::dfuStateName(state) + ")");
        }
        switch (state) {
            case kDfuIdle:
            case kDnloadIdle: {
                if (remaining == 0) {
                    lastBlockDone = true;
                    break;
                }
                s = reportProgress(s, total);
                const int n = remaining < kBlock ? remaining : kBlock;
                const int end = offset + n - 1;
                buffer[0] = 0x01;  // program
                buffer[1] = 0x00;
                buffer[2] = static_cast<uint8_t>(offset >> 8);
                buffer[3] = static_cast<uint8_t>(offset);
                buffer[4] = static_cast<uint8_t>(end >> 8);
                buffer[5] = static_cast<uint8_t>(end);
                std::copy(data + offset, data + offset + n, buffer.begin() + kCommandHeader);
                std::fill(buffer.begin() + kCommandHeader + n,
                          buffer.begin() + kCommandHeader + n + kCommandTrailer, 0);
                usb.dfuDownload(buffer.data(),
                                static_cast<uint16_t>(n + kCommandHeader + kCommandTrailer));
                offset += n;
                remaining -= n;
                needState = true;
                lastBlock = bvu::clock::now();
                break;
            }
            case kDnloadSync: {
                DfuStatus st = usb.dfuGetStatus();
                keptStatus = st.status;
                keptPollTimeout = st.pollTimeout;
                state = st.state;  // acted on in the next pass, without asking again
                break;
            }
            case kDnloadBusy:
                bvu::clock::sleepMs(keptPollTimeout);
                needState = true;
                break;
            case kDfuError:
                usb.dfuClearStatus();
                throw USBUtils::Error("Device in DFU_error state (" +
                                      USBUtils::dfuStatusName(keptStatus) + ")");
            default:  // the application, manifestation and upload states, and unknown ones
                throw USBUtils::Error("Unexpected state '" + USBUtils::dfuStateName(state) +
                                      "' when downloading firmware.");
        }
    }
    reportProgress(total, total);

    if (verify_)
        verifyControlFirmware(data, length);
    if (usb.setBootloaderFlag(false)) {
        throw USBUtils::Error(
            "The bootloader did not take the start-up setting for the application.");
    }
    // The security byte forbids reading the flash back: only after the verification.
    usb.writeConfigurationByte();
    usb.startApplication(0);  // the restart wait below stands in for its own

    reportStatus("Restarting device.");
    s = reportProgress(0, kRestartSteps);
    for (int i = 0; i < 10; ++i) {
        bvu::clock::sleepMs(kRestartWaitMs);
        s = reportProgress(s, kRestartSteps);
    }
}
