// Several emulated units, each from its own state file at its own port, through the in-process
// host, the driver access layer and the session: each unit's place, a session that follows its
// unit through the bootloader while another one waits in its own, a unit swapped at the place,
// and the listing's reads and the serial check tried with a fault at each of their requests.
#include <gtest/gtest.h>

#include <array>

#include "emulator/backend.h"
#include "emulator/emulator.h"
#include "platform/clock.h"
#include "tests/support/session_fixture.h"
#include "tests/support/temp_dir.h"
#include "usb/host_driver.h"
#include "usb/units.h"

namespace bvu {
namespace test {
namespace {

namespace emu = emulator;
using emu::FaultKind;

class EmulatedUnits : public SessionTest {
  protected:
    double timeScale() const override { return 0.02; }

    void TearDown() override {
        session.reset();
        kd::setKernelDriverFactory({});
        buses.clear();
        SessionTest::TearDown();
    }

    // Makes the units' files and serves them together, as BVU_USB=emulator:A,B does.
    void serve(const std::vector<emu::CreateOptions>& units) {
        for (size_t i = 0; i < units.size(); ++i) {
            paths.push_back(dir.file("unit" + std::to_string(i) + ".json"));
            std::string error;
            ASSERT_TRUE(emu::createDevice(paths.back(), units[i], &error)) << error;
            buses.push_back(emu::openBus(paths.back(), &error));
            ASSERT_TRUE(buses.back()) << error;
        }
        std::vector<std::shared_ptr<emu::EmulatedBus>> served = buses;
        kd::setKernelDriverFactory([served](UDA_STATUS* status) {
            *status = 0;
            return kd::makeHostDriver(emu::makeEmulatorHost(served));
        });
    }

    static emu::CreateOptions unit(const std::string& port, const std::string& serial,
                                   bool bootloader = false) {
        emu::CreateOptions o;
        o.port = port;
        o.serial = serial;
        o.bootloader = bootloader;
        return o;
    }

    std::vector<emu::TraceEntry> traceOf(size_t i) { return emu::trace(*buses[i]); }
    emu::DeviceSnapshot snapshotOf(size_t i) { return emu::inspect(*buses[i]); }

    TempDir dir;
    std::vector<std::string> paths;
    std::vector<std::shared_ptr<emu::EmulatedBus>> buses;
};

TEST_F(EmulatedUnits, EachUnitIsListedAtItsPortAndHearsOnlyItsOwnRequests) {
    serve({unit("1", "4711"), unit("4.2", "4712", true)});
    const std::vector<usb::PresentUnit> units = usb::presentUnits();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(usb::unitsText(units), "1-1 (run mode), 1-4.2 (bootloader)");

    USBUtils::UnitChoice only;
    only.location = "1-4.2";
    session.reset(new USBUtils(only));
    session->dfuGetState();
    EXPECT_TRUE(traceOf(0).empty());
    ASSERT_FALSE(traceOf(1).empty());
    EXPECT_EQ(traceOf(1).back().guise, emu::Guise::Bootloader);

    // Two files whose units claim one port cannot be served together.
    const std::string clash = dir.file("clash.json");
    std::string error;
    ASSERT_TRUE(emu::createDevice(clash, unit("1", "4713"), &error)) << error;
    UDA_STATUS status = 0;
    EXPECT_EQ(emu::openEmulatorHost(paths[0] + "," + clash, &status), nullptr);
    EXPECT_EQ(status, UDA_FAILED_TO_OPEN_DRIVER);
    EXPECT_NE(emu::openEmulatorHost(paths[0] + ",," + paths[1], &status), nullptr);
    EXPECT_EQ(emu::splitStatePaths("a.json,,b.json,"),
              (std::vector<std::string>{"a.json", "b.json"}));
}

// The split update of the issue, at the session: the first unit goes into its bootloader and
// back while the second waits in its own. The session's bootloader requests reach the first
// unit's bootloader only, and the second hears nothing.
TEST_F(EmulatedUnits, TheSessionFollowsItsUnitThroughTheBootloaderAndNeverTakesTheOther) {
    serve({unit("1", "4711"), unit("2", "4712", true)});
    USBUtils& usb = openSession();
    EXPECT_EQ(usb.unitLocation(), "1-1");
    usb.enterDfuMode();
    EXPECT_EQ(usb.dfuGetState(), 2);  // dfuIDLE, after the re-enumeration
    usb.startApplication(0);
    usb.waitForDevice();
    EXPECT_EQ(snapshotOf(0).guise, emu::Guise::Run);
    bool bootloaderSeen = false;
    for (const emu::TraceEntry& e : traceOf(0)) bootloaderSeen |= e.guise == emu::Guise::Bootloader;
    EXPECT_TRUE(bootloaderSeen);
    EXPECT_TRUE(traceOf(1).empty());
    ASSERT_EQ(usb.otherUnits().size(), 1u);
    EXPECT_EQ(usb.otherUnits()[0].location, "1-2");
}

TEST_F(EmulatedUnits, AnotherUnitPluggedInAtTheUnitsPlaceIsNotTakenForIt) {
    serve({unit("1", "4711"), unit("2", "4712")});
    USBUtils::UnitChoice only;
    only.location = "1-1";
    session.reset(new USBUtils(only));
    EXPECT_EQ(session->serialNumber(), "4711");
    buses[0]->unplug();
    ASSERT_TRUE(emu::plugAt(*buses[1], "1"));  // the other unit, moved to this port
    EXPECT_EQ(errorOf([&] { session->getDeviceStatus(); }),
              "USB communication error: Waiting for USB device to attach: the device at USB "
              "location 1-1 is another unit (serial number 4712, not 4711)");
    // It heard the serial number read and nothing else.
    size_t controls = 0;
    for (const emu::TraceEntry& e : traceOf(1)) controls += e.kind == emu::TraceKind::Control;
    EXPECT_EQ(controls, 1u);
    EXPECT_EQ(snapshotOf(1).port, "1");
}

// ---- Faults at each request the listing and the serial check add ------------------------------

struct Clean {
    std::array<uint8_t, emu::kMemorySize> memory;
    std::string controlFlash, videoFlash;
    uint8_t startupByte, securityByte;
};

Clean cleanOf(const emu::DeviceSnapshot& s) {
    return Clean{s.memory, s.controlFlashSha256, s.videoFlashSha256, s.startupByte, s.securityByte};
}

void expectSame(const Clean& a, const Clean& b, const std::string& what) {
    EXPECT_EQ(a.memory, b.memory) << what;
    EXPECT_EQ(a.controlFlash, b.controlFlash) << what;
    EXPECT_EQ(a.videoFlash, b.videoFlash) << what;
    EXPECT_EQ(a.startupByte, b.startupByte) << what;
    EXPECT_EQ(a.securityByte, b.securityByte) << what;
}

// For each kind, a fault at the first request, the second... until one strikes no more: the
// listing reports the unit as unreadable, the unit is as before, and after a power cycle it
// reads as a clean listing does.
TEST_F(EmulatedUnits, AFaultAtAnyReadOfTheListingLeavesTheUnitAsItWas) {
    for (bool bootloader : {false, true}) {
        paths.clear();
        buses.clear();
        serve({unit("1", "4711", bootloader)});
        const usb::PresentUnit present{"1-1", bootloader};
        const usb::UnitReading clean = usb::readUnit(present);
        ASSERT_TRUE(clean.error.empty()) << clean.error;
        const Clean before = cleanOf(snapshotOf(0));
        for (FaultKind kind : {FaultKind::Timeout, FaultKind::Stall, FaultKind::Unplug}) {
            for (uint32_t after = 0;; ++after) {
                const std::string what = emu::faultKindName(kind) + " after " +
                                         std::to_string(after) +
                                         (bootloader ? " (bootloader)" : " (run mode)");
                emu::FaultRule rule;
                rule.kind = kind;
                rule.after = after;
                emu::addFault(*buses[0], rule);
                const usb::UnitReading reading = usb::readUnit(present);
                if (snapshotOf(0).pendingFaults != 0) {  // past the listing's last request
                    EXPECT_TRUE(reading.error.empty()) << what;
                    emu::clearFaults(*buses[0]);
                    EXPECT_GE(after, bootloader ? 4u : 7u) << what;
                    break;
                }
                EXPECT_FALSE(reading.error.empty()) << what;
                expectSame(cleanOf(snapshotOf(0)), before, what);
                buses[0]->unplug();
                buses[0]->plug();
                const usb::UnitReading again = usb::readUnit(present);
                EXPECT_TRUE(again.error.empty()) << what << ": " << again.error;
                EXPECT_EQ(usb::unitLine(again, ""), usb::unitLine(clean, "")) << what;
            }
        }
    }
}

TEST_F(EmulatedUnits, AFaultAtTheSerialCheckEndsTheRequestAndTheUnitComesBackAsItWas) {
    serve({unit("1", "4711")});
    const Clean before = cleanOf(snapshotOf(0));
    // An empty reply tells no serial number: it is no proof of another unit either.
    for (FaultKind kind :
         {FaultKind::Timeout, FaultKind::Stall, FaultKind::Unplug, FaultKind::Empty}) {
        const std::string what = emu::faultKindName(kind);
        emu::FaultRule rule;
        rule.kind = kind;
        rule.match = true;
        rule.matchType = 0xA0;
        rule.matchRequest = 3;
        rule.matchValue = true;
        rule.value = 0x020D;  // BVR_READ 2/13: the info text with the serial number
        emu::addFault(*buses[0], rule);
        USBUtils::UnitChoice known;
        known.location = "1-1";
        known.serial = "4711";
        session.reset(new USBUtils(known));
        const std::string error = errorOf([&] { session->getDeviceStatus(); });
        EXPECT_NE(error, "(nothing thrown)") << what;
        EXPECT_EQ(error.find("another unit"), std::string::npos) << what << ": " << error;
        session.reset();
        expectSame(cleanOf(snapshotOf(0)), before, what);
        buses[0]->unplug();
        buses[0]->plug();
        session.reset(new USBUtils(known));
        EXPECT_NO_THROW(session->getDeviceStatus()) << what;
        session.reset();
    }
}

}  // namespace
}  // namespace test
}  // namespace bvu
