// The three device procedures against the scripted device: the exact requests, the DFU state
// handling of the block loop, and what the notifier sees.
#include <gtest/gtest.h>

#include "tests/update/probe_updater.h"
#include "tests/update/procedure_fixture.h"

namespace bvu {
namespace test {
namespace {

using Lines = std::vector<std::string>;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251 + 3);
    return v;
}

const Lines kReprogram = {"cmd 5,6,0,0", "cmd 2,1,0,0", "cmd 2,2,0,0", "cmd 2,3,0,0"};

// ---- Video firmware ------------------------------------------------------------------------

struct ChunkCase {
    size_t length;
    Lines downloads;
    int total;
};

class VideoDownloadTest : public ProcedureTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(VideoDownloadTest, ChunksRequestsAndProgress) {
    const ChunkCase& c = GetParam();
    const std::vector<uint8_t> image = pattern(c.length);
    ProbeUpdater updater;
    updater.setNotifier(notifier());
    updater.downloadVideoFirmware(image.data(), static_cast<int>(image.size()));

    EXPECT_EQ(requests(),
              Lines({"cmd 5,1,0,0", "cmd 5,7,0,0", "read 3,3 @0x0000 1", "cmd 5,5,0,0"}) +
                  c.downloads + kReprogram);
    EXPECT_EQ(device->downloaded(), image);
    // Downloading: one report before the first chunk and one after each.
    Lines downloading = {progressLine(1, c.total)};
    for (size_t i = 0; i < c.downloads.size(); ++i)
        downloading.push_back(progressLine(std::min<int>(i + 2, c.total), c.total));
    EXPECT_EQ(*log, Lines({"status Preparing for download.", progressLine(1, 15),
                           progressLine(2, 15), "status Downloading to device."}) +
                        downloading + Lines{"status Re-programming device."} +
                        progressRun(1, 10, 10) + Lines{"status "});
}

INSTANTIATE_TEST_SUITE_P(Lengths, VideoDownloadTest,
                         ::testing::Values(ChunkCase{65536, {"dnload 32768", "dnload 32768"}, 2},
                                           ChunkCase{32769, {"dnload 32768", "dnload 1"}, 2},
                                           ChunkCase{100, {"dnload 100"}, 1}));

TEST_F(ProcedureTest, ReadyPollsCountRoundAndANoByteReplyIsNotReady) {
    // 14 polls not ready (one of them without a byte), ready at the 17th.
    device->readyAnswers = {0, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    const std::vector<uint8_t> image = pattern(10);
    ProbeUpdater updater;
    updater.setNotifier(notifier());
    updater.downloadVideoFirmware(image.data(), 10);

    Lines reads(17, "read 3,3 @0x0000 1");
    EXPECT_EQ(requests(), Lines({"cmd 5,1,0,0", "cmd 5,7,0,0"}) + reads +
                              Lines({"cmd 5,5,0,0", "dnload 10"}) + kReprogram);
    Lines preparing =
        Lines{"status Preparing for download."} + progressRun(1, 15, 15) + progressRun(1, 3, 15);
    ASSERT_GE(log->size(), preparing.size());
    EXPECT_EQ(Lines(log->begin(), log->begin() + preparing.size()), preparing);
}

class FastClockProcedureTest : public ProcedureTest {
    double timeScale() const override { return 0.001; }  // 300 polls of a second: 300 ms
};

TEST_F(FastClockProcedureTest, ADeviceThatNeverGetsReadyEndsTheDownloadAfter300Polls) {
    device->readyDefault = 0;
    const std::vector<uint8_t> image = pattern(10);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadVideoFirmware(image.data(), 10); }),
              "USB communication error: The device did not get ready for the download.");
    Lines expected = Lines({"cmd 5,1,0,0", "cmd 5,7,0,0"}) + Lines(300, "read 3,3 @0x0000 1");
    EXPECT_EQ(requests(), expected);  // nothing downloaded
}

TEST_F(ProcedureTest, AFailedChunkEndsTheDownloadWithItsError) {
    device->failBulkDownloadWith = UDA_TIMEOUT_EXPIRED;
    const std::vector<uint8_t> image = pattern(40000);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadVideoFirmware(image.data(), 40000); }),
              "USB communication error: Could not send BVR_DNLOAD to device: Timeout expired");
    EXPECT_EQ(requests().back(), "dnload 32768");
}

// ---- Control firmware ----------------------------------------------------------------------

// setBootloaderFlag: select the configuration byte, read it, write it with bit 6 changed, read
// it back. The device starts with 0xFF.
Lines bootFlag(const char* written) {
    return {"dfu-dnload 3 05 02 00", "dfu-getstatus",
            "dfu-upload 1",          std::string("dfu-dnload 4 04 02 00 ") + written,
            "dfu-getstatus",         "dfu-dnload 3 05 02 00",
            "dfu-getstatus",         "dfu-upload 1"};
}
// Into the bootloader, which is told to start itself at reset before it erases the flash.
const Lines kIntoBootloader = Lines{"get-descriptor", "cmd 6,4,0,0", "dfu-getstate"} +
                              bootFlag("bf") +
                              Lines{"dfu-dnload 32 04 00 ff 00 00 00", "dfu-getstatus"};
const Lines kStart = bootFlag("ff") + Lines{"dfu-dnload 4 04 01 05 fc", "dfu-getstatus",
                                            "dfu-dnload 5 04 03 01 00 00", "dfu-dnload 0"};

TEST_F(ProcedureTest, ControlImageOfOneBlock) {
    const std::vector<uint8_t> image = pattern(3072);
    ProbeUpdater updater;
    updater.setNotifier(notifier());
    updater.downloadControlFirmware(image.data(), 3072);

    // After the block: the wait until the bootloader is done with it, then the read-back of
    // 0x0000-0x0BFF in three uploads, before the start-up bit goes back to the application.
    EXPECT_EQ(requests(),
              kIntoBootloader +
                  Lines({"dfu-getstate", "dfu-dnload 3120 01 00 00 00 0b ff", "dfu-getstate",
                         "dfu-dnload 6 03 00 00 00 0b ff", "dfu-getstatus", "dfu-upload 1024",
                         "dfu-upload 1024", "dfu-upload 1024"}) +
                  kStart);
    EXPECT_EQ(*log, Lines({"status Downloading to device.", progressLine(1, 2), progressLine(2, 2),
                           progressLine(2, 2), "status Verifying."}) +
                        progressRun(1, 3, 3) + Lines{"status Restarting device."} +
                        progressRun(1, 11, 11));
    EXPECT_EQ(device->programmed(), (std::map<uint32_t, std::vector<uint8_t>>{{0, image}}));
    EXPECT_FALSE(device->inBootloader());

    // The command's unused header bytes and its 16-byte tail are zero.
    for (const FakeTransfer& t : bus->transfers()) {
        if (t.data.size() != 3120)
            continue;
        EXPECT_EQ(std::vector<uint8_t>(t.data.begin() + 6, t.data.begin() + 32),
                  std::vector<uint8_t>(26, 0));
        EXPECT_EQ(std::vector<uint8_t>(t.data.end() - 16, t.data.end()),
                  std::vector<uint8_t>(16, 0));
    }
}

TEST_F(ProcedureTest, ControlImageWithAShortLastBlock) {
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    updater.setNotifier(notifier());
    updater.downloadControlFirmware(image.data(), 3073);

    EXPECT_EQ(requests(),
              kIntoBootloader +
                  Lines({"dfu-getstate", "dfu-dnload 3120 01 00 00 00 0b ff", "dfu-getstate",
                         "dfu-dnload 49 01 00 0c 00 0c 00", "dfu-getstate",
                         "dfu-dnload 6 03 00 00 00 0c 00", "dfu-getstatus", "dfu-upload 1024",
                         "dfu-upload 1024", "dfu-upload 1024", "dfu-upload 1"}) +
                  kStart);
    EXPECT_EQ(Lines(log->begin(), log->begin() + 10),
              Lines({"status Downloading to device.", progressLine(1, 3), progressLine(2, 3),
                     progressLine(3, 3), progressLine(3, 3), "status Verifying."}) +
                  progressRun(1, 4, 4));
    auto blocks = device->programmed();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0], std::vector<uint8_t>(image.begin(), image.begin() + 3072));
    EXPECT_EQ(blocks[3072], std::vector<uint8_t>(1, image[3072]));
}

TEST_F(ProcedureTest, WithoutVerificationTheFlagGoesBackRightAfterTheLastBlock) {
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    updater.setVerification(false);
    updater.setNotifier(notifier());
    updater.downloadControlFirmware(image.data(), 3073);
    EXPECT_EQ(requests(), kIntoBootloader +
                              Lines({"dfu-getstate", "dfu-dnload 3120 01 00 00 00 0b ff",
                                     "dfu-getstate", "dfu-dnload 49 01 00 0c 00 0c 00"}) +
                              kStart);
    EXPECT_EQ(std::count(log->begin(), log->end(), "status Verifying."), 0);
}

// A flash that does not hold what was written, or a read-back that falls short: the run ends
// there, with the start-up bit still on the bootloader and the security byte unwritten (it
// would forbid the next run's read-back), so the device comes up in its bootloader again.
struct ReadBackCase {
    const char* name;
    std::map<uint16_t, uint8_t> changes;  // flash bytes that read back so
    uint32_t uploadLimit;
    std::string error;
    Lines lastRequests;
};

// The case's name in test lists, instead of its bytes.
void PrintTo(const ReadBackCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadBackTest : public ProcedureTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(ReadBackTest, EndsTheRunWithTheDeviceLeftToItsBootloader) {
    const ReadBackCase& c = GetParam();
    device->flashChanges = c.changes;
    device->uploadLimit = c.uploadLimit;
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 3073); }), c.error);
    Lines all = requests();
    ASSERT_GE(all.size(), c.lastRequests.size());
    EXPECT_EQ(Lines(all.end() - static_cast<long>(c.lastRequests.size()), all.end()),
              c.lastRequests);
    EXPECT_EQ(device->configuration, 0xBF);
    EXPECT_TRUE(device->inBootloader());
}

// pattern(3073) holds 0x0F at 0x0C00 (its last byte), 0x2A and 0x31 at 0x0405 and 0x0406.
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBackTest,
    ::testing::Values(
        ReadBackCase{"LastByte",
                     {{0x0C00, 0x02}},
                     1024,
                     "Verification failed at address 0x0C00.",
                     {"dfu-upload 1024", "dfu-upload 1024", "dfu-upload 1024", "dfu-upload 1"}},
        ReadBackCase{"FirstOfTwoInThePiece",
                     {{0x0405, 0x00}, {0x0406, 0x00}},
                     1024,
                     "Verification failed at address 0x0405.",
                     {"dfu-getstatus", "dfu-upload 1024", "dfu-upload 1024"}},
        ReadBackCase{"ShortUpload",
                     {},
                     512,
                     "USB communication error: Short read-back at address 0x0000 (512 of 1024 "
                     "bytes)",
                     {"dfu-dnload 6 03 00 00 00 0c 00", "dfu-getstatus", "dfu-upload 1024"}}),
    [](const ::testing::TestParamInfo<ReadBackCase>& info) { return info.param.name; });

// Without the start-up bit on the bootloader, an interruption after the erase would leave a
// device that starts an empty flash: nothing is erased then.
TEST_F(ProcedureTest, ABootloaderThatKeepsItsStartupSettingIsNotErased) {
    device->keepConfiguration = true;
    const std::vector<uint8_t> image = pattern(100);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 100); }),
              "USB communication error: The bootloader did not take the start-up setting for "
              "itself.");
    EXPECT_EQ(requests(),
              Lines({"get-descriptor", "cmd 6,4,0,0", "dfu-getstate"}) + bootFlag("bf"));
}

TEST_F(ProcedureTest, AnErrorStateLeftByAnEarlierRunIsClearedFirst) {
    device->states = {10};
    const std::vector<uint8_t> image = pattern(100);
    ProbeUpdater updater;
    updater.downloadControlFirmware(image.data(), 100);
    Lines all = requests();
    EXPECT_EQ(Lines(all.begin(), all.begin() + 5),
              Lines({"get-descriptor", "cmd 6,4,0,0", "dfu-getstate", "dfu-clrstatus",
                     "dfu-dnload 3 05 02 00"}));
}

TEST_F(ProcedureTest, TheLargestAddressableControlImageEndsAtTheTopOfTheAddressSpace) {
    const std::vector<uint8_t> image = pattern(65536);
    ProbeUpdater updater;
    updater.downloadControlFirmware(image.data(), 65536);
    auto blocks = device->programmed();
    ASSERT_EQ(blocks.size(), 22u);
    EXPECT_EQ(blocks.rbegin()->first, 0xFC00u);
    EXPECT_EQ(blocks.rbegin()->second.size(), 1024u);  // 0xFC00 ... 0xFFFF
}

TEST_F(ProcedureTest, ImagesThatCannotBeWrittenAreRefusedBeforeAnyRequest) {
    const std::vector<uint8_t> image = pattern(65537);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 65537); }),
              "The control firmware image is too long: 65537 bytes, of which the bootloader can "
              "address only 65536.");
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 0); }),
              "The firmware image is empty.");
    EXPECT_EQ(errorOf([&] { updater.downloadVideoFirmware(image.data(), 0); }),
              "The firmware image is empty.");
    EXPECT_EQ(errorOf([&] { updater.downloadVideoFirmware(nullptr, 5); }),
              "The firmware image is empty.");
    EXPECT_EQ(bus->transferCount(), 0u);
}

TEST_F(ProcedureTest, DnloadSyncIsFollowedByAStatusReadAndItsPollTimeout) {
    // After the first block: sync; the status says busy for 3 s; then idle for the next block.
    device->states = {2, 2, 3, 5};
    device->loopStatuses = {{0, 3000, 4}};
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    updater.downloadControlFirmware(image.data(), 3073);

    Lines all = requests();
    auto block = std::find(all.begin(), all.end(), "dfu-dnload 3120 01 00 00 00 0b ff");
    ASSERT_NE(block, all.end());
    EXPECT_EQ(Lines(block + 1, block + 5), Lines({"dfu-getstate", "dfu-getstatus", "dfu-getstate",
                                                  "dfu-dnload 49 01 00 0c 00 0c 00"}));
    // The wait lies between the status read and the next state request.
    auto times = device->requestTimes();
    size_t status = static_cast<size_t>(block - all.begin()) + 2;
    ASSERT_GT(times.size(), status + 1);
    EXPECT_GE(clock::nominalMsBetween(times[status], times[status + 1]), 3000.0 * 0.95);
}

TEST_F(ProcedureTest, BusyBeforeAnyStatusWaitsNothingAndAsksAgain) {
    device->states = {2, 4, 2};
    const std::vector<uint8_t> image = pattern(100);
    ProbeUpdater updater;
    updater.downloadControlFirmware(image.data(), 100);
    Lines all = requests();
    Lines loop(all.begin() + kIntoBootloader.size(), all.begin() + kIntoBootloader.size() + 3);
    EXPECT_EQ(loop, Lines({"dfu-getstate", "dfu-getstate", "dfu-dnload 148 01 00 00 00 00 63"}));
}

TEST_F(ProcedureTest, BootloaderThatStaysBusyEndsTheDownloadAfterAMinute) {
    // After the first block the device goes to sync, then reports busy (1 s polls) for ever.
    device->states = {2, 2, 3};
    for (int i = 0; i < 200; ++i) device->states.push_back(4);
    device->loopStatuses = {{0, 1000, 4}};
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 3073); }),
              "USB communication error: Device not idle after 60 seconds (DFU_dfuDnloadBusy)");
    EXPECT_EQ(device->programmed().size(), 1u);  // the second block was never sent
    // About one state request a second of the minute: fewer on a loaded machine, where each
    // poll costs more than its second, but never a spin through the device's answers.
    const size_t asked = 203 - device->states.size();
    EXPECT_GE(asked, 20u);
    EXPECT_LE(asked, 70u);
}

TEST_F(ProcedureTest, DfuErrorClearsTheStatusAndNamesTheLastStatusRead) {
    device->states = {2, 2, 3};
    device->loopStatuses = {{3, 0, 10}};
    const std::vector<uint8_t> image = pattern(3073);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 3073); }),
              "USB communication error: Device in DFU_error state (DFU_errWrite)");
    Lines all = requests();
    EXPECT_EQ(Lines(all.end() - 4, all.end()),
              Lines({"dfu-dnload 3120 01 00 00 00 0b ff", "dfu-getstate", "dfu-getstatus",
                     "dfu-clrstatus"}));
}

TEST_F(ProcedureTest, DfuErrorBeforeAnyStatusNamesTheInitialStatus) {
    device->states = {2, 10};
    const std::vector<uint8_t> image = pattern(100);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 100); }),
              "USB communication error: Device in DFU_error state (DFU_OK)");
    Lines all = requests();
    EXPECT_EQ(Lines(all.end() - 2, all.end()), Lines({"dfu-getstate", "dfu-clrstatus"}));
}

struct UnexpectedCase {
    uint8_t state;
    const char* name;
};

class UnexpectedStateTest : public ProcedureTest,
                            public ::testing::WithParamInterface<UnexpectedCase> {};

TEST_P(UnexpectedStateTest, EndsTheDownloadAndSendsNothingMore) {
    device->states = {2, GetParam().state};
    const std::vector<uint8_t> image = pattern(100);
    ProbeUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.downloadControlFirmware(image.data(), 100); }),
              std::string("USB communication error: Unexpected state '") + GetParam().name +
                  "' when downloading firmware.");
    EXPECT_EQ(requests().back(), "dfu-getstate");
    EXPECT_TRUE(device->programmed().empty());
}

INSTANTIATE_TEST_SUITE_P(States, UnexpectedStateTest,
                         ::testing::Values(UnexpectedCase{0, "DFU_appIdle"},
                                           UnexpectedCase{1, "DFU_appDetach"},
                                           UnexpectedCase{6, "DFU_dfuManifestSync"},
                                           UnexpectedCase{7, "DFU_dfuManifest"},
                                           UnexpectedCase{8, "DFU_dfuManifestWaitReset"},
                                           UnexpectedCase{9, "DFU_dfuUploadIdle"},
                                           UnexpectedCase{11, "Unknown DFU State"},
                                           UnexpectedCase{255, "Unknown DFU State"}));

// ---- Default values ------------------------------------------------------------------------

TEST_F(ProcedureTest, ProgramDefaultsWritesTheByteAndRestartsTheDevice) {
    device->memory[0x3E] = 0x5A;
    ProbeUpdater updater;
    updater.setNotifier(notifier());
    const clock::TimePoint start = clock::now();
    updater.programDefaults();
    const double nominal = clock::nominalMsBetween(start, clock::now());

    EXPECT_EQ(requests(), Lines({"write 5,1 @0x003E 00", "cmd 14,0,0,0", "cmd 6,9,0,0"}));
    EXPECT_EQ(device->memoryAt(0x3E), 0x00);
    EXPECT_EQ(*log, Lines{"status Programming default values."} + progressRun(1, 11, 11) +
                        Lines{"status Restarting device."} + progressRun(1, 11, 11));
    EXPECT_GE(nominal, (10 * 300 + 10 * 700) * 0.95);
}

}  // namespace
}  // namespace test
}  // namespace bvu
