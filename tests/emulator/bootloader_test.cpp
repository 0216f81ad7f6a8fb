// The bootloader: DFU states, command blocks, configuration bytes, the security byte, the
// start-up bit, starting the application and what happens when there is none.
#include "synthetic_images/firmware_images.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

std::vector<uint8_t> programBlock(uint16_t start, const std::vector<uint8_t>& data) {
    const uint16_t end = static_cast<uint16_t>(start + data.size() - 1);
    std::vector<uint8_t> b(32 + data.size() + 16, 0);
    b[0] = 0x01;
    b[2] = static_cast<uint8_t>(start >> 8);
    b[3] = static_cast<uint8_t>(start);
    b[4] = static_cast<uint8_t>(end >> 8);
    b[5] = static_cast<uint8_t>(end);
    for (size_t i = 0; i < data.size(); ++i) b[32 + i] = data[i];
    return b;
}

std::vector<uint8_t> range(uint8_t group, uint8_t sub, uint16_t start, uint16_t end) {
    return {group,
            sub,
            static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start),
            static_cast<uint8_t>(end >> 8),
            static_cast<uint8_t>(end)};
}

std::vector<uint8_t> eraseBlock() {
    std::vector<uint8_t> b(32, 0);
    b[0] = 0x04;
    b[2] = 0xFF;
    return b;
}

class EmuBootloader : public EmulatorTest {
  public:
    void SetUp() override {
        EmulatorTest::SetUp();
        CreateOptions o = options();
        o.bootloader = true;
        make(o);
        ASSERT_EQ(guise(), Guise::Bootloader);
    }
    virtual CreateOptions options() {
        CreateOptions o;
        o.timing.reenumerationMs = 20000;  // long enough to see it gone on a slow build
        return o;
    }

    // GETSTATUS; status, state.
    std::pair<int, int> status() {
        Answer a = getStatus();
        if (a.reply != Reply::Ack || a.data.size() != 6)
            return {-1, -1};
        return {a.data[0], a.data[4]};
    }
    // A command block followed by GETSTATUS; the state it ends in (dfuERROR: -status).
    int run(const std::vector<uint8_t>& block) {
        if (dnload(block) != Reply::Ack)
            return -100;
        auto s = status();
        return s.second == dfu::kError ? -s.first : s.second;
    }
    uint8_t config(uint8_t group, uint8_t byte) {
        EXPECT_EQ(run({0x05, group, byte}), dfu::kIdle);
        Answer a = upload(1);
        EXPECT_EQ(a.data.size(), 1u);
        return a.data.empty() ? 0 : a.data[0];
    }
    void writeImage(const std::vector<uint8_t>& image) {
        ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
        for (size_t at = 0; at < image.size(); at += 3072) {
            std::vector<uint8_t> part(
                image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), at + 3072)));
            ASSERT_EQ(run(programBlock(static_cast<uint16_t>(at), part)), dfu::kDnloadIdle);
        }
    }
    Reply start() {
        EXPECT_EQ(dnload({0x04, 0x03, 0x01, 0x00, 0x00}), Reply::Ack);
        return dnload({});
    }
};

TEST_F(EmuBootloader, ShowsItselfAsADfuDevice) {
    std::vector<Presence> p = bus->present();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].productId, 0x2FFD);
    Answer cfg = in(0x80, 6, 0x0200, 0, 255);
    ASSERT_GE(cfg.data.size(), 27u);
    EXPECT_EQ(cfg.data[9 + 2], 0);      // interface number
    EXPECT_EQ(cfg.data[9 + 5], 0xFE);   // application specific class
    EXPECT_EQ(cfg.data[9 + 7], 0x02);   // DFU mode
    EXPECT_EQ(cfg.data[18 + 1], 0x21);  // DFU functional descriptor
    EXPECT_EQ(getState(), dfu::kIdle);
    EXPECT_EQ(bulk(0x04, {1}), Reply::Stall);
    EXPECT_EQ(cmd(5, 1), Reply::Stall);  // run-mode requests mean nothing here
}

TEST_F(EmuBootloader, WritesAControlImageAndStartsIt) {
    const std::vector<uint8_t> image = firmware::makeControlImage("1.12");
    writeImage(image);
    // Read back in pieces of at most 1,024 bytes, through the uploading state.
    ASSERT_EQ(run(range(0x03, 0x00, 0, 0x0BFF)), dfu::kIdle);
    std::vector<uint8_t> back;
    for (int i = 0; i < 3; ++i) {
        Answer a = upload(2048);
        ASSERT_EQ(a.data.size(), 1024u);
        back.insert(back.end(), a.data.begin(), a.data.end());
        EXPECT_EQ(getState(), i < 2 ? dfu::kUploadIdle : dfu::kIdle);
    }
    EXPECT_EQ(back, std::vector<uint8_t>(image.begin(), image.begin() + 3072));
    // Blank above the image.
    EXPECT_EQ(run(range(0x03, 0x01, static_cast<uint16_t>(image.size()), 0x7FFF)), dfu::kIdle);

    const uint32_t before = id();
    RecordingListener listener;
    bus->addListener(&listener);
    const bool started = start() == Reply::Ack && waitFor(Guise::Run) && listener.waitForEvents(2);
    bus->removeListener(&listener);  // before any assertion can leave the test
    ASSERT_TRUE(started);
    EXPECT_NE(id(), before);
    EXPECT_EQ(listener.events(),
              (std::vector<std::string>{"left:" + std::to_string(before),
                                        "arrived:3014:" + std::to_string(id())}));
    EXPECT_EQ(infoText(4), "1.12");
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.controlVersion, "1.12");
    std::vector<uint8_t> flash(kControlFlashSize, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    EXPECT_EQ(s.controlFlash, flash);
}

TEST_F(EmuBootloader, GetStatusIsHeldBackUntilTheEraseHasFinished) {
    // Timed from before the erase block: on a loaded machine the requests in between may take
    // a good part of the erase time, but the answer can never come before the erase has ended.
    const auto t0 = clock::now();
    ASSERT_EQ(dnload(eraseBlock()), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kDnloadSync);
    auto s = status();
    const double waited = clock::nominalMsBetween(t0, clock::now());
    EXPECT_EQ(s, std::make_pair(0, int(dfu::kIdle)));
    EXPECT_GE(waited, 990.0);     // the erase takes 1,000 ms
    EXPECT_LT(waited, 250000.0);  // held back for the erase, not for ever
    EXPECT_EQ(getState(), dfu::kIdle);
    // A program block ends in dfuDNLOAD-IDLE.
    EXPECT_EQ(run(programBlock(0, std::vector<uint8_t>(100, 0x12))), dfu::kDnloadIdle);
    EXPECT_EQ(inspect(*bus).controlVersion, "");  // erased and partly written: no image
}

TEST_F(EmuBootloader, TakesTheNextBlockWithoutAGetStatusInBetween) {
    ASSERT_EQ(dnload(eraseBlock()), Reply::Ack);
    ASSERT_EQ(dnload(programBlock(0, {1, 2, 3, 4})), Reply::Ack);  // waits for the erase
    ASSERT_EQ(dnload(programBlock(4, {5, 6})), Reply::Ack);
    EXPECT_EQ(status(), std::make_pair(0, int(dfu::kDnloadIdle)));
    ASSERT_EQ(dnload(range(0x03, 0x00, 0, 5)), Reply::Ack);
    EXPECT_EQ(hex(upload(6).data), "010203040506");
}

TEST_F(EmuBootloader, AFailedCommandTurnsTheNextOneIntoAnError) {
    ASSERT_EQ(dnload(programBlock(0x7FFF, {1, 2})), Reply::Ack);  // past the end of flash
    EXPECT_EQ(dnload({0x05, 0x02, 0x00}), Reply::Stall);
    EXPECT_EQ(status(), std::make_pair(int(dfu::kErrAddress), int(dfu::kError)));
    EXPECT_EQ(dnload({0x05, 0x02, 0x00}), Reply::Stall);  // stays in dfuERROR
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(status(), std::make_pair(0, int(dfu::kIdle)));
}

TEST_F(EmuBootloader, ReportsEachKindOfBadCommand) {
    EXPECT_EQ(run({0x07, 0x00}), -dfu::kErrStalledPkt);  // unknown group
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(run({0x04, 0x09, 0x00}), -dfu::kErrStalledPkt);
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(run(range(0x03, 0x00, 0x10, 0x0F)), -dfu::kErrAddress);  // end before start
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run(range(0x03, 0x00, 0, 0x8000)), -dfu::kErrAddress);  // past the flash
    ASSERT_EQ(clrStatus(), Reply::Ack);
    std::vector<uint8_t> shortBlock = programBlock(0, {1, 2, 3, 4});
    shortBlock.resize(shortBlock.size() - 16);  // no suffix: length does not match the range
    EXPECT_EQ(run(shortBlock), -dfu::kErrFile);
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run(programBlock(0, std::vector<uint8_t>(3073, 0))), -dfu::kErrFile);
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run({0x05, 0x01, 0x77}), -dfu::kErrAddress);  // no such configuration byte
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run({0x04, 0x01, 0x30, 0x00}), -dfu::kErrAddress);  // ids are read-only
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kIdle);
}

TEST_F(EmuBootloader, RequestsThatMakeNoSenseStall) {
    EXPECT_EQ(upload(1).reply, Reply::Stall);  // nothing selected
    EXPECT_EQ(getState(), dfu::kError);
    EXPECT_EQ(status(), std::make_pair(int(dfu::kErrStalledPkt), int(dfu::kError)));
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(dnload({}), Reply::Stall);  // end of download with nothing downloaded
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(out(0x21, 0, 1000, 4), Reply::Stall);  // DETACH
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(in(0xC1, 1, 0, 0, 1).reply, Reply::Stall);  // vendor request
    EXPECT_EQ(getState(), dfu::kIdle);                    // ... which is no DFU error
}

TEST_F(EmuBootloader, ManifestsAfterTheLastBlock) {
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    ASSERT_EQ(run(programBlock(0, {0xAA})), dfu::kDnloadIdle);
    ASSERT_EQ(dnload({}), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kManifestSync);
    EXPECT_EQ(status(), std::make_pair(0, int(dfu::kIdle)));
    EXPECT_EQ(guise(), Guise::Bootloader);  // no start command: it stays
}

TEST_F(EmuBootloader, AnswersItsConfigurationBytes) {
    EXPECT_EQ(config(0x00, 0x00), 0x10);
    EXPECT_EQ(config(0x01, 0x30), 0x1E);
    EXPECT_EQ(config(0x01, 0x05), 0xFF);
    EXPECT_EQ(config(0x02, 0x00), 0xBF);  // created in the bootloader: start-up bit clear
    ASSERT_EQ(run({0x04, 0x02, 0x00, 0xFF}), dfu::kIdle);
    EXPECT_EQ(config(0x02, 0x00), 0xFF);
    EXPECT_TRUE(inspect(*bus).startupBit);
    // The third-party interface number is taken as well.
    ASSERT_EQ(out(0x21, 1, 0, 0, {0x05, 0x01, 0x31}), Reply::Ack);
    EXPECT_EQ(hex(in(0xA1, 2, 0, 0, 1).data), "95");
}

TEST_F(EmuBootloader, SecurityByteRefusesProgrammingThenReadingUntilErased) {
    writeImage(firmware::makeControlImage("1.12"));
    ASSERT_EQ(run({0x04, 0x01, 0x05, 0xFE}), dfu::kIdle);
    EXPECT_EQ(run(programBlock(0x7000, {1})), -dfu::kErrWrite);
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run(range(0x03, 0x00, 0, 15)), dfu::kIdle);  // reading still allowed
    EXPECT_EQ(upload(16).data.size(), 16u);
    ASSERT_EQ(run({0x04, 0x01, 0x05, 0xFC}), dfu::kIdle);
    EXPECT_EQ(run(range(0x03, 0x00, 0, 15)), -dfu::kErrWrite);
    ASSERT_EQ(clrStatus(), Reply::Ack);
    ASSERT_EQ(run({0x04, 0x01, 0x05, 0xFF}), dfu::kIdle);  // cannot be lifted by writing
    EXPECT_EQ(config(0x01, 0x05), 0xFC);
    EXPECT_EQ(inspect(*bus).securityByte, 0xFC);
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    EXPECT_EQ(inspect(*bus).securityByte, 0xFF);
    EXPECT_EQ(run(programBlock(0, {1})), dfu::kDnloadIdle);
}

TEST_F(EmuBootloader, BlankCheckTellsTheFirstAddressInUse) {
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    ASSERT_EQ(run(programBlock(0x1234, {0x00})), dfu::kDnloadIdle);
    EXPECT_EQ(run(range(0x03, 0x01, 0x1000, 0x2000)), -dfu::kErrCheckErased);
    EXPECT_EQ(hex(upload(2).data), "1234");
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(run(range(0x03, 0x01, 0x1235, 0x7FFF)), dfu::kIdle);
}

TEST_F(EmuBootloader, ProgrammingWithoutEraseKeepsOnlyTheCommonBits) {
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    ASSERT_EQ(run(programBlock(0x100, {0xF0})), dfu::kDnloadIdle);
    ASSERT_EQ(run(programBlock(0x100, {0x3C})), dfu::kDnloadIdle);
    ASSERT_EQ(run(range(0x03, 0x00, 0x100, 0x100)), dfu::kIdle);
    EXPECT_EQ(hex(upload(1).data), "30");
}

TEST_F(EmuBootloader, ResetFollowsTheStartupBit) {
    ASSERT_EQ(dnload({0x04, 0x03, 0x00}), Reply::Ack);
    const uint32_t before = id();
    ASSERT_EQ(dnload({}), Reply::Ack);
    ASSERT_TRUE(waitFor(Guise::Bootloader));  // start-up bit clear: the bootloader again
    EXPECT_NE(id(), before);
    ASSERT_EQ(run({0x04, 0x02, 0x00, 0xFF}), dfu::kIdle);
    ASSERT_EQ(dnload({0x04, 0x03, 0x00}), Reply::Ack);
    ASSERT_EQ(dnload({}), Reply::Ack);
    ASSERT_TRUE(waitFor(Guise::Run));
    EXPECT_EQ(infoText(4), "1.09");
}

TEST_F(EmuBootloader, PowerUpFollowsTheStartupBit) {
    bus->unplug();
    EXPECT_EQ(guise(), Guise::Absent);
    EXPECT_FALSE(inspect(*bus).plugged);
    bus->plug();
    EXPECT_EQ(guise(), Guise::Bootloader);
    ASSERT_EQ(run({0x04, 0x02, 0x00, 0xFF}), dfu::kIdle);
    bus->unplug();
    bus->plug();
    EXPECT_EQ(guise(), Guise::Run);
}

TEST_F(EmuBootloader, StartingAMissingApplicationVanishesAndBricksAtPowerUp) {
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    const auto part = firmware::makeControlImage("1.12");
    ASSERT_EQ(run(programBlock(0, std::vector<uint8_t>(part.begin(), part.begin() + 3072))),
              dfu::kDnloadIdle);
    ASSERT_EQ(run({0x04, 0x02, 0x00, 0xFF}), dfu::kIdle);  // start-up bit: application
    ASSERT_EQ(start(), Reply::Ack);
    // Gone within the request, and nothing on its way back.
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.guise, Guise::Absent);
    EXPECT_EQ(s.arriving, Guise::Absent);
    EXPECT_TRUE(s.vanished);
    EXPECT_TRUE(bus->present().empty());
    bus->unplug();
    bus->plug();
    s = inspect(*bus);
    EXPECT_EQ(s.guise, Guise::Bricked);
    EXPECT_TRUE(bus->present().empty());
    bus->unplug();
    bus->plug();
    EXPECT_EQ(inspect(*bus).guise, Guise::Bricked);  // for good
    reopen();
    EXPECT_EQ(inspect(*bus).guise, Guise::Bricked);
}

TEST_F(EmuBootloader, AVanishedDeviceWithTheBootloaderBitRecoversAtPowerUp) {
    ASSERT_EQ(run(eraseBlock()), dfu::kIdle);
    ASSERT_EQ(start(), Reply::Ack);  // start-up bit still clear
    EXPECT_TRUE(inspect(*bus).vanished);
    bus->unplug();
    bus->plug();
    EXPECT_EQ(guise(), Guise::Bootloader);
    EXPECT_FALSE(inspect(*bus).vanished);
}

class EmuBusyBootloader : public EmuBootloader {
  public:
    // The clock at full scale: the erase then takes a real second, so that the answers that
    // must come while it runs do, however loaded the machine.
    void SetUp() override {
        EmuBootloader::SetUp();
        clock::setTimeScaleForTests(1.0);
    }
    CreateOptions options() override {
        CreateOptions o = EmuBootloader::options();
        o.variant.busyStatus = true;
        return o;
    }
};

TEST_F(EmuBusyBootloader, AnswersBusyWithAPollTimeoutInsteadOfHoldingBack) {
    ASSERT_EQ(dnload(eraseBlock()), Reply::Ack);
    const auto t0 = clock::now();
    Answer a = getStatus();
    EXPECT_LT(clock::nominalMsBetween(t0, clock::now()), 500.0);
    ASSERT_EQ(a.data.size(), 6u);
    EXPECT_EQ(a.data[4], dfu::kDnBusy);
    const uint32_t poll = a.data[1] | a.data[2] << 8 | a.data[3] << 16;
    EXPECT_GT(poll, 500u);
    EXPECT_LE(poll, 1000u);
    EXPECT_EQ(getState(), dfu::kDnBusy);
    clock::sleepMs(poll);
    EXPECT_EQ(getState(), dfu::kIdle);  // moved on by itself once the time was up
    // A block sent while the bootloader is busy is refused.
    ASSERT_EQ(dnload(eraseBlock()), Reply::Ack);
    EXPECT_EQ(dnload(programBlock(0, {1})), Reply::Stall);
    EXPECT_EQ(getState(), dfu::kError);
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
