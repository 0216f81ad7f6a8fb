// Units on a bus with several of them: where a device is plugged (the location texts and their
// order), the driver's location filter and its list that opens nothing, the session that follows
// one unit through both guises and leaves every other one alone, and the choice of a unit by
// location or serial number.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/clock.h"
#include "tests/support/fake_driver.h"
#include "tests/support/session_fixture.h"
#include "usb/location.h"
#include "usb/units.h"

namespace bvu {
namespace test {
namespace {

using usb::locationBefore;
using usb::sameLocation;

// ---- Location texts -------------------------------------------------------------------------

TEST(Location, LibusbPortChainsAreWrittenAsLinuxNamesThem) {
    const uint8_t chain[] = {4, 2};
    EXPECT_EQ(usb::busPortsLocation(1, chain, 2), "1-4.2");
    EXPECT_EQ(usb::busPortsLocation(3, chain, 1), "3-4");
    EXPECT_EQ(usb::busPortsLocation(2, chain, 0), "2");
}

TEST(Location, UnitsAreOrderedByTheirPortsAsNumbersAndTextsCompareWithoutCase) {
    // As numbers: port 10 comes after port 2, and a hub's ports after the hub's own port.
    EXPECT_TRUE(locationBefore("1-2", "1-10"));
    EXPECT_FALSE(locationBefore("1-10", "1-2"));
    EXPECT_TRUE(locationBefore("1-4", "1-4.1"));
    EXPECT_TRUE(locationBefore("1-4.9", "1-5"));
    EXPECT_TRUE(locationBefore("1-9", "2-1"));
    EXPECT_TRUE(locationBefore("1-02", "1-3"));  // leading zeros do not count
    EXPECT_FALSE(locationBefore("1-1", "1-1"));
    EXPECT_TRUE(locationBefore("", "1-1"));
    const std::string usb2 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
    const std::string usb10 = "pciroot(0)#pci(1400)#usbroot(0)#usb(10)";
    EXPECT_TRUE(locationBefore(usb2, usb10));
    EXPECT_FALSE(locationBefore(usb10, usb2));

    EXPECT_TRUE(sameLocation(usb2, "pciroot(0)#pci(1400)#usbroot(0)#usb(2)"));
    EXPECT_FALSE(sameLocation("1-1", "1-1.1"));
    EXPECT_FALSE(sameLocation("1-1", "1-2"));
    EXPECT_TRUE(sameLocation("", ""));
}

// ---- The driver: filter and list ------------------------------------------------------------

UDA_DeviceInfo at(UDA_DeviceInfo info, const std::string& location) {
    info.location = location;
    return info;
}

struct Attaches {
    std::mutex mutex;
    std::vector<std::string> locations;
    static uint32_t onAttach(UDA_DEVICE_HANDLE, UDA_DeviceInfo* info, void* user) {
        auto* self = static_cast<Attaches*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->locations.push_back(info->location);
        return 1;
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return locations;
    }
};

class UnitsOnAFakeBus : public FakeBusTest {
  protected:
    double timeScale() const override { return 0.01; }  // a request's 10 s wait: 100 ms

    // Answers BVR_READ 2/13 (the info text with the serial number) per device; other requests
    // succeed without data.
    void serials(std::map<uint32_t, std::string> texts) {
        std::lock_guard<std::mutex> lock(mutex);
        serialTexts = std::move(texts);
        bus->onTransfer([this](kd::TransferRequest& r) -> UDA_STATUS {
            if (r.pipe != 0 || r.setup[1] != 3 || r.setup[2] != 13 || r.setup[3] != 2)
                return 0;
            std::lock_guard<std::mutex> lock(mutex);
            auto it = serialTexts.find(r.uniqueId);
            if (it == serialTexts.end())
                return 0xC0000004u;  // stalled
            const std::string& text = it->second;
            const uint32_t n = std::min<uint32_t>(r.size, static_cast<uint32_t>(text.size() + 1));
            std::memcpy(r.buffer, text.c_str(), n);
            r.transferred = n;
            return 0;
        });
    }

    // The serial-number reads that reached each device.
    std::map<uint32_t, int> serialReads() const {
        std::map<uint32_t, int> reads;
        for (const FakeTransfer& t : bus->transfers()) {
            if (t.pipe == 0 && t.setup[1] == 3 && t.setup[2] == 13)
                ++reads[t.uniqueId];
        }
        return reads;
    }

    std::set<uint32_t> acknowledged() const {
        std::set<uint32_t> ids;
        for (const kd::EventRecord& r : bus->acknowledgements()) {
            if (r.code == kd::kEventAttach)
                ids.insert(r.uniqueId);
        }
        return ids;
    }

    // Waits (real time, 10 s at most) until the session has heard that its run-mode device left.
    static bool departed(USBUtils& usb) {
        for (int i = 0; i < 1000 && usb.isDevicePresent(); ++i) clock::sleepMs(1000);  // 10 ms
        return !usb.isDevicePresent();
    }

    std::mutex mutex;
    std::map<uint32_t, std::string> serialTexts;
};

TEST_F(UnitsOnAFakeBus, ASubscriptionAtALocationNeverHearsOfDevicesElsewhere) {
    const uint32_t other = bus->plug(at(runMode(), "1-1"));
    const uint32_t mine = bus->plug(at(runMode(), "1-2"));
    Attaches attaches;
    const UDA_MatchTable match{0x03EB, 0x3014, 0, 0, 0, 0, 0, 0};
    const UDA_EventTable events{&Attaches::onAttach, nullptr, nullptr, &attaches};
    UDA_DRIVER_HANDLE driver = nullptr;
    ASSERT_EQ(UDA_InitAt(&driver, &match, 1, &events, UDA_OPTION_ACKNOWLEDGE, "1-2"), 0u);
    ASSERT_EQ(UDA_WaitForPresentDevices(driver, 5000), 0u);
    bus->plug(at(runMode(), "1-3"));
    const uint32_t back = bus->plug(at(runMode(), "1-2"));  // the unit again, re-enumerated
    ASSERT_TRUE(bus->waitForAcknowledgements(2));
    EXPECT_EQ(attaches.seen(), (std::vector<std::string>{"1-2", "1-2"}));
    EXPECT_EQ(acknowledged(), (std::set<uint32_t>{mine, back}));
    EXPECT_EQ(acknowledged().count(other), 0u);
    UDA_Release(driver);
}

TEST_F(UnitsOnAFakeBus, TheListNamesEveryMatchingDeviceWithItsPlaceAndOpensNone) {
    bus->plug(at(runMode(), "1-4.2"));
    bus->plug(at(bootloader(), "1-1"));
    bus->plug(at(FakeBus::makeInfo(0x03EB, 0x1234), "1-3"));  // not ours
    const UDA_MatchTable tables[2] = {{0x03EB, 0x3014, 0, 0, 0, 0, 0, 0},
                                      {0x03EB, 0x2FFD, 0, 0, 0, 0, 0, 0}};
    std::vector<UDA_PresentDevice> devices;
    ASSERT_EQ(UDA_ListDevices(tables, 2, &devices), 0u);
    std::map<std::string, uint16_t> found;
    for (const UDA_PresentDevice& d : devices) found[d.location] = d.productId;
    EXPECT_EQ(found, (std::map<std::string, uint16_t>{{"1-1", 0x2FFD}, {"1-4.2", 0x3014}}));
    EXPECT_TRUE(bus->acknowledgements().empty());
    EXPECT_EQ(bus->openFiles(), 0);

    const std::vector<usb::PresentUnit> units = usb::presentUnits();  // in location order
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].location, "1-1");
    EXPECT_TRUE(units[0].bootloader);
    EXPECT_EQ(units[1].location, "1-4.2");
    EXPECT_EQ(usb::unitsText(units), "1-1 (bootloader), 1-4.2 (run mode)");

    bus->setOpenStatus(UDA_INTERNAL_SYSTEM_ERROR);
    EXPECT_EQ(errorOf([] { usb::presentUnits(); }),
              "USB communication error: Could not initialise USB driver: Internal system error");
}

// ---- The session follows one unit -------------------------------------------------------------

// The issue of a split update: a unit in run mode and another in its bootloader. Whatever order
// their reports come in, the session takes the first by location and refuses the other guise
// elsewhere, in both arrangements.
TEST_F(UnitsOnAFakeBus, TheFirstUnitIsTakenInEitherGuiseAndTheOtherGuiseElsewhereIsRefused) {
    bus->plug(at(bootloader(), "1-2"));
    bus->plug(at(runMode(), "1-1"));
    USBUtils& usb = openSession();
    EXPECT_TRUE(usb.isDevicePresent());
    EXPECT_FALSE(usb.isBootloaderPresent());
    EXPECT_EQ(usb.unitLocation(), "1-1");
    ASSERT_EQ(usb.otherUnits().size(), 1u);
    EXPECT_EQ(usb.otherUnits()[0].location, "1-2");
    EXPECT_TRUE(usb.otherUnits()[0].bootloader);
    EXPECT_EQ(usb.refusedDevices(), 1u);
    EXPECT_EQ(usb::secondDeviceText(usb.otherUnits()),
              "A second device is connected and was ignored; connect one device at a time. "
              "Ignored: 1-2 (bootloader).");
    session.reset();

    bus = FakeBus::create();
    kd::setKernelDriverFactory(bus->factory());
    bus->plug(at(runMode(), "1-2"));
    bus->plug(at(bootloader(), "1-1"));
    USBUtils& again = openSession();
    EXPECT_TRUE(again.isBootloaderPresent());
    EXPECT_FALSE(again.isDevicePresent());
    EXPECT_EQ(again.unitLocation(), "1-1");
    ASSERT_EQ(again.otherUnits().size(), 1u);
    EXPECT_FALSE(again.otherUnits()[0].bootloader);
}

TEST_F(UnitsOnAFakeBus, AModeSwitchWaitsOnlyForTheUnitsOwnPlace) {
    const uint32_t run = bus->plug(at(runMode(), "1-1"));
    USBUtils& usb = openSession();
    usb.waitForDevice();
    bus->unplug(run);                    // into its bootloader, as after DFU_DETACH
    bus->plug(at(bootloader(), "1-2"));  // another unit's bootloader
    EXPECT_EQ(errorOf([&] { usb.waitForBootloader(); }),
              "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired");
    const uint32_t own = bus->plug(at(bootloader(), "1-1"));
    EXPECT_NE(usb.waitForBootloader(), nullptr);
    usb.dfuClearStatus();
    EXPECT_EQ(bus->transfers().back().uniqueId, own);
    EXPECT_EQ(usb.otherUnits().size(), 1u);
}

TEST_F(UnitsOnAFakeBus, AUnitNamedByLocationIsTheOnlyOneTheDriverOpens) {
    const uint32_t other = bus->plug(at(runMode(), "1-1"));
    const uint32_t mine = bus->plug(at(bootloader(), "1-2"));
    USBUtils::UnitChoice choice;
    choice.location = "1-2";
    session.reset(new USBUtils(choice));
    EXPECT_TRUE(session->isBootloaderPresent());
    EXPECT_FALSE(session->isDevicePresent());
    EXPECT_EQ(acknowledged(), std::set<uint32_t>{mine});
    EXPECT_EQ(acknowledged().count(other), 0u);
    EXPECT_TRUE(session->otherUnits().empty());  // never seen
    EXPECT_EQ(session->refusedDevices(), 0u);
}

TEST_F(UnitsOnAFakeBus, ARunModeDeviceWithAnotherSerialAtTheUnitsPlaceIsAnotherUnit) {
    const uint32_t first = bus->plug(at(runMode(), "1-1"));
    serials({{first, "SN4711"}});
    USBUtils& usb = openSession();
    EXPECT_EQ(usb.serialNumber(), "4711");  // learnt here

    // Swapped while it was away: someone else's unit came up at its port.
    bus->unplug(first);
    ASSERT_TRUE(departed(usb));
    const uint32_t stranger = bus->plug(at(runMode(), "1-1"));
    serials({{first, "SN4711"}, {stranger, "SN4712"}});
    const char* const kStranger =
        "USB communication error: Waiting for USB device to attach: the device at USB location "
        "1-1 is another unit (serial number 4712, not 4711)";
    EXPECT_EQ(errorOf([&] { usb.getDeviceStatus(); }), kStranger);
    // Left alone from then on: the next request waits for the unit and gets no further.
    EXPECT_EQ(errorOf([&] { usb.getDeviceStatus(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_EQ(serialReads()[stranger], 1);
    const size_t sent = bus->transfers().size();

    // The unit comes back elsewhere on the hub... and then at its own place.
    const uint32_t own = bus->plug(at(runMode(), "1-1"));
    serials({{first, "SN4711"}, {stranger, "SN4712"}, {own, "SN4711"}});
    bus->unplug(stranger);  // its departure must not empty the slot the unit holds now
    usb.getDeviceStatus();
    EXPECT_EQ(bus->transfers().back().uniqueId, own);
    for (size_t i = sent; i < bus->transfers().size(); ++i)
        EXPECT_NE(bus->transfers()[i].uniqueId, stranger);
}

TEST_F(UnitsOnAFakeBus, TheSerialCheckThatFailsIsMadeAgainAtTheNextRequest) {
    const uint32_t run = bus->plug(at(runMode(), "1-1"));
    serials({});  // the serial read stalls
    USBUtils::UnitChoice choice;
    choice.location = "1-1";
    choice.serial = "4711";
    session.reset(new USBUtils(choice));
    EXPECT_EQ(errorOf([&] { session->getDeviceStatus(); }),
              "USB communication error: Could not send BVR_READ to device: HC status: PID stall");
    serials({{run, "SN4711"}});
    EXPECT_NO_THROW(session->getDeviceStatus());
    EXPECT_EQ(serialReads()[run], 2);
    EXPECT_NO_THROW(session->getDeviceStatus());  // checked once per arrival
    EXPECT_EQ(serialReads()[run], 2);
}

// ---- Choosing the unit of a run ---------------------------------------------------------------

TEST_F(UnitsOnAFakeBus, AUnitIsChosenByLocationOrSerialAndTheTextsSayWhatToDoWhenNoneFits) {
    const uint32_t a = bus->plug(at(runMode(), "1-1"));
    const uint32_t b = bus->plug(at(runMode(), "1-3"));
    bus->plug(at(bootloader(), "1-2"));
    serials({{a, "SN4711"}, {b, "SN4712"}});

    USBUtils::UnitChoice byLocation = usb::chooseUnit({"1-2", ""}, true);
    EXPECT_EQ(byLocation.location, "1-2");
    EXPECT_TRUE(byLocation.exclusive);
    EXPECT_TRUE(bus->transfers().empty());

    USBUtils::UnitChoice bySerial = usb::chooseUnit({"", "4712"}, true);
    EXPECT_EQ(bySerial.location, "1-3");
    EXPECT_EQ(bySerial.serial, "4712");
    EXPECT_TRUE(bySerial.exclusive);
    // Only the serial numbers were read, and none of the bootloader.
    EXPECT_EQ(bus->transfers().size(), 2u);
    EXPECT_EQ(serialReads(), (std::map<uint32_t, int>{{a, 1}, {b, 1}}));

    USBUtils::UnitChoice first = usb::chooseUnit({"", ""}, false);
    EXPECT_EQ(first.location, "1-1");
    EXPECT_FALSE(first.exclusive);

    const size_t sent = bus->transfers().size();
    EXPECT_EQ(errorOf([] {
                  usb::chooseUnit({"1-9", ""}, false);
              }),
              "No unit is connected at USB location \"1-9\". Connected: 1-1 (run mode), 1-2 "
              "(bootloader), 1-3 (run mode); -list shows the units connected.");
    EXPECT_EQ(errorOf([] {
                  usb::chooseUnit({"", ""}, true);
              }),
              "Several units are connected: 1-1 (run mode), 1-2 (bootloader), 1-3 (run mode). Pick "
              "one with -device LOCATION or -serial NUMBER; -list shows the units connected.");
    EXPECT_EQ(bus->transfers().size(), sent);  // nothing asked of any unit

    EXPECT_EQ(errorOf([] {
                  usb::chooseUnit({"", "4713"}, false);
              }),
              "No unit with serial number \"4713\" is connected in run mode. Connected: 1-1 (run "
              "mode, serial 4711), 1-2 (bootloader), 1-3 (run mode, serial 4712). A unit in its "
              "bootloader does not tell its serial number: pick it by where it is plugged, with "
              "-device LOCATION; -list shows the units connected.");
    EXPECT_EQ(errorOf([] {
                  usb::chooseUnit({"1-3", "4711"}, false);
              }),
              "The unit at USB location \"1-3\" has serial number \"4712\", not \"4711\".");
    // Where the serial number cannot be read, it is not checked before the run.
    EXPECT_EQ(usb::chooseUnit({"1-2", "4711"}, false).serial, "4711");
}

TEST(UnitListing, LinesAndObjectsSayWhatIsKnownAndNothingMore) {
    usb::UnitReading run;
    run.unit = usb::PresentUnit{"1-1", false};
    run.serial = "4711";
    run.pcbRevision = "C2.1";
    run.package = "2.05";
    run.video = "1.01";
    run.control = "1.09";
    run.videoStandard = "NTSC";
    EXPECT_EQ(usb::unitLine(run, "video firmware 1.02"),
              "1-1: run mode, serial 4711, PCB revision C2.1, package 2.05, video firmware 1.01, "
              "control firmware 1.09, NTSC; an update writes: video firmware 1.02");
    EXPECT_EQ(usb::unitJson(run, ""),
              "{\"location\":\"1-1\",\"guise\":\"run\",\"serial\":\"4711\",\"pcbRevision\":"
              "\"C2.1\",\"package\":\"2.05\",\"video\":\"1.01\",\"control\":\"1.09\","
              "\"videoStandard\":\"NTSC\",\"controlIncomplete\":false,\"error\":null}");

    usb::UnitReading boot;
    boot.unit = usb::PresentUnit{"1-2", true};
    boot.startupKnown = true;
    boot.controlIncomplete = true;
    EXPECT_EQ(usb::unitLine(boot, ""), "1-2: bootloader, control firmware incomplete");
    EXPECT_EQ(usb::unitJson(boot, "control firmware 1.12"),
              "{\"location\":\"1-2\",\"guise\":\"bootloader\",\"serial\":null,\"pcbRevision\":null,"
              "\"package\":null,\"video\":null,\"control\":null,\"videoStandard\":null,"
              "\"controlIncomplete\":true,\"writes\":\"control firmware 1.12\",\"error\":null}");

    usb::UnitReading failed;
    failed.unit = usb::PresentUnit{"1-3", false};
    failed.error = "USB communication error: Could not send BVR_READ to device: Timeout expired";
    EXPECT_EQ(usb::unitLine(failed, ""),
              "1-3: run mode, could not be read: USB communication error: Could not send "
              "BVR_READ to device: Timeout expired");
    EXPECT_NE(usb::unitJson(failed, "").find("\"controlIncomplete\":null,\"error\":\"USB"),
              std::string::npos);
}

}  // namespace
}  // namespace test
}  // namespace bvu
