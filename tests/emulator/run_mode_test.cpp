// The device in run mode: identity, memory, the video download, restarts and the way into the
// bootloader, as the host sees them on the bus.
#include <thread>

#include "synthetic_images/firmware_images.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

using EmuRunMode = EmulatorTest;

TEST_F(EmuRunMode, AnswersIdentityVersionsAndDescriptors) {
    CreateOptions o;
    o.serial = "1234";
    o.pcbRevision = "B7.3";
    o.controlVersion = "1.09";
    o.videoVersion = "1.01";
    o.packageVersion = "2.05";
    make(o);
    EXPECT_EQ(infoText(13), "SN1234");
    EXPECT_EQ(infoText(7), "B7.3");
    EXPECT_EQ(infoText(4), "1.09");
    Answer v = rd(1, 4, 0x0F00, 1);
    ASSERT_EQ(v.reply, Reply::Ack);
    EXPECT_EQ(hex(v.data), "21");  // 1.01: major 1 in bits 7-5, minor 1
    Answer pkg = rd(5, 1, 0x33, 4);
    EXPECT_EQ(std::string(pkg.data.begin(), pkg.data.end()), "2.05");
    EXPECT_EQ(hex(rd(5, 1, 0x3D, 1).data), "4e");  // 'N'

    Answer dev = in(0x80, 6, 0x0100, 0, 18);
    ASSERT_EQ(dev.data.size(), 18u);
    EXPECT_EQ(dev.data[13], 2);  // release major byte of bcdDevice
    EXPECT_EQ(dev.data[8] | dev.data[9] << 8, 0x03EB);
    EXPECT_EQ(dev.data[10] | dev.data[11] << 8, 0x3014);
    Answer cfg = in(0x80, 6, 0x0200, 0, 255);
    ASSERT_GE(cfg.data.size(), 9u + 9 + 7 + 7);
    EXPECT_EQ(cfg.data[2], cfg.data.size());
    EXPECT_EQ(cfg.data[9 + 2], 0);  // interface number
    EXPECT_EQ(cfg.data[18 + 2], 0x02);
    EXPECT_EQ(cfg.data[25 + 2], 0x04);
    EXPECT_EQ(in(0x80, 0, 0, 0, 2).reply, Reply::Ack);  // GET_STATUS
    // A short read gets what fits.
    EXPECT_EQ(in(0x80, 6, 0x0100, 0, 8).data.size(), 8u);
    EXPECT_EQ(bus->present().front().descriptors.size(), 18u + cfg.data.size());
}

TEST_F(EmuRunMode, StallsWhatItDoesNotKnow) {
    make();
    EXPECT_EQ(cmd(9, 9), Reply::Stall);
    EXPECT_EQ(rd(2, 99, 0, 32).reply, Reply::Stall);
    EXPECT_EQ(rd(1, 4, 0x0F01, 1).reply, Reply::Stall);
    EXPECT_EQ(rd(5, 1, 0xFF, 2).reply, Reply::Stall);  // past the end of memory
    EXPECT_EQ(wr(5, 1, 0xFE, {1, 2, 3}), Reply::Stall);
    EXPECT_EQ(getStatus().reply, Reply::Stall);  // DFU requests mean nothing in run mode
    EXPECT_EQ(in(0xC0, 1, 0, 0, 4).reply, Reply::Stall);
    EXPECT_EQ(bulk(0x04, {1, 2, 3}), Reply::Stall);  // no download open
    EXPECT_EQ(bulk(0x06, {1}), Reply::Stall);
}

TEST_F(EmuRunMode, MemoryWritesAndPackageVersion) {
    make();
    EXPECT_EQ(wr(5, 1, 0x3D, {'P'}), Reply::Ack);
    EXPECT_EQ(inspect(*bus).videoStandard, "PAL");
    EXPECT_EQ(wr(2, 3, 0, {'2', '.', '0', '7', 0}), Reply::Ack);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rd(5, 1, 0x33, 5).data.data())), "2.07");
    EXPECT_EQ(inspect(*bus).packageVersion, "2.07");
    EXPECT_EQ(wr(2, 3, 0, {1, 2, 3, 4, 5, 6}), Reply::Stall);  // longer than its 5 bytes
    EXPECT_EQ(wr(5, 1, 0xD0, {0x02, 0x63}), Reply::Ack);
    EXPECT_EQ(hex(rd(5, 1, 0xD0, 2).data), "0263");
}

TEST_F(EmuRunMode, DefaultValuesKeepFactoryCalibrationPackageAndStandard) {
    CreateOptions o;
    o.pal = true;
    o.calibration.assign(18, 0x11);
    make(o);
    std::vector<uint8_t> before = rd(5, 1, 0, 0x12).data;
    ASSERT_EQ(wr(5, 1, 0x3E, {0x00}), Reply::Ack);
    ASSERT_EQ(wr(5, 1, 0x40, {0xAB, 0xCD}), Reply::Ack);
    ASSERT_EQ(wr(5, 1, 0xD0, {0x03, 0xFF}), Reply::Ack);
    ASSERT_EQ(cmd(14, 0), Reply::Ack);
    EXPECT_EQ(rd(5, 1, 0, 0x12).data, before);
    EXPECT_EQ(hex(rd(5, 1, 0x40, 2).data), "0000");
    EXPECT_EQ(hex(rd(5, 1, 0xD0, 2).data), "0200");
    EXPECT_EQ(inspect(*bus).videoStandard, "PAL");
    EXPECT_EQ(inspect(*bus).packageVersion, "2.05");
}

// The whole video download as the host runs it.
void download(EmuRunMode& t, const std::vector<uint8_t>& image) {
    ASSERT_EQ(t.cmd(5, 1), Reply::Ack);
    ASSERT_EQ(t.cmd(5, 7), Reply::Ack);
    for (int i = 0; i < 200 && t.rd(3, 3, 0, 1).data.at(0) == 0; ++i) clock::sleepMs(100);
    ASSERT_EQ(t.rd(3, 3, 0, 1).data.at(0), 1);
    ASSERT_EQ(t.cmd(5, 5), Reply::Ack);
    for (size_t at = 0; at < image.size(); at += 0x8000) {
        std::vector<uint8_t> piece(
            image.begin() + static_cast<std::ptrdiff_t>(at),
            image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), at + 0x8000)));
        uint32_t taken = 0;
        ASSERT_EQ(t.bulk(0x04, piece, &taken), Reply::Ack);
        ASSERT_EQ(taken, piece.size());
    }
    ASSERT_EQ(t.cmd(5, 6), Reply::Ack);
    ASSERT_EQ(t.cmd(2, 1), Reply::Ack);
    ASSERT_EQ(t.cmd(2, 2), Reply::Ack);
}

TEST_F(EmuRunMode, VideoDownloadInstallsTheImageAfterReprogramming) {
    // Not ready before the preparation time has passed, and the download cannot open. (A
    // preparation of ten minutes: far more than a loaded machine takes between two requests.)
    CreateOptions slow;
    slow.timing.preparationMs = 600000;
    make(slow);
    ASSERT_EQ(cmd(5, 1), Reply::Ack);
    ASSERT_EQ(cmd(5, 7), Reply::Ack);
    EXPECT_EQ(rd(3, 3, 0, 1).data.at(0), 0);
    EXPECT_EQ(cmd(5, 5), Reply::Stall);

    make();
    const std::vector<uint8_t> image = firmware::makeVideoImage("1.02");
    download(*this, image);
    clock::sleepMs(5200);
    ASSERT_EQ(cmd(2, 3), Reply::Ack);
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.videoVersion, "1.02");
    EXPECT_EQ(s.videoFlash, image);
    EXPECT_EQ(hex(rd(1, 4, 0x0F00, 1).data), "22");
}

TEST_F(EmuRunMode, EndingReprogrammingTooEarlyLeavesTheVideoFirmwareCorrupt) {
    CreateOptions o;
    o.timing.reprogrammingMs = 600000;  // ended long before, however loaded the machine
    make(o);
    download(*this, firmware::makeVideoImage("1.02"));
    ASSERT_EQ(cmd(2, 3), Reply::Ack);
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.videoVersion, "");
    EXPECT_EQ(s.videoVersionByte, 0);
    EXPECT_EQ(hex(rd(1, 4, 0x0F00, 1).data), "00");
}

TEST_F(EmuRunMode, OutOfOrderDownloadStepsStall) {
    make();
    EXPECT_EQ(cmd(5, 7), Reply::Stall);  // without 5,1
    EXPECT_EQ(cmd(5, 6), Reply::Stall);  // nothing open
    EXPECT_EQ(cmd(2, 1), Reply::Stall);  // nothing collected
    EXPECT_EQ(cmd(2, 2), Reply::Stall);
    EXPECT_EQ(cmd(2, 3), Reply::Stall);
}

TEST_F(EmuRunMode, RestartLeavesAndComesBackInRunMode) {
    CreateOptions o;
    o.timing.restartMs = 30000;  // long enough to see it gone on a slow (sanitizer) build
    make(o);
    RecordingListener listener;
    bus->addListener(&listener);
    const uint32_t first = id();
    ASSERT_EQ(cmd(6, 9), Reply::Ack);
    const bool arrived = waitFor(Guise::Run) && listener.waitForEvents(2);
    bus->removeListener(&listener);  // before any assertion can leave the test
    ASSERT_TRUE(arrived);
    ASSERT_NE(id(), 0u);
    EXPECT_NE(id(), first);  // a new arrival, a new bus id
    std::vector<std::string> events = listener.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "left:" + std::to_string(first));
    EXPECT_EQ(events[1], "arrived:3014:" + std::to_string(id()));
}

TEST_F(EmuRunMode, EntersTheBootloaderByCommandFromRelease2) {
    CreateOptions o;
    o.timing.reenumerationMs = 30000;
    make(o);
    const uint32_t first = id();
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    EXPECT_EQ(bulk(0x02, {0xC0, 0, 0}), Reply::Gone);
    ASSERT_TRUE(waitFor(Guise::Bootloader));
    std::vector<Presence> p = bus->present();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].productId, 0x2FFD);
    EXPECT_NE(p[0].busId, first);
    EXPECT_EQ(getState(), 2);  // dfuIDLE
}

TEST_F(EmuRunMode, Release1IgnoresTheCommandAndTakesTheBulkMessage) {
    CreateOptions o;
    o.release = 1;
    make(o);
    EXPECT_EQ(in(0x80, 6, 0x0100, 0, 18).data.at(13), 1);
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    // A device leaves within the request that sends it away: this one stays, and nothing is on
    // its way.
    EXPECT_EQ(guise(), Guise::Run);
    EXPECT_EQ(inspect(*bus).arriving, Guise::Absent);
    uint32_t taken = 0;
    ASSERT_EQ(bulk(0x02, {0xC0, 0x00, 0x00}, &taken), Reply::Ack);
    EXPECT_EQ(taken, 3u);
    ASSERT_TRUE(waitFor(Guise::Bootloader));
}

TEST_F(EmuRunMode, Release2TakesTheBulkMessageButStaysInRunMode) {
    make();
    ASSERT_EQ(bulk(0x02, {0xC0, 0x00, 0x00}), Reply::Ack);
    EXPECT_EQ(guise(), Guise::Run);  // it would have left within the request
    EXPECT_EQ(inspect(*bus).arriving, Guise::Absent);
}

TEST_F(EmuRunMode, RequestsToADeviceThatLeftAreGone) {
    CreateOptions o;
    o.timing.restartMs = 30000;
    make(o);
    const uint32_t first = id();
    ASSERT_EQ(cmd(6, 9), Reply::Ack);
    uint8_t setup[8] = {0x80, 0, 0, 0, 0, 0, 2, 0};
    uint8_t buf[2];
    uint32_t n = 0;
    EXPECT_EQ(bus->control(first, setup, buf, &n), Reply::Gone);
    ASSERT_TRUE(waitFor(Guise::Run));
    EXPECT_EQ(bus->control(first, setup, buf, &n), Reply::Gone);  // the old id stays dead
}

// A bulk endpoint that stalled stays halted, as a real one does, until the host clears it; a
// control request's stall ends with the next setup packet.
TEST_F(EmuRunMode, AStalledBulkEndpointStaysHaltedUntilItIsCleared) {
    make();
    auto halted = [&](uint8_t endpoint) { return in(0x82, 0, 0, endpoint, 2).data.at(0) == 1; };
    FaultRule stall;
    stall.kind = FaultKind::Stall;
    stall.match = stall.matchBulk = true;
    stall.matchRequest = 0x02;
    addFault(*bus, stall);
    EXPECT_EQ(bulk(0x02, {0xC0, 0, 0}), Reply::Stall);
    EXPECT_EQ(bulk(0x02, {0xC0, 0, 0}), Reply::Stall);  // halted: refused without a fault
    EXPECT_TRUE(halted(0x02));
    EXPECT_FALSE(halted(0x04));
    // The fault rules do not see what a halted endpoint refuses.
    addFault(*bus, stall);
    EXPECT_EQ(bulk(0x02, {1}), Reply::Stall);
    EXPECT_EQ(inspect(*bus).pendingFaults, 1u);
    clearFaults(*bus);
    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].fault, "stall");
    EXPECT_EQ(t[1].fault, "");
    EXPECT_EQ(t[1].reply, Reply::Stall);
    EXPECT_EQ(t[1].dataLength, 0u);

    EXPECT_EQ(out(0x02, 1, 0, 0x02), Reply::Ack);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_FALSE(halted(0x02));
    EXPECT_EQ(bulk(0x02, {0xC0, 0, 0}), Reply::Ack);

    // SET_FEATURE(ENDPOINT_HALT) halts it; SET_INTERFACE clears every halt.
    EXPECT_EQ(out(0x02, 3, 0, 0x02), Reply::Ack);
    EXPECT_EQ(bulk(0x02, {1}), Reply::Stall);
    EXPECT_EQ(bus->setInterface(id(), 0, 0), Reply::Ack);
    EXPECT_EQ(bulk(0x02, {1}), Reply::Ack);

    // 0x04 halts on data outside a download, and stays halted across a reopening of the state
    // file, but not across a power cycle.
    EXPECT_EQ(bulk(0x04, {1}), Reply::Stall);
    reopen();
    EXPECT_TRUE(halted(0x04));
    bus->unplug();
    bus->plug();
    EXPECT_FALSE(halted(0x04));

    // A stalled control request leaves the control pipe usable.
    FaultRule any;
    any.kind = FaultKind::Stall;
    addFault(*bus, any);
    EXPECT_EQ(rd(2, 4, 0, 32).reply, Reply::Stall);
    EXPECT_EQ(infoText(4), "1.09");
}

TEST_F(EmuRunMode, SetInterfaceChecksTheInterface) {
    make();
    EXPECT_EQ(bus->setInterface(id(), 0, 0), Reply::Ack);
    EXPECT_EQ(bus->setInterface(id(), 1, 0), Reply::Stall);
    EXPECT_EQ(bus->setInterface(id(), 0, 1), Reply::Stall);
    EXPECT_EQ(bus->setInterface(12345, 0, 0), Reply::Gone);
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
