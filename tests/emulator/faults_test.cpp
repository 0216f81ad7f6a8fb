// Fault rules, the structural variants of the device, and the request trace.
#include "emulator/state_file.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

using EmuFaults = EmulatorTest;

FaultRule rule(FaultKind kind, uint32_t after = 0) {
    FaultRule r;
    r.kind = kind;
    r.after = after;
    return r;
}

FaultRule matching(FaultKind kind, const std::string& pattern) {
    FaultRule r = rule(kind);
    std::string why;
    EXPECT_TRUE(parseMatch(pattern, &r, &why)) << why;
    return r;
}

std::vector<uint8_t> eraseBlock() {
    std::vector<uint8_t> b(32, 0);
    b[0] = 0x04;
    b[2] = 0xFF;
    return b;
}

TEST_F(EmuFaults, TimeoutStrikesTheRequestAfterTheNextN) {
    make();
    addFault(*bus, rule(FaultKind::Timeout, 2));
    EXPECT_EQ(infoText(4), "1.09");
    EXPECT_EQ(infoText(4), "1.09");
    EXPECT_EQ(rd(2, 4, 0, 32).reply, Reply::NoAnswer);
    EXPECT_EQ(infoText(4), "1.09");  // struck once, then gone
    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[2].fault, "timeout");
    EXPECT_EQ(t[2].reply, Reply::NoAnswer);
    EXPECT_EQ(inspect(*bus).pendingFaults, 0u);
}

TEST_F(EmuFaults, TimedOutAndStalledRequestsAreNotCarriedOut) {
    make();
    addFault(*bus, rule(FaultKind::Timeout));
    EXPECT_EQ(wr(5, 1, 0x3D, {'P'}), Reply::NoAnswer);
    addFault(*bus, rule(FaultKind::Stall));
    EXPECT_EQ(wr(5, 1, 0x3D, {'P'}), Reply::Stall);
    EXPECT_EQ(inspect(*bus).videoStandard, "NTSC");
}

TEST_F(EmuFaults, StallOnTheFirstMatchingRequest) {
    make();
    addFault(*bus, matching(FaultKind::Stall, "0xA0:3:0x0204"));
    EXPECT_EQ(infoText(13), "SN4711");
    EXPECT_EQ(rd(2, 7, 0, 32).reply, Reply::Ack);
    EXPECT_EQ(rd(2, 4, 0, 32).reply, Reply::Stall);
    EXPECT_EQ(rd(2, 4, 0, 32).reply, Reply::Ack);
}

TEST_F(EmuFaults, ShortAndEmptyCutTheDataStage) {
    make();
    FaultRule s = rule(FaultKind::Short);
    s.bytes = 3;
    addFault(*bus, s);
    Answer a = rd(2, 13, 0, 32);
    EXPECT_EQ(a.reply, Reply::Ack);
    EXPECT_EQ(std::string(a.data.begin(), a.data.end()), "SN4");
    addFault(*bus, rule(FaultKind::Empty));
    a = rd(1, 4, 0x0F00, 1);
    EXPECT_EQ(a.reply, Reply::Ack);
    EXPECT_TRUE(a.data.empty());
    // Out: only the first bytes reach the device.
    s.bytes = 2;
    addFault(*bus, s);
    ASSERT_EQ(wr(2, 3, 0, {'2', '.', '0', '7', 0}), Reply::Ack);
    EXPECT_EQ(inspect(*bus).packageVersion, "2.05");  // "2." over "2.05": unchanged text
    ASSERT_EQ(wr(2, 3, 0, {'3', '.', '1', '0', 0}), Reply::Ack);
    addFault(*bus, s);
    ASSERT_EQ(wr(2, 3, 0, {'4', '.', '0', '0', 0}), Reply::Ack);
    EXPECT_EQ(inspect(*bus).packageVersion, "4.10");
}

TEST_F(EmuFaults, BulkPatternAndShortBulk) {
    make();
    FaultRule s = matching(FaultKind::Short, "bulk:0x02");
    s.bytes = 1;
    addFault(*bus, s);
    uint32_t taken = 9;
    EXPECT_EQ(bulk(0x02, {0xC0, 0, 0}, &taken), Reply::Ack);
    EXPECT_EQ(taken, 1u);
    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].kind, TraceKind::Bulk);
    EXPECT_EQ(t[0].endpoint, 0x02);
    EXPECT_EQ(t[0].dataLength, 1u);
}

TEST_F(EmuFaults, UnplugDropsTheDeviceAndReplugsItLater) {
    make();
    RecordingListener listener;
    bus->addListener(&listener);
    FaultRule u = rule(FaultKind::Unplug, 1);
    u.replugAfterMs = 100000;
    addFault(*bus, u);
    const uint32_t first = id();
    EXPECT_EQ(cmd(5, 1), Reply::Ack);
    EXPECT_EQ(cmd(5, 7), Reply::Gone);
    EXPECT_TRUE(bus->present().empty());
    EXPECT_FALSE(inspect(*bus).plugged);
    const bool arrived = waitFor(Guise::Run) && listener.waitForEvents(2);
    bus->removeListener(&listener);  // before any assertion can leave the test
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(inspect(*bus).plugged);
    EXPECT_EQ(rd(3, 3, 0, 1).data.at(0), 0);  // the preparation was lost with the power
    std::vector<std::string> events = listener.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "left:" + std::to_string(first));
    EXPECT_EQ(events[1], "arrived:3014:" + std::to_string(id()));
}

TEST_F(EmuFaults, UnplugWithoutReplugStaysOff) {
    make();
    addFault(*bus, rule(FaultKind::Unplug));
    EXPECT_EQ(in(0x80, 0, 0, 0, 2).reply, Reply::Gone);
    EXPECT_EQ(guise(), Guise::Absent);
    // Off, with no replug pending: nothing brings it back but plug().
    EXPECT_FALSE(inspect(*bus).plugged);
    std::string error;
    ASSERT_TRUE(bus->save(&error)) << error;
    BusFile file;
    ASSERT_TRUE(readStateFile(path, &file, &error)) << error;
    EXPECT_FALSE(file.replugPending);
    bus->plug();
    EXPECT_EQ(guise(), Guise::Run);
}

TEST_F(EmuFaults, DfuErrorCountsBootloaderRequestsAndFailsTheBlock) {
    make();
    FaultRule e = rule(FaultKind::DfuError, 1);
    e.status = dfu::kErrProg;
    addFault(*bus, e);
    ASSERT_EQ(cmd(6, 4), Reply::Ack);  // run-mode requests do not count
    ASSERT_TRUE(waitFor(Guise::Bootloader));
    EXPECT_EQ(getState(), dfu::kIdle);            // counted
    ASSERT_EQ(dnload(eraseBlock()), Reply::Ack);  // struck: taken, but goes wrong
    EXPECT_EQ(getState(), dfu::kDnloadSync);
    Answer s = getStatus();
    ASSERT_EQ(s.data.size(), 6u);
    EXPECT_EQ(s.data[0], dfu::kErrProg);
    EXPECT_EQ(s.data[4], dfu::kError);
    EXPECT_EQ(inspect(*bus).controlVersion, "1.09");  // nothing was erased
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kIdle);
}

TEST_F(EmuFaults, DfuErrorOnGetStatusAnswersTheErrorAtOnce) {
    CreateOptions o;
    o.bootloader = true;
    make(o);
    FaultRule e = matching(FaultKind::DfuError, "0xA1:3");
    e.status = dfu::kErrVerify;
    addFault(*bus, e);
    Answer s = getStatus();
    ASSERT_EQ(s.data.size(), 6u);
    EXPECT_EQ(s.data[0], dfu::kErrVerify);
    EXPECT_EQ(s.data[4], dfu::kError);
    EXPECT_EQ(getState(), dfu::kError);
    ASSERT_EQ(abort(), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kIdle);
}

TEST_F(EmuFaults, NeverReadyUntilTheNextReset) {
    make();
    addFault(*bus, rule(FaultKind::NeverReady));
    ASSERT_EQ(cmd(5, 1), Reply::Ack);
    ASSERT_EQ(cmd(5, 7), Reply::Ack);
    clock::sleepMs(5000);
    EXPECT_EQ(rd(3, 3, 0, 1).data.at(0), 0);
    EXPECT_EQ(cmd(5, 5), Reply::Stall);
    ASSERT_EQ(cmd(6, 9), Reply::Ack);
    ASSERT_TRUE(waitFor(Guise::Run));
    ASSERT_EQ(cmd(5, 1), Reply::Ack);
    ASSERT_EQ(cmd(5, 7), Reply::Ack);
    clock::sleepMs(3500);
    EXPECT_EQ(rd(3, 3, 0, 1).data.at(0), 1);
}

TEST_F(EmuFaults, BusyBootloaderStaysBusyUntilPowerCycled) {
    CreateOptions o;
    o.bootloader = true;
    make(o);
    addFault(*bus, rule(FaultKind::Busy));
    EXPECT_EQ(getState(), dfu::kDnBusy);  // the struck request already sees it
    Answer s = getStatus();
    ASSERT_EQ(s.data.size(), 6u);
    EXPECT_EQ(s.data[4], dfu::kDnBusy);
    EXPECT_GT(s.data[1] | s.data[2] << 8, 0);
    EXPECT_EQ(dnload(eraseBlock()), Reply::Stall);
    ASSERT_EQ(clrStatus(), Reply::Ack);
    EXPECT_EQ(getState(), dfu::kDnBusy);
    bus->unplug();
    bus->plug();
    EXPECT_EQ(getState(), dfu::kIdle);
}

TEST_F(EmuFaults, GuiseFilterAndSeveralRules) {
    make();
    FaultRule boot = rule(FaultKind::Stall, 1);
    boot.guise = Guise::Bootloader;
    addFault(*bus, boot);
    addFault(*bus, rule(FaultKind::Timeout, 1));
    EXPECT_EQ(infoText(4), "1.09");                     // counted by the second rule only
    EXPECT_EQ(rd(2, 4, 0, 32).reply, Reply::NoAnswer);  // the second rule strikes
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    ASSERT_TRUE(waitFor(Guise::Bootloader));
    EXPECT_EQ(getState(), dfu::kIdle);
    EXPECT_EQ(in(0xA1, 5, 0, 4, 1).reply, Reply::Stall);
    EXPECT_EQ(inspect(*bus).pendingFaults, 0u);
}

TEST_F(EmuFaults, RulesPersistAndClear) {
    make();
    addFault(*bus, rule(FaultKind::Stall, 5));
    addFault(*bus, rule(FaultKind::Unplug, 9));
    reopen();
    EXPECT_EQ(inspect(*bus).pendingFaults, 2u);
    clearFaults(*bus);
    EXPECT_EQ(inspect(*bus).pendingFaults, 0u);
    bus.reset();
    std::string error;
    ASSERT_TRUE(addFault(path, rule(FaultKind::Stall), &error)) << error;
    DeviceSnapshot s;
    ASSERT_TRUE(inspect(path, &s, &error));
    EXPECT_EQ(s.pendingFaults, 1u);
    ASSERT_TRUE(clearFaults(path, &error));
    ASSERT_TRUE(inspect(path, &s, &error));
    EXPECT_EQ(s.pendingFaults, 0u);
}

TEST(EmuFaultParsing, KindsPatternsAndNumbers) {
    for (const char* name :
         {"timeout", "stall", "short", "empty", "unplug", "dfu-error", "never-ready", "busy"}) {
        FaultKind k;
        ASSERT_TRUE(parseFaultKind(name, &k)) << name;
        EXPECT_EQ(faultKindName(k), name);
    }
    FaultKind k;
    EXPECT_FALSE(parseFaultKind("explode", &k));
    FaultRule r;
    std::string why;
    ASSERT_TRUE(parseMatch("0x20:1:0x0604", &r, &why));
    EXPECT_TRUE(r.matchValue);
    EXPECT_EQ(r.value, 0x0604);
    EXPECT_EQ(matchText(r), "0x20:1:0x0604");
    ASSERT_TRUE(parseMatch("161:3", &r, &why));
    EXPECT_EQ(r.matchType, 0xA1);
    EXPECT_FALSE(r.matchValue);
    EXPECT_FALSE(parseMatch("0x120:1", &r, &why));
    EXPECT_FALSE(parseMatch("1", &r, &why));
    EXPECT_FALSE(parseMatch("1:2:3:4", &r, &why));
    EXPECT_FALSE(parseMatch("bulk:x", &r, &why));
    uint64_t v = 0;
    EXPECT_TRUE(parseNumber("0x10", 0xFF, &v));
    EXPECT_EQ(v, 16u);
    EXPECT_FALSE(parseNumber("-1", 0xFF, &v));
    EXPECT_FALSE(parseNumber("256", 0xFF, &v));
    EXPECT_FALSE(parseNumber("12a", 0xFF, &v));
}

TEST_F(EmuFaults, VariantInterfaceNumberAndRefusedSetInterface) {
    CreateOptions o;
    o.variant.interfaceNumber = 3;
    make(o);
    Answer cfg = in(0x80, 6, 0x0200, 0, 255);
    EXPECT_EQ(cfg.data.at(9 + 2), 3);
    EXPECT_EQ(bus->setInterface(id(), 0, 0), Reply::Stall);
    EXPECT_EQ(bus->setInterface(id(), 3, 0), Reply::Ack);
    o.variant.interfaceNumber = 0;
    o.variant.refuseSetInterface = true;
    make(o);
    EXPECT_EQ(bus->setInterface(id(), 0, 0), Reply::Stall);
    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].kind, TraceKind::SetInterface);
    EXPECT_EQ(hex(std::vector<uint8_t>(t[0].setup, t[0].setup + 8)), "010b000000000000");
}

TEST_F(EmuFaults, VariantTwinIsASecondIdenticalDevice) {
    CreateOptions o;
    o.variant.twin = true;
    make(o);
    std::vector<Presence> p = bus->present();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_NE(p[0].busId, p[1].busId);
    EXPECT_EQ(p[0].descriptors, p[1].descriptors);
    // The twin answers for itself, is traced as such, and takes no faults.
    addFault(*bus, rule(FaultKind::Stall));
    uint8_t setup[8] = {0xA0, 3, 13, 2, 0, 0, 32, 0};
    uint8_t buf[32];
    uint32_t n = 0;
    ASSERT_EQ(bus->control(p[1].busId, setup, buf, &n), Reply::Ack);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "SN4711");
    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].device, 1);
    EXPECT_EQ(inspect(*bus).requests, 0u);
    EXPECT_EQ(inspect(*bus).pendingFaults, 1u);
    // Power reaches both.
    bus->unplug();
    EXPECT_TRUE(bus->present().empty());
    bus->plug();
    EXPECT_EQ(bus->present().size(), 2u);
    reopen();
    EXPECT_EQ(bus->present().size(), 2u);
    EXPECT_TRUE(inspect(*bus).twin);
}

TEST_F(EmuFaults, TraceKeepsEveryRequestAndAFileKeepsTheFirst4KiB) {
    make();
    ASSERT_EQ(wr(5, 1, 0x10, {0xAB}), Reply::Ack);
    ASSERT_EQ(cmd(9, 9), Reply::Stall);
    ASSERT_EQ(cmd(5, 1), Reply::Ack);
    ASSERT_EQ(cmd(5, 7), Reply::Ack);
    clock::sleepMs(3500);
    ASSERT_EQ(cmd(5, 5), Reply::Ack);
    std::vector<uint8_t> big(0x8000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(bulk(0x04, big), Reply::Ack);

    std::vector<TraceEntry> t = trace(*bus);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(hex(std::vector<uint8_t>(t[0].setup, t[0].setup + 8)), "2002010510000100");
    EXPECT_EQ(hex(t[0].data), "ab");
    EXPECT_EQ(t[0].guise, Guise::Run);
    EXPECT_EQ(t[1].reply, Reply::Stall);
    EXPECT_EQ(t[5].data, big);
    for (size_t i = 1; i < t.size(); ++i) EXPECT_EQ(t[i].sequence, t[i - 1].sequence + 1);
    EXPECT_NE(formatTraceEntry(t[1]).find("stall"), std::string::npos);

    reopen();
    t = trace(*bus);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[5].dataLength, 0x8000u);
    EXPECT_EQ(t[5].data.size(), kTraceFileDataLimit);
    EXPECT_TRUE(t[5].dataTruncated);
    EXPECT_EQ(inspect(*bus).requests, 6u);
    clearTrace(*bus);
    EXPECT_TRUE(trace(*bus).empty());
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
