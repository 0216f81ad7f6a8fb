// The updaters against the emulated device, in process: what ends up in the device's flashes
// and memory, what it reports afterwards, and what the notifier saw on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

#include "synthetic_images/firmware_images.h"
#include "tests/support/emulated_session.h"
#include "tests/update/fake_device.h"
#include "update/embedded_images.h"
#include "update/usbcalibupdater.h"
#include "update/usbtarselupdater.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
namespace emu = bvu::emulator;

// The image the program carries, read the way the updater reads it.
Bytes carried(ImageKind kind) {
    Bytes record = embedded::imageProvider().imageRecord(kind);
    image::RecordView v = image::parseRecord(record.data(), record.size());
    if (!v.isPacked())
        return Bytes(v.data, v.data + v.rawLength);
    auto out = unpackImage(v.data, v.packedLength, v.rawLength);
    return Bytes(out.get(), out.get() + v.rawLength);
}

class BusEvents : public emu::BusListener {
  public:
    void arrived(const emu::Presence& d) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(d.productId == 0x2FFD ? "arrived bootloader" : "arrived run");
    }
    void left(uint32_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back("left");
    }
    Lines events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    Lines events_;
};

class EmulatedUpdateTest : public EmulatedDeviceTest {
  protected:
    double timeScale() const override { return 0.05; }  // the 7 s restart waits take 350 ms

    void TearDown() override {
        session.reset();
        if (bus)
            bus->removeListener(&events);
        EmulatedDeviceTest::TearDown();
    }

    // Makes the device, serves it to the driver layer and opens the session.
    void start(const emu::CreateOptions& options = emu::CreateOptions{}) {
        ASSERT_NO_FATAL_FAILURE(createDevice(options));
        bus->addListener(&events);
        serveInProcess();
        openSession();
    }
    std::unique_ptr<USBUpdater::Notifier> notifier() {
        return std::make_unique<RecordingNotifier>(log);
    }
    emu::DeviceSnapshot snapshot() { return emu::inspect(*bus); }

    BusEvents events;
    std::shared_ptr<Lines> log = std::make_shared<Lines>();
};

TEST_F(EmulatedUpdateTest, ControlFirmwareUpdateLeavesTheCarriedImageInTheFlash) {
    start();
    ASSERT_EQ(snapshot().controlVersion, "1.09");
    USBTarselUpdater<1> updater;
    updater.setNotifier(notifier());
    updater.update();

    const Bytes image = carried(ImageKind::Control);
    EXPECT_EQ(image, firmware::makeControlImage("1.12"));
    ASSERT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 10000));
    emu::DeviceSnapshot s = snapshot();
    ASSERT_EQ(s.controlFlash.size(), emu::kControlFlashSize);
    EXPECT_EQ(Bytes(s.controlFlash.begin(), s.controlFlash.begin() + image.size()), image);
    EXPECT_EQ(Bytes(s.controlFlash.begin() + image.size(), s.controlFlash.end()),
              Bytes(emu::kControlFlashSize - image.size(), 0xFF));  // erased, nothing stray
    EXPECT_EQ(s.controlVersion, "1.12");
    EXPECT_TRUE(s.startupBit);
    EXPECT_EQ(s.securityByte, 0xFC);
    EXPECT_EQ(USBUtils::instance().controlFirmwareVersion(), "1.12");

    // Reports before the erase and before each block, once more after the last, one for each
    // kilobyte read back, then the restart's eleven.
    const int blocks = static_cast<int>((image.size() + 3071) / 3072);
    const int total = blocks + 1;
    const int pieces = static_cast<int>((image.size() + 1023) / 1024);
    Lines expected = Lines{"status Downloading to device."} + progressRun(1, total, total) +
                     Lines{progressLine(total, total), "status Verifying."} +
                     progressRun(1, pieces, pieces) + Lines{"status Restarting device."} +
                     progressRun(1, 11, 11);
    EXPECT_EQ(*log, expected);

    // The request trace holds the program blocks in order, each with its addresses.
    int seen = 0;
    for (const emu::TraceEntry& t : emu::trace(*bus)) {
        if (t.setup[0] != 0x21 || t.setup[1] != 1 || t.data.size() < 48 || t.data[0] != 0x01)
            continue;
        const size_t from = static_cast<size_t>(seen) * 3072;
        const size_t n = std::min<size_t>(3072, image.size() - from);
        EXPECT_EQ(t.data[2] << 8 | t.data[3], static_cast<int>(from));
        EXPECT_EQ(t.data[4] << 8 | t.data[5], static_cast<int>(from + n - 1));
        EXPECT_EQ(t.dataLength, n + 48);
        ++seen;
    }
    EXPECT_EQ(seen, blocks);
}

TEST_F(EmulatedUpdateTest, VideoFirmwareUpdateLeavesTheCarriedImageInTheFlash) {
    start();
    ASSERT_EQ(snapshot().videoVersion, "1.01");
    USBTarselUpdater<0> updater;
    updater.setNotifier(notifier());
    updater.update();

    const Bytes image = carried(ImageKind::Video);
    EXPECT_EQ(image, firmware::makeVideoImage("1.02"));
    emu::DeviceSnapshot s = snapshot();
    EXPECT_EQ(s.videoFlash, image);
    EXPECT_EQ(s.videoVersion, "1.02");
    EXPECT_EQ(USBUtils::instance().videoFirmwareVersion(), "1.02");

    // The ready polls depend on the device's preparation time; everything after them does not.
    auto downloading = std::find(log->begin(), log->end(), "status Downloading to device.");
    ASSERT_NE(downloading, log->end());
    EXPECT_EQ(log->front(), "status Preparing for download.");
    const int chunks = static_cast<int>((image.size() + 32767) / 32768);
    Lines after = Lines{"status Downloading to device."} + progressRun(1, chunks, chunks) +
                  Lines{progressLine(chunks, chunks), "status Re-programming device."} +
                  progressRun(1, 10, 10) + Lines{"status "};
    EXPECT_EQ(Lines(downloading, log->end()), after);
}

TEST_F(EmulatedUpdateTest, ProgramDefaultsClearsTheMarkerAndRestartsTheDevice) {
    start();
    USBTarselUpdater<1> updater;
    updater.programDefaults();
    EXPECT_EQ(snapshot().memory[emu::kDefaultsMarker], 0x00);
    ASSERT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 10000));
    EXPECT_EQ(events.events(), Lines({"left", "arrived run"}));
    USBUtils::instance().getDeviceStatus();  // and it answers again
}

TEST_F(EmulatedUpdateTest, CalibrationResultsForSeveralCorrections) {
    emu::CreateOptions options;
    options.calibration = Bytes(18, 0x00);
    options.calibration[0x01] = 0xFF;
    options.calibration[0x0C] = 0x41;
    options.calibration[0x0D] = 0x40;
    options.calibration[0x0F] = 0x01;
    options.calibration[0x10] = 0x80;
    start(options);
    auto cell = [&](int row) {
        emu::DeviceSnapshot s = snapshot();
        return s.memory[0xD0 + 2 * row] << 8 | s.memory[0xD1 + 2 * row];
    };

    USBCalibUpdater updater;
    updater.setNotifier(notifier());
    updater.update();
    EXPECT_EQ(*log, progressRun(1, 12, 12));
    EXPECT_EQ(cell(0), 611);
    EXPECT_EQ(cell(1), 476);
    EXPECT_EQ(cell(6), 1023);  // (65 + 191) * 4 = 1024
    EXPECT_EQ(cell(7), 1023);  // (64 + 256) * 4 = 1280
    EXPECT_EQ(cell(9), 300);
    EXPECT_EQ(cell(10), 448);

    USBCalibUpdater half;
    half.setCorrection(0.5f);
    half.update();
    EXPECT_EQ(cell(0), 305);

    USBCalibUpdater zero;
    zero.setCorrection(0.0f);
    zero.update();
    for (int row = 0; row < 12; ++row) EXPECT_EQ(cell(row), 0) << row;

    USBCalibUpdater large;
    large.setCorrection(60.0f);
    large.update();
    for (int row = 0; row < 12; ++row) EXPECT_EQ(cell(row), 1023) << row;

    USBCalibUpdater negative;
    negative.setCorrection(-1.0f);
    negative.update();
    for (int row = 0; row < 12; ++row) EXPECT_EQ(cell(row), 0) << row;
}

TEST_F(EmulatedUpdateTest, ABlockTheDeviceFailsToWriteEndsTheUpdateWithItsStatus) {
    start();
    emu::FaultRule rule;
    rule.kind = emu::FaultKind::DfuError;
    rule.guise = emu::Guise::Bootloader;
    rule.match = true;
    rule.matchType = 0x21;
    rule.matchRequest = 1;
    rule.after = 5;  // erase, three configuration blocks, the first program block
    rule.status = 3;
    emu::addFault(*bus, rule);
    USBTarselUpdater<1> updater;
    EXPECT_EQ(errorOf([&] { updater.update(); }),
              "USB communication error: Device in DFU_error state (DFU_errWrite)");
    EXPECT_EQ(snapshot().dfuState, emu::dfu::kIdle);  // the error was cleared
}

// Faults right after the chip erase and right before it: either way the device has its
// start-up bit on the bootloader and, powered up again, waits there for the next run.
class EraseInterruptionTest : public EmulatedUpdateTest,
                              public ::testing::WithParamInterface<bool> {};

TEST_P(EraseInterruptionTest, LeavesADeviceThatStartsItsBootloader) {
    const bool afterErase = GetParam();
    start();
    emu::FaultRule rule;
    rule.kind = emu::FaultKind::Unplug;
    rule.match = true;
    rule.matchType = afterErase ? 0xA1 : 0x21;
    rule.matchRequest = afterErase ? 3 : 1;  // the erase's status poll, or the erase itself
    rule.after = 3;  // the start-up setting before it polls three times and downloads three
    emu::addFault(*bus, rule);
    USBTarselUpdater<1> updater;
    EXPECT_EQ(errorOf([&] { updater.update(); }).rfind("USB communication error: ", 0), 0u);
    bus->plug();
    const emu::DeviceSnapshot s = snapshot();
    EXPECT_EQ(s.guise, emu::Guise::Bootloader);
    EXPECT_FALSE(s.startupBit);
    EXPECT_EQ(s.controlVersion, afterErase ? "" : "1.09");
}

INSTANTIATE_TEST_SUITE_P(AfterAndBefore, EraseInterruptionTest, ::testing::Bool());

// Programs zeros over 16 bytes of the control flash from address through the bus itself, as
// a flash cell that lost its charge would read.
class FlashSpoiler : public USBUpdater::Notifier {
  public:
    FlashSpoiler(std::shared_ptr<emu::EmulatedBus> bus, uint16_t address)
        : bus_(std::move(bus)), address_(address) {}
    void progress(float) override {}
    void status(const std::string& message) override {
        if (message != "Verifying.")
            return;
        const uint32_t id = bus_->present().at(0).busId;
        const uint16_t end = static_cast<uint16_t>(address_ + 15);
        Bytes block(64, 0x00);
        block[0] = 0x01;
        block[2] = static_cast<uint8_t>(address_ >> 8);
        block[3] = static_cast<uint8_t>(address_);
        block[4] = static_cast<uint8_t>(end >> 8);
        block[5] = static_cast<uint8_t>(end);
        const uint8_t program[8] = {0x21, 1, 0, 0, 4, 0, 64, 0};
        const uint8_t getStatus[8] = {0xA1, 3, 0, 0, 4, 0, 6, 0};
        uint32_t moved = 0;
        uint8_t reply[6] = {};
        EXPECT_EQ(bus_->control(id, program, block.data(), &moved), emu::Reply::Ack);
        EXPECT_EQ(bus_->control(id, getStatus, reply, &moved), emu::Reply::Ack);
    }

  private:
    std::shared_ptr<emu::EmulatedBus> bus_;
    uint16_t address_;
};

TEST_F(EmulatedUpdateTest, AFlashThatDiffersAfterProgrammingFailsTheReadBackAndCanBeRewritten) {
    start();
    const Bytes image = carried(ImageKind::Control);
    // The first byte from 0x1C00 on that the zeros change.
    size_t differs = 0x1C00;
    while (image.at(differs) == 0x00) ++differs;
    char expected[64];
    std::snprintf(expected, sizeof expected, "Verification failed at address 0x%04zX.", differs);

    USBTarselUpdater<1> spoilt;
    spoilt.setNotifier(std::make_unique<FlashSpoiler>(bus, 0x1C00));
    EXPECT_EQ(errorOf([&] { spoilt.update(); }), expected);
    emu::DeviceSnapshot s = snapshot();
    EXPECT_EQ(s.guise, emu::Guise::Bootloader);
    EXPECT_FALSE(s.startupBit);
    EXPECT_EQ(s.securityByte, 0xFF);  // reading is still allowed

    // The bootloader refuses to start what it holds; the next update writes it again.
    EXPECT_FALSE(USBUtils::instance().startApplicationIfComplete(0));
    USBTarselUpdater<1> again;
    again.update();
    ASSERT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 10000));
    s = snapshot();
    EXPECT_EQ(s.controlVersion, "1.12");
    EXPECT_EQ(Bytes(s.controlFlash.begin(), s.controlFlash.begin() + image.size()), image);
    EXPECT_TRUE(s.startupBit);
    EXPECT_EQ(s.securityByte, 0xFC);
}

class EmulatedNeverReadyTest : public EmulatedUpdateTest {};

TEST_F(EmulatedNeverReadyTest, ADeviceThatNeverGetsReadyEndsTheVideoUpdate) {
    start();
    USBUtils::instance().waitForDevice();  // attached before the clock runs faster
    clock::setTimeScaleForTests(0.002);    // 300 polls of a second: 0.6 s
    emu::FaultRule rule;
    rule.kind = emu::FaultKind::NeverReady;
    emu::addFault(*bus, rule);
    USBTarselUpdater<0> updater;
    EXPECT_EQ(errorOf([&] { updater.update(); }),
              "USB communication error: The device did not get ready for the download.");
    EXPECT_EQ(snapshot().videoVersion, "1.01");
}

}  // namespace
}  // namespace test
}  // namespace bvu
