// The request vocabulary against the emulated device, checked on its request trace and in the
// state it is left in: what a real device would have seen and done.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/emulated_session.h"

namespace {

namespace emu = bvu::emulator;
using Bytes = std::vector<uint8_t>;

class EmulatedSessionTest : public bvu::test::EmulatedDeviceTest {
  protected:
    double timeScale() const override { return 0.02; }

    // Makes the device, opens the session on it and waits for the guise it starts in.
    void make(emu::CreateOptions options = {}) {
        options.timing.preparationMs = 100;
        ASSERT_NO_FATAL_FAILURE(createDevice(options));
        serveInProcess();
        openSession();
        if (options.bootloader) {
            session->waitForBootloader();
        } else {
            session->waitForDevice();
        }
        emu::clearTrace(*bus);
    }

    // The requests since the last look (interface selections left out), as setup packet
    // followed by the data that moved; bulk transfers as endpoint followed by their data.
    std::vector<Bytes> requests() {
        std::vector<Bytes> out;
        for (const emu::TraceEntry& e : emu::trace(*bus)) {
            if (e.kind == emu::TraceKind::SetInterface)
                continue;
            Bytes b =
                e.kind == emu::TraceKind::Bulk ? Bytes{e.endpoint} : Bytes(e.setup, e.setup + 8);
            b.insert(b.end(), e.data.begin(), e.data.end());
            out.push_back(b);
        }
        emu::clearTrace(*bus);
        return out;
    }
    emu::DeviceSnapshot device() { return emu::inspect(*bus); }
    void fault(emu::FaultKind kind, uint8_t type, uint8_t request, uint32_t bytes = 0) {
        emu::FaultRule rule;
        rule.kind = kind;
        rule.match = true;
        rule.matchType = type;
        rule.matchRequest = request;
        rule.bytes = bytes;
        emu::addFault(*bus, rule);
    }
};

TEST_F(EmulatedSessionTest, ReadsAndWritesTheDeviceInRunMode) {
    make();
    USBUtils& s = *session;
    EXPECT_EQ(s.deviceRelease(), 2);
    s.getDeviceStatus();
    EXPECT_EQ(s.serialNumber(), "4711");
    EXPECT_EQ(s.pcbRevision(), "C2.1");
    EXPECT_EQ(s.controlFirmwareVersion(), "1.09");
    EXPECT_EQ(s.videoFirmwareVersion(), "1.01");
    EXPECT_EQ(s.firmwareVersion(), "2.05");
    EXPECT_TRUE(s.isNTSC());
    s.setPAL();
    s.setFirmwareVersion("2.1");
    std::vector<Bytes> expected = {
        {0x80, 6, 0x00, 0x01, 0, 0, 18, 0},  {0x80, 0, 0, 0, 0, 0, 2, 0},
        {0xA0, 3, 13, 2, 0, 0, 32, 0},       {0xA0, 3, 7, 2, 0, 0, 32, 0},
        {0xA0, 3, 4, 2, 0, 0, 32, 0},        {0xA0, 3, 4, 1, 0x00, 0x0F, 1, 0},
        {0xA0, 3, 1, 5, 0x33, 0, 4, 0},      {0xA0, 3, 1, 5, 0x3D, 0, 1, 0},
        {0x20, 2, 1, 5, 0x3D, 0, 1, 0, 'P'}, {0x20, 2, 3, 2, 0, 0, 5, 0, '2', '.', '1', 0, 0},
    };
    auto seen = requests();
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        // OUT requests with their data; IN requests by their setup packet alone.
        size_t n = expected[i][0] == 0x20 ? seen[i].size() : 8;
        EXPECT_EQ(Bytes(seen[i].begin(), seen[i].begin() + n), expected[i]) << i;
    }
    EXPECT_EQ(device().videoStandard, "PAL");
    EXPECT_FALSE(s.isNTSC());
    EXPECT_EQ(s.firmwareVersion(), "2.1");
    s.setNTSC();
    EXPECT_EQ(device().videoStandard, "NTSC");
}

TEST_F(EmulatedSessionTest, DownloadSendsPiecesOfAtMost0x8000) {
    make();
    USBUtils& s = *session;
    s.command(5, 1, 0, 0);
    s.command(5, 7, 0, 0);
    uint8_t ready = 0;
    for (int i = 0; i < 100 && ready == 0; ++i) {
        s.read(3, 3, &ready, 1);
        if (ready == 0)
            bvu::clock::sleepMs(50);
    }
    s.command(5, 5, 0, 0);
    requests();
    Bytes image(0x10001, 0x5A);
    image.back() = 0xA5;
    s.download(image.data(), static_cast<uint32_t>(image.size()));
    auto seen = requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].size(), 1u + 0x8000);
    EXPECT_EQ(seen[1].size(), 1u + 0x8000);
    EXPECT_EQ(seen[2], (Bytes{0x04, 0xA5}));
    EXPECT_EQ(seen[0][0], 0x04);
}

TEST_F(EmulatedSessionTest, EnterDfuModeByCommandOnRelease2) {
    make();
    session->enterDfuMode();
    auto seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], (Bytes{0x20, 1, 4, 6, 0, 0, 0, 0}));
    EXPECT_TRUE(emu::waitForGuise(*bus, emu::Guise::Bootloader, 10000));
    // The next DFU request waits for the bootloader; the first one of the session is 0x00FE.
    const uint8_t select[3] = {5, 2, 0};
    session->dfuDownload(select, 3);
    seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (Bytes{0x21, 1, 0xFE, 0, 4, 0, 3, 0, 5, 2, 0}));
}

TEST_F(EmulatedSessionTest, EnterDfuModeByBulkMessageOnRelease1) {
    emu::CreateOptions o;
    o.release = 1;
    make(o);
    EXPECT_GE(nominalMs([&] { session->enterDfuMode(); }), 100);
    auto seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], (Bytes{0x02, 0xC0, 0x00, 0x00}));
    EXPECT_TRUE(emu::waitForGuise(*bus, emu::Guise::Bootloader, 10000));
}

TEST_F(EmulatedSessionTest, InTheBootloaderEnterDfuModeSendsNothingAndStartApplicationWaits) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    session->enterDfuMode();
    EXPECT_TRUE(requests().empty());

    EXPECT_GE(nominalMs([&] { session->startApplication(1); }), 7000);
    std::vector<Bytes> expected = {{0x21, 1, 0xFE, 0, 4, 0, 5, 0, 4, 3, 1, 0, 0},
                                   {0x21, 1, 0xFD, 0, 4, 0, 0, 0}};
    EXPECT_EQ(requests(), expected);
    EXPECT_EQ(device().guise, emu::Guise::Run);
    // Now the application runs: nothing is sent and nothing waited for (on a clock at full
    // scale, where the seven seconds would be real ones).
    bvu::clock::setTimeScaleForTests(1.0);
    EXPECT_LT(nominalMs([&] { session->startApplication(1); }), 3500);
    EXPECT_TRUE(requests().empty());
}

TEST_F(EmulatedSessionTest, StartApplicationWithoutWaitReturnsAtOnce) {
    emu::CreateOptions o;
    o.bootloader = true;
    o.timing.reenumerationMs = 200;
    make(o);
    // The device saves its state as it leaves the bus, which takes real time (most of a second
    // under the sanitizers); on a clock at full scale that stays small against the seven seconds
    // that must not be slept.
    bvu::clock::setTimeScaleForTests(1.0);
    EXPECT_LT(nominalMs([&] { session->startApplication(0); }), 3500);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 10000));
}

TEST_F(EmulatedSessionTest, BootloaderFlagBothWaysAndTheConfigurationByte) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    EXPECT_TRUE(session->setBootloaderFlag(true));
    EXPECT_FALSE(device().startupBit);
    EXPECT_FALSE(session->setBootloaderFlag(false));
    EXPECT_TRUE(device().startupBit);
    session->writeConfigurationByte();
    EXPECT_EQ(device().securityByte, 0xFC);
}

TEST_F(EmulatedSessionTest, ShortRepliesNeverReachPastTheDeliveredBytes) {
    make();
    fault(emu::FaultKind::Short, 0xA0, 3, 2);
    EXPECT_EQ(session->serialNumber(), "");
    fault(emu::FaultKind::Empty, 0xA0, 3);
    EXPECT_EQ(session->videoFirmwareVersion(), "");
    fault(emu::FaultKind::Empty, 0xA0, 3);
    EXPECT_FALSE(session->isNTSC());
    fault(emu::FaultKind::Short, 0x80, 6, 13);
    EXPECT_EQ(session->deviceRelease(), 0);
}

TEST_F(EmulatedSessionTest, AWriteTheDeviceTookOnlyPartOfIsAnError) {
    make();
    fault(emu::FaultKind::Short, 0x20, 2, 2);
    EXPECT_EQ(errorOf([&] { session->setFirmwareVersion("2.07"); }),
              "USB communication error: Could not send BVR_WRITE to device: Short write (2 of 5 "
              "bytes)");
    fault(emu::FaultKind::Empty, 0x20, 2);
    EXPECT_EQ(errorOf([&] { session->setPAL(); }),
              "USB communication error: Could not send BVR_WRITE to device: Short write (0 of 1 "
              "bytes)");
    EXPECT_EQ(device().videoStandard, "NTSC");

    session->enterDfuMode();
    fault(emu::FaultKind::Short, 0x21, 1, 3);
    EXPECT_EQ(errorOf([&] { session->writeConfigurationByte(); }),
              "USB communication error: Could not write to USB DFU device: Short write (3 of 4 "
              "bytes)");
}

// The device restarts into run mode, which the session sees on its host's thread: on a loaded
// machine under a sanitizer that takes longer than the 0.2 s the attach wait lasts at 0.02.
class EmulatedRestartTest : public EmulatedSessionTest {
  protected:
    double timeScale() const override { return 0.1; }
};

// A device whose start-up bit is on the bootloader is not started; one sent there on purpose
// is, as before.
TEST_F(EmulatedRestartTest, StartApplicationIfCompleteReadsTheStartupBitFirst) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    EXPECT_FALSE(session->startApplicationIfComplete(1));
    std::vector<Bytes> expected = {{0xA1, 3, 0, 0, 4, 0, 6, 0},
                                   {0x21, 1, 0xFE, 0, 4, 0, 3, 0, 5, 2, 0},
                                   {0xA1, 3, 0, 0, 4, 0, 6, 0},
                                   {0xA1, 2, 0xFD, 0, 4, 0, 1, 0}};
    auto seen = requests();
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(Bytes(seen[i].begin(), seen[i].begin() + expected[i].size()), expected[i]);
    EXPECT_EQ(device().guise, emu::Guise::Bootloader);

    ASSERT_FALSE(session->setBootloaderFlag(false));  // as after a complete update
    requests();
    EXPECT_TRUE(session->startApplicationIfComplete(0));
    EXPECT_EQ(requests().size(), 6u);  // status, select, status, read, start, end
    EXPECT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 10000));
    // The session sees the arrival on its host's thread, which may lag behind the bus.
    session->waitForDevice();
    requests();
    EXPECT_TRUE(session->startApplicationIfComplete(1));  // running: nothing to do
    EXPECT_TRUE(requests().empty());
}

TEST_F(EmulatedSessionTest, StartApplicationIfCompleteClearsAnErrorLeftBehind) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    fault(emu::FaultKind::DfuError, 0x21, 1);
    const uint8_t select[3] = {5, 2, 0};
    session->dfuDownload(select, 3);  // taken, but it goes wrong
    requests();
    EXPECT_FALSE(session->startApplicationIfComplete(1));
    auto seen = requests();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[1], (Bytes{0x21, 4, 0, 0, 4, 0, 0, 0}));  // CLRSTATUS
    EXPECT_EQ(device().dfuState, emu::dfu::kIdle);
}

TEST_F(EmulatedSessionTest, ShortStatusReplyIsAnError) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    fault(emu::FaultKind::Short, 0xA1, 3, 3);
    EXPECT_EQ(errorOf([&] { session->dfuGetStatus(); }),
              "USB communication error: Could not read status from USB DFU device: Short reply (3 "
              "of 6 bytes)");
    fault(emu::FaultKind::Empty, 0xA1, 3);
    EXPECT_EQ(errorOf([&] { session->dfuWaitIdle(); }),
              "USB communication error: Could not read status from USB DFU device: Short reply (0 "
              "of 6 bytes)");
    EXPECT_EQ(session->dfuGetStatus().state, 2u);  // the device itself is fine
}

TEST_F(EmulatedSessionTest, WaitIdleEndsOnDfuErrorAndOnABootloaderThatStaysBusy) {
    emu::CreateOptions o;
    o.bootloader = true;
    make(o);
    fault(emu::FaultKind::DfuError, 0x21, 1);
    const uint8_t select[3] = {5, 2, 0};
    session->dfuDownload(select, 3);
    EXPECT_EQ(errorOf([&] { session->dfuWaitIdle(); }),
              "USB communication error: Device in DFU_error state (DFU_errWrite)");
    session->dfuClearStatus();
    session->dfuWaitIdle();

    bvu::clock::setTimeScaleForTests(0.004);
    fault(emu::FaultKind::Busy, 0xA1, 3);
    std::string error;
    double ms = nominalMs([&] { error = errorOf([&] { session->dfuWaitIdle(); }); });
    EXPECT_EQ(error,
              "USB communication error: Device not idle after 60 seconds (DFU_dfuDnloadBusy)");
    EXPECT_GE(ms, 60000);
}

}  // namespace
