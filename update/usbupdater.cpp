#include "update/usbupdater.h"

#include "platform/clock.h"
#include "usb/usbutils.h"

namespace {

constexpr uint16_t kDefaultsAddress = 0x3E;
constexpr int kRestartSteps = 11;
constexpr uint32_t kDefaultsWaitMs = 300;
constexpr uint32_t kRestartWaitMs = 700;

}  // namespace

USBUpdater::Notifier::~Notifier() = default;

USBUpdater::~USBUpdater() = default;

void USBUpdater::setNotifier(std::unique_ptr<Notifier> notifier) {
    if (notifier && notifier.get() == notifier_.get()) {
        // Already ours: keeping both owners would destroy it twice.
        notifier.release();
        return;
    }
    notifier_.reset();
    notifier_ = std::move(notifier);
}

int USBUpdater::reportProgress(int step, int total) {
    if (total <= 0)
        return 0;
    int next = step < total ? step + 1 : total;
    if (notifier_)
        notifier_->progress(static_cast<float>(next) / static_cast<float>(total));
    return next;
}

void USBUpdater::reportStatus(const std::string& message) {
    if (notifier_)
        notifier_->status(message);
}

void USBUpdater::programDefaults() {
    USBUtils& usb = USBUtils::instance();
    reportStatus("Programming default values.");
    const uint8_t zero = 0x00;
    usb.write(5, 1, kDefaultsAddress, &zero, 1);
    usb.command(14, 0, 0, 0);
    int s = reportProgress(0, kRestartSteps);
    for (int i = 0; i < 10; ++i) {
        bvu::clock::sleepMs(kDefaultsWaitMs);
        s = reportProgress(s, kRestartSteps);
    }

    reportStatus("Restarting device.");
    usb.command(6, 9, 0, 0);
    s = reportProgress(0, kRestartSteps);
    for (int i = 0; i < 10; ++i) {
        bvu::clock::sleepMs(kRestartWaitMs);
        s = reportProgress(s, kRestartSteps);
    }
}
