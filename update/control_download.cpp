// The control firmware download through the device's DFU bootloader. Each block of the image
// travels in one DFU download, wrapped in the bootloader's program command; the device's DFU
// state says when the next block may go.
#include <algorithm>
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

}  // namespace

void USBUpdater::downloadControlFirmware(const unsigned char* data, int length) {
    // The program command addresses the flash with 16 bits: refuse what would wrap round.
    bvu::image::checkControlImageLength(length);
    if (data == nullptr)
        throw BVError("The firmware image is empty.");
    USBUtils& usb = USBUtils::instance();
    usb.enterDfuMode();
    usb.dfuGetState();  // waits for the bootloader to attach; the state itself is not needed

    const int total = length / kBlock + 1 + (length % kBlock != 0 ? 1 : 0);
    // Bytes 6 to 31 of every command stay zero.
    std::vector<uint8_t> buffer(kCommandHeader + kBlock + kCommandTrailer, 0);

    reportStatus("Downloading to device.");
    int s = reportProgress(0, total);
    buffer[0] = 0x04;  // erase
    buffer[1] = 0x00;
    buffer[2] = 0xFF;
    usb.dfuDownload(buffer.data(), kCommandHeader);
    usb.dfuWaitIdle();
    usb.setBootloaderFlag(true);

    int offset = 0;
    int remaining = length;
    bool needState = true;
    uint32_t state = 0;
    uint32_t keptStatus = 0;
    uint32_t keptPollTimeout = 0;
    bvu::clock::TimePoint lastBlock = bvu::clock::now();
    while (remaining > 0) {
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

    usb.setBootloaderFlag(false);
    usb.writeConfigurationByte();
    usb.startApplication(0);  // the restart wait below stands in for its own

    reportStatus("Restarting device.");
    s = reportProgress(0, kRestartSteps);
    for (int i = 0; i < 10; ++i) {
        bvu::clock::sleepMs(kRestartWaitMs);
        s = reportProgress(s, kRestartSteps);
    }
}
