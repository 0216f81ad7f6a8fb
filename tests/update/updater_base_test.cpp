// Progress counting, status passing and notifier ownership of the updater base, and the
// versions the updaters report without a device.
#include <gtest/gtest.h>

#include <memory>

#include "tests/update/fake_device.h"
#include "tests/update/probe_updater.h"
#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

using Lines = std::vector<std::string>;

TEST(UpdaterBaseTest, ReportProgressStepsUpToTheTotalAndStaysThere) {
    auto log = std::make_shared<Lines>();
    ProbeUpdater updater;
    updater.setNotifier(std::make_unique<RecordingNotifier>(log));
    EXPECT_EQ(updater.reportProgress(0, 15), 1);
    EXPECT_EQ(updater.reportProgress(14, 15), 15);
    EXPECT_EQ(updater.reportProgress(15, 15), 15);
    EXPECT_EQ(*log, Lines({progressLine(1, 15), "progress 1", "progress 1"}));
    // A phase without steps reports nothing rather than 0 / 0.
    EXPECT_EQ(updater.reportProgress(0, 0), 0);
    EXPECT_EQ(log->size(), 3u);
}

TEST(UpdaterBaseTest, WithoutANotifierProgressStillCountsAndStatusIsDropped) {
    ProbeUpdater updater;
    EXPECT_EQ(updater.reportProgress(3, 11), 4);
    updater.reportStatus("Restarting device.");
    updater.setNotifier(nullptr);
    EXPECT_EQ(updater.reportProgress(10, 11), 11);
}

TEST(UpdaterBaseTest, NotifierOwnership) {
    auto first = std::make_shared<Lines>();
    auto second = std::make_shared<Lines>();
    {
        ProbeUpdater updater;
        auto* held = new RecordingNotifier(first);
        updater.setNotifier(std::unique_ptr<USBUpdater::Notifier>(held));
        // Handing over the one already held keeps it alive (and is not a second owner).
        updater.setNotifier(std::unique_ptr<USBUpdater::Notifier>(held));
        updater.reportStatus("kept");
        EXPECT_EQ(*first, Lines{"status kept"});

        // Another one: the old one goes at once.
        updater.setNotifier(std::make_unique<RecordingNotifier>(second));
        EXPECT_EQ(*first, Lines({"status kept", "destroyed"}));
        updater.reportStatus("");
        EXPECT_EQ(*second, Lines{"status "});
    }
    EXPECT_EQ(*second, Lines({"status ", "destroyed"}));  // the updater takes it along
}

TEST(UpdaterBaseTest, VersionsNeedNoDevice) {
    EXPECT_EQ(USBTarselUpdater<0>().version(), "1.02");
    EXPECT_EQ(USBTarselUpdater<1>().version(), "1.12");
    EXPECT_EQ(USBCalibUpdater().version(), "2.0");
}

TEST(UpdaterBaseTest, ProceduresWithoutASessionFailWithNotInit) {
    ProbeUpdater updater;
    const uint8_t image[4] = {1, 2, 3, 4};
    EXPECT_THROW(updater.programDefaults(), USBUtils::NotInit);
    EXPECT_THROW(updater.downloadVideoFirmware(image, 4), USBUtils::NotInit);
    EXPECT_THROW(updater.downloadControlFirmware(image, 4), USBUtils::NotInit);
    EXPECT_THROW(USBCalibUpdater().update(), USBUtils::NotInit);
}

}  // namespace
}  // namespace test
}  // namespace bvu
