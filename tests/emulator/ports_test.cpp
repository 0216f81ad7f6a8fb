// Where the emulated units are plugged: each at a port of its own that every arrival carries,
// kept in the state file (older files without ports get ports 1 and 2), moved by plug --port and
// by an unplug that plugs the device in again elsewhere, and refused where two units would share
// one.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "emulator/state_file.h"
#include "tests/emulator/emu_fixture.h"

namespace bvu {
namespace emulator {
namespace test {
namespace {

std::vector<std::string> portsOnBus(EmulatedBus& bus) {
    std::vector<std::string> ports;
    for (const Presence& p : bus.present()) ports.push_back(p.port);
    return ports;
}

TEST(EmuPortText, NumbersFrom1To127UpToSevenTiers) {
    for (const char* good : {"1", "127", "4.2", "1.2.3.4.5.6.7"})
        EXPECT_TRUE(isPortText(good)) << good;
    for (const char* bad : {"", "0", "128", "04", "4.", ".4", "4..2", "a", "1.2.3.4.5.6.7.8", "-1"})
        EXPECT_FALSE(isPortText(bad)) << bad;
    EXPECT_EQ(nextPort("1"), "2");
    EXPECT_EQ(nextPort("4.2"), "4.3");
}

class EmuPorts : public EmulatorTest {};

TEST_F(EmuPorts, EveryArrivalCarriesTheUnitsPortAndTheFileKeepsIt) {
    CreateOptions o;
    o.port = "4.2";
    o.variant.twin = true;
    make(o);
    EXPECT_EQ(portsOnBus(*bus), (std::vector<std::string>{"4.2", "4.3"}));
    EXPECT_EQ(unitPorts(*bus), (std::vector<std::string>{"4.2", "4.3"}));
    EXPECT_EQ(inspect(*bus).port, "4.2");
    // Through a re-enumeration into the bootloader: the same port.
    ASSERT_EQ(cmd(6, 4), Reply::Ack);
    ASSERT_TRUE(waitFor(Guise::Bootloader));
    EXPECT_EQ(portsOnBus(*bus).front(), "4.2");
    reopen();
    EXPECT_EQ(unitPorts(*bus), (std::vector<std::string>{"4.2", "4.3"}));

    // A file from before ports: the device at 1, its twin at 2.
    bus.reset();
    BusFile file;
    std::string error;
    ASSERT_TRUE(readStateFile(path, &file, &error)) << error;
    nlohmann::json j = nlohmann::json::parse(encodeStateFile(file, clock::now()));
    j["device"].erase("port");
    j["twin"].erase("port");
    ASSERT_TRUE(writeFileAtomically(path, j.dump(), &error)) << error;
    reopen();
    EXPECT_EQ(unitPorts(*bus), (std::vector<std::string>{"1", "2"}));

    CreateOptions bad;
    bad.port = "4.";
    EXPECT_FALSE(checkCreateOptions(bad, &error));
    bad.port = "127";
    bad.variant.twin = true;  // no port after it for the twin
    EXPECT_FALSE(checkCreateOptions(bad, &error));
}

TEST_F(EmuPorts, PluggedInElsewhereTheDeviceLeavesItsOldPortAndArrivesAtTheNew) {
    CreateOptions o;
    o.variant.twin = true;
    make(o);
    RecordingListener listener;
    bus->addListener(&listener);
    const uint32_t before = id();
    EXPECT_FALSE(plugAt(*bus, "2"));  // the twin's
    EXPECT_FALSE(plugAt(*bus, "x"));
    ASSERT_TRUE(plugAt(*bus, "5"));
    ASSERT_TRUE(listener.waitForEvents(2));
    EXPECT_EQ(listener.events()[0], "left:" + std::to_string(before));
    EXPECT_EQ(portsOnBus(*bus), (std::vector<std::string>{"5", "2"}));
    EXPECT_EQ(inspect(*bus).guise, Guise::Run);
    bus->removeListener(&listener);

    // A pull that plugs it in again elsewhere, after a while: it comes back there, and stays
    // there across a save.
    FaultRule pull;
    pull.kind = FaultKind::Unplug;
    pull.replugAfterMs = 50;
    pull.replugPort = "7";
    addFault(*bus, pull);
    EXPECT_EQ(rd(2, 13, 0, 32).reply, Reply::Gone);
    reopen();  // the pending replug and its port are saved
    ASSERT_TRUE(waitFor(Guise::Run, 10000));
    EXPECT_EQ(inspect(*bus).port, "7");
    bus->unplug();
    bus->plug();
    EXPECT_EQ(inspect(*bus).port, "7");
}

TEST_F(EmuPorts, UnitsOfSeveralFilesMustHaveTheirOwnPorts) {
    make();
    const std::string other = dir.file("other.json");
    std::string error;
    ASSERT_TRUE(createDevice(other, CreateOptions{}, &error)) << error;
    std::shared_ptr<EmulatedBus> second = openBus(other, &error);
    ASSERT_TRUE(second) << error;
    EXPECT_FALSE(portsApart({bus, second}, &error));
    EXPECT_EQ(error,
              "two units at port 1: give each state file its own port (bvu-emulator create "
              "--port, plug --port)");
    ASSERT_TRUE(plugAt(*second, "3"));
    EXPECT_TRUE(portsApart({bus, second}, &error));
}

}  // namespace
}  // namespace test
}  // namespace emulator
}  // namespace bvu
