// The video firmware download: the device takes the whole image over its bulk download pipe
// while in run mode, then re-programs its FPGA configuration flash from it.
#include "platform/clock.h"
#include "update/usbupdater.h"
#include "usb/bvexbase.h"
#include "usb/usbutils.h"

namespace {

constexpr int kChunk = 0x8000;
constexpr uint32_t kReadyPollMs = 1000;
constexpr int kReadyCycle = 15;
// The device erases its flash before it reports ready; five minutes of polls is far beyond
// that, and a device that is still not ready then will not become so.
constexpr int kMaxReadyPolls = 300;
constexpr int kReprogramSteps = 10;
constexpr uint32_t kReprogramWaitMs = 700;

}  // namespace

void USBUpdater::downloadVideoFirmware(const unsigned char* data, int length) {
    if (data == nullptr || length <= 0)
        throw BVError("The firmware image is empty.");
    USBUtils& usb = USBUtils::instance();
    const int fullChunks = length / kChunk;

    reportStatus("Preparing for download.");
    usb.command(5, 1, 0, 0);
    usb.command(5, 7, 0, 0);
    int s = reportProgress(0, kReadyCycle);
    uint8_t ready = 0;  // a read that delivers nothing leaves it as it was
    for (int polls = 0; ready == 0; ++polls) {
        if (polls == kMaxReadyPolls)
            throw USBUtils::Error("The device did not get ready for the download.");
        bvu::clock::sleepMs(kReadyPollMs);
        usb.read(3, 3, 0, &ready, 1);
        s = reportProgress(s, kReadyCycle);
        if (s == kReadyCycle)
            s = 0;  // the count goes round while the device prepares
    }

    reportStatus("Downloading to device.");
    const int rest = length - fullChunks * kChunk;
    const int total = fullChunks + (rest > 0 ? 1 : 0);
    s = reportProgress(0, total);
    usb.command(5, 5, 0, 0);
    for (int i = 0; i < fullChunks; ++i) {
        usb.download(data + static_cast<size_t>(i) * kChunk, kChunk);
        s = reportProgress(s, total);
    }
    if (rest > 0) {
        usb.download(data + static_cast<size_t>(fullChunks) * kChunk, rest);
        reportProgress(s, total);
    }
    usb.command(5, 6, 0, 0);

    reportStatus("Re-programming device.");
    usb.command(2, 1, 0, 0);
    usb.command(2, 2, 0, 0);
    s = 0;
    for (int i = 0; i < kReprogramSteps; ++i) {
        s = reportProgress(s, kReprogramSteps);
        bvu::clock::sleepMs(kReprogramWaitMs);
    }
    usb.command(2, 3, 0, 0);
    reportStatus("");
}
