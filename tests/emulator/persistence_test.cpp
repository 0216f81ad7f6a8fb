// The state file: what survives closing the bus, another process, and a killed writer.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "emulator/state_file.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

using EmuPersistence = EmulatorTest;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(EmuPersistence, OpensOfOnePathShareOneBus) {
    make();
    std::string error;
    std::shared_ptr<EmulatedBus> again = openBus(path, &error);
    EXPECT_EQ(again.get(), bus.get());
    std::shared_ptr<EmulatedBus> viaOtherSpelling = openBus(dir.path() + "/./device.json", &error);
    EXPECT_EQ(viaOtherSpelling.get(), bus.get());
}

TEST_F(EmuPersistence, WhatTheDeviceKeepsSurvivesClosingTheBus) {
    make();
    ASSERT_EQ(wr(5, 1, 0x3D, {'P'}), Reply::Ack);
    ASSERT_EQ(wr(2, 3, 0, {'2', '.', '0', '7', 0}), Reply::Ack);
    reopen();
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.videoStandard, "PAL");
    EXPECT_EQ(s.packageVersion, "2.07");
    EXPECT_EQ(s.requests, 2u);
    EXPECT_EQ(trace(*bus).size(), 2u);
    EXPECT_EQ(s.guise, Guise::Run);
}

TEST_F(EmuPersistence, SavedAtEveryReEnumeration) {
    CreateOptions o;
    o.timing.reenumerationMs = 30000;
    make(o);
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    // Saved on leaving: another reader sees the device on its way into the bootloader...
    std::string error;
    BusFile file;
    ASSERT_TRUE(readStateFile(path, &file, &error)) << error;
    EXPECT_EQ(file.units[0].onBus, Guise::Absent);
    EXPECT_EQ(file.units[0].arriving, Guise::Bootloader);
    // ... and, once it has arrived, in the bootloader, while the bus is still open.
    ASSERT_TRUE(waitFor(Guise::Bootloader));
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(readStateFile(path, &file, &error)) << error;
        if (file.units[0].onBus == Guise::Bootloader)
            break;
        clock::sleepMs(100);
    }
    EXPECT_EQ(file.units[0].onBus, Guise::Bootloader);
}

TEST_F(EmuPersistence, ADeviceSavedInTransitHasArrivedWhenLoaded) {
    CreateOptions o;
    o.timing.reenumerationMs = 60000;
    make(o);
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    reopen();
    EXPECT_EQ(guise(), Guise::Bootloader);
    DeviceSnapshot s;
    std::string error;
    ASSERT_TRUE(inspect(path, &s, &error)) << error;
    EXPECT_EQ(s.guise, Guise::Bootloader);
}

TEST_F(EmuPersistence, ReadingThroughAPathDoesNotWrite) {
    make();
    bus.reset();
    const auto before = std::filesystem::last_write_time(path);
    const std::string text = slurp(path);
    DeviceSnapshot s;
    std::vector<TraceEntry> t;
    std::string error;
    ASSERT_TRUE(inspect(path, &s, &error)) << error;
    ASSERT_TRUE(trace(path, &t, &error)) << error;
    EXPECT_EQ(slurp(path), text);
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

TEST_F(EmuPersistence, RefusesMissingAndDamagedFiles) {
    std::string error;
    EXPECT_FALSE(openBus(dir.file("none.json"), &error));
    EXPECT_NE(error.find("none.json"), std::string::npos);
    { std::ofstream(dir.file("bad.json")) << "{\"format\": \"bvu-emulator-state\", "; }
    EXPECT_FALSE(openBus(dir.file("bad.json"), &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    { std::ofstream(dir.file("other.json")) << "{\"hello\": 1}"; }
    EXPECT_FALSE(openBus(dir.file("other.json"), &error));
}

TEST_F(EmuPersistence, AFlashHoldingASyntheticImageIsKeptByName) {
    make();
    bus.reset();
    std::string text = slurp(path);
    EXPECT_LT(text.size(), 100000u);
    EXPECT_NE(text.find("\"synthetic\": \"1.01\""), std::string::npos);
    reopen();
    DeviceSnapshot s = inspect(*bus);
    EXPECT_EQ(s.videoFlash, syntheticVideoImage("1.01"));
    std::vector<uint8_t> control(kControlFlashSize, 0xFF);
    std::copy(syntheticControlImage("1.09").begin(), syntheticControlImage("1.09").end(),
              control.begin());
    EXPECT_EQ(s.controlFlash, control);
}

TEST_F(EmuPersistence, WritesLeaveNoTemporaryFilesBehind) {
    make();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(cmd(6, 9), Reply::Ack);
        ASSERT_TRUE(waitFor(Guise::Run));
    }
    std::string error;
    ASSERT_TRUE(bus->save(&error)) << error;
    // Closing the bus ends the device's timer, whose save of the last arrival may still be
    // writing its temporary file, and saves once more.
    bus.reset();
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(EmuPersistence, EncodingRoundTripsTheWholeDevice) {
    BusFile file;
    DeviceState d;
    d.serialText = "SN0001";
    d.pcbRevision = "X";
    d.controlFlash.assign(kControlFlashSize, 0xA5);
    d.videoFlash = {1, 2, 3, 4, 5};
    d.memory[7] = 0x77;
    d.config[0x0105] = 0xFC;
    d.video = VideoStage::Collected;
    d.collected = {9, 8, 7};
    d.dfu.state = dfu::kUploadIdle;
    d.dfu.upload = UploadKind::Flash;
    d.dfu.uploadNext = 0x100;
    d.dfu.uploadLast = 0x1FF;
    file.units.push_back(d);
    FaultRule f;
    f.kind = FaultKind::Short;
    f.after = 3;
    f.bytes = 2;
    f.guise = Guise::Bootloader;
    ASSERT_TRUE(parseMatch("0xA1:3", &f, nullptr));
    file.faults.push_back(f);
    TraceEntry e;
    e.sequence = 5;
    e.data = {0xDE, 0xAD};
    e.dataLength = 2;
    e.reply = Reply::Stall;
    e.fault = "stall";
    file.trace.push_back(e);
    file.requests = 5;

    const auto now = clock::now();
    BusFile back;
    std::string error;
    ASSERT_TRUE(decodeStateFile(encodeStateFile(file, now), now, &back, &error)) << error;
    ASSERT_EQ(back.units.size(), 1u);
    const DeviceState& b = back.units[0];
    EXPECT_EQ(b.controlFlash, d.controlFlash);
    EXPECT_EQ(b.videoFlash, d.videoFlash);
    EXPECT_EQ(b.memory, d.memory);
    EXPECT_EQ(b.config, d.config);
    EXPECT_EQ(b.video, VideoStage::Collected);
    EXPECT_EQ(b.collected, d.collected);
    EXPECT_EQ(b.dfu.state, dfu::kUploadIdle);
    EXPECT_EQ(b.dfu.upload, UploadKind::Flash);
    EXPECT_EQ(b.dfu.uploadLast, 0x1FF);
    ASSERT_EQ(back.faults.size(), 1u);
    EXPECT_EQ(back.faults[0].kind, FaultKind::Short);
    EXPECT_EQ(back.faults[0].after, 3u);
    EXPECT_EQ(back.faults[0].guise, Guise::Bootloader);
    EXPECT_EQ(matchText(back.faults[0]), "0xA1:3");
    ASSERT_EQ(back.trace.size(), 1u);
    EXPECT_EQ(back.trace[0].data, e.data);
    EXPECT_EQ(back.trace[0].fault, "stall");
    EXPECT_EQ(back.requests, 5u);
}

TEST(EmuCodecs, Base64AndHex) {
    for (size_t n = 0; n < 8; ++n) {
        std::vector<uint8_t> v;
        for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(0xF0 + i * 37));
        std::vector<uint8_t> back;
        ASSERT_TRUE(fromBase64(toBase64(v), &back));
        EXPECT_EQ(back, v);
        ASSERT_TRUE(fromHex(toHex(v.data(), v.size()), &back));
        EXPECT_EQ(back, v);
    }
    EXPECT_EQ(toBase64({'M', 'a', 'n'}), "TWFu");
    EXPECT_EQ(toBase64({'M'}), "TQ==");
    std::vector<uint8_t> out;
    EXPECT_FALSE(fromBase64("TQ=x", &out));
    EXPECT_FALSE(fromBase64("T===", &out));
    EXPECT_FALSE(fromHex("abc", &out));
    EXPECT_FALSE(fromHex("zz", &out));
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
