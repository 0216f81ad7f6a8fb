// The WinUSB host adapter through the fake of its Win32 table over the emulated device: finding
// and watching devices (polled and notified), re-enumeration, transfers and their statuses,
// devices it must not take. Natively and, in the Windows build, under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "emulator/win32_usb_fake.h"
#include "platform/clock.h"
#include "tests/support/emulated_session.h"
#include "tests/support/session_fixture.h"
#include "usb/attach_wait.h"
#include "usb/backend_winusb.h"
#include "usb/device_advice.h"
#include "usb/host_driver.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {
namespace {

namespace emu = emulator;

const uint8_t kGetStatus[8] = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};

class WinusbTest : public EmulatedDeviceTest {
  protected:
    // The 10 s attach wait becomes a second: under Wine, beside other tests, the host has been
    // seen to need more than the 200 ms that a fiftyfold compression left it.
    double timeScale() const override { return 0.1; }

    void TearDown() override {
        session.reset();
        kd::setKernelDriverFactory({});
        if (fake) {
            EXPECT_EQ(fake->misuses(), 0) << "a Win32 handle used as Windows would not take it";
            EXPECT_EQ(fake->pendingRequests(), 0) << "a request left behind";
        }
        fake.reset();
        EmulatedDeviceTest::TearDown();
        usb::forgetUnusableDevices();  // process-wide: under Wine every test shares the process
    }

    // The device on a PC whose Win32 USB functions are the fake's; the session over it.
    void start(const emu::Win32UsbFakeOptions& options = {}, emu::CreateOptions device = {}) {
        device.timing.preparationMs = 100;
        ASSERT_NO_FATAL_FAILURE(createDevice(device));
        fake = emu::Win32UsbFake::create(bus, options);
        ASSERT_TRUE(fake);
        emu::Win32UsbFake* f = fake.get();
        kd::setKernelDriverFactory([f](UDA_STATUS* status) {
            *status = 0;
            return kd::makeHostDriver(kd::makeWinusbHost(f->api()));
        });
        openSession().setNotice(notices.hook());
    }

    // The device on a PC that has bound this to the nodes of one of its product IDs.
    void startWith(uint16_t productId, emu::FakeBinding binding) {
        emu::Win32UsbFakeOptions options;
        options.bindings[productId] = binding;
        start(options);
    }

    void fault(emu::FaultKind kind, uint8_t type, uint8_t request) {
        emu::FaultRule rule;
        rule.kind = kind;
        rule.match = true;
        rule.matchType = type;
        rule.matchRequest = request;
        emu::addFault(*bus, rule);
    }

    static UDA_STATUS getStatus(UDA_DEVICE_HANDLE device, uint32_t timeoutMs = 5000) {
        uint8_t reply[2];
        return UDA_PipeTransfer(device, 0, 1, 0, reply, sizeof reply, nullptr, kGetStatus,
                                timeoutMs);
    }

    // Waits (10 s at most) until condition holds; whether it does.
    static bool eventually(const std::function<bool()>& condition) {
        const auto deadline = clock::now() + std::chrono::seconds(10);
        while (!condition() && clock::now() < deadline) clock::sleepMs(10);
        return condition();
    }

    // The device, once the session has taken it again after a replug. The wait is bounded on
    // real time, not by the compressed attach wait, which a loaded machine can outlast.
    UDA_DEVICE_HANDLE takenAgain() {
        EXPECT_TRUE(eventually([&] { return session->isDevicePresent(); }));
        return session->waitForDevice();
    }

    std::shared_ptr<emu::Win32UsbFake> fake;
    NoticeLog notices;  // what the session told the user
};

class WinusbWatching : public WinusbTest, public ::testing::WithParamInterface<bool> {};

// Into the bootloader and back: each re-enumeration is a departure and an arrival, seen by
// polling or by notifications. The host's DFU requests name interface 4; the bootloader sees
// them addressed to its interface 0, as with libusb.
TEST_P(WinusbWatching, FollowsTheDeviceIntoTheBootloaderAndBack) {
    emu::Win32UsbFakeOptions options;
    options.notifications = GetParam();
    start(options);
    session->waitForDevice();
    session->enterDfuMode();
    ASSERT_NO_THROW(session->waitForBootloader());
    EXPECT_EQ(emu::inspect(*bus).guise, emu::Guise::Bootloader);
    emu::clearTrace(*bus);
    session->startApplication(1);
    ASSERT_NO_THROW(session->waitForDevice());
    EXPECT_EQ(emu::inspect(*bus).guise, emu::Guise::Run);
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);

    bool sawDfuRequest = false;
    for (const emu::TraceEntry& e : emu::trace(*bus)) {
        if (e.guise == emu::Guise::Bootloader && (e.setup[0] == 0x21 || e.setup[0] == 0xA1)) {
            sawDfuRequest = true;
            EXPECT_EQ(e.setup[4], 0) << "wIndex of a DFU request";
        }
    }
    EXPECT_TRUE(sawDfuRequest);
}

INSTANTIATE_TEST_SUITE_P(PolledAndNotified, WinusbWatching, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Notified" : "Polled";
                         });

TEST_F(WinusbTest, StallAndTimeOutGiveTheirStatusesAndTheDeviceStaysUsable) {
    start();
    UDA_DEVICE_HANDLE device = session->waitForDevice();
    fault(emu::FaultKind::Stall, 0x80, 0);
    EXPECT_EQ(getStatus(device), UDA_HC_STALL_PID);

    // No answer: the request ends on the clock, is cancelled and collected.
    fault(emu::FaultKind::Timeout, 0x80, 0);
    const auto begin = clock::now();
    EXPECT_EQ(getStatus(device, 2000), UDA_TIMEOUT_EXPIRED);
    EXPECT_GE(clock::nominalMsBetween(begin, clock::now()), 1990.0);
    EXPECT_EQ(fake->pendingRequests(), 0);

    EXPECT_EQ(getStatus(device), 0u);
}

// A device pulled out while a request waits for its answer, and one that drops off the bus in
// answer to the request itself (which WinUSB fails like a stall): both are "Device not found",
// and the departure reaches the session.
TEST_F(WinusbTest, UnplugDuringATransferIsDeviceNotFound) {
    start();
    UDA_DEVICE_HANDLE device = session->waitForDevice();
    fault(emu::FaultKind::Timeout, 0x80, 0);
    auto waiting = std::async(std::launch::async, [device] { return getStatus(device, 600000); });
    ASSERT_TRUE(emu::waitForGuise(*bus, emu::Guise::Run, 1000));
    ASSERT_TRUE(eventually([&] { return fake->pendingRequests() == 1; }));
    bus->unplug();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), UDA_DEVICE_NOT_FOUND);

    bus->plug();
    device = takenAgain();
    fault(emu::FaultKind::Unplug, 0x80, 0);
    EXPECT_EQ(getStatus(device), UDA_DEVICE_NOT_FOUND);
    EXPECT_TRUE(eventually([&] { return !session->isDevicePresent(); }));

    // Back quicker than the adapter looks, under the same name: the opened device has gone all
    // the same, and the one that came back is a new arrival.
    bus->plug();
    device = takenAgain();
    emu::FaultRule replug;
    replug.kind = emu::FaultKind::Unplug;
    replug.replugAfterMs = 1;
    emu::addFault(*bus, replug);
    EXPECT_EQ(getStatus(device), UDA_DEVICE_NOT_FOUND);
    // The session holds the old handle until it hears of the departure, then the new one.
    EXPECT_TRUE(eventually(
        [&] { return session->isDevicePresent() && getStatus(session->waitForDevice()) == 0; }));
}

// The twin variant: two identical devices. The session takes one; the other is closed again
// at once, for other programs.
TEST_F(WinusbTest, ASecondIdenticalDeviceIsClosedAgain) {
    emu::CreateOptions device;
    device.variant.twin = true;
    start({}, device);
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_TRUE(eventually([&] { return fake->openFiles() == 1; }));
}

// Where a node is plugged, as Windows tells it: its location path, or where the system keeps
// none, its location information; neither: unknown. The same place through the bootloader.
TEST_F(WinusbTest, TheLocationIsTheNodesLocationPathOrElseItsLocationInformation) {
    auto locationOf = [&](UDA_DEVICE_HANDLE device) {
        UDA_DeviceInfo* info = nullptr;
        EXPECT_EQ(UDA_GetDeviceInfo(device, &info), 0u);
        const std::string location = info != nullptr ? info->location : "";
        UDA_FreeDeviceInfo(info);
        return location;
    };
    emu::CreateOptions device;
    device.port = "4.2";
    start({}, device);
    EXPECT_EQ(locationOf(session->waitForDevice()),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
    session->enterDfuMode();
    EXPECT_EQ(locationOf(session->waitForBootloader()),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
    session.reset();
    kd::setKernelDriverFactory({});
    fake.reset();

    emu::Win32UsbFakeOptions older;
    older.locationPaths = false;
    start(older, device);
    EXPECT_EQ(locationOf(session->waitForDevice()), "Port_#0002.Hub_#0005");
    session.reset();
    kd::setKernelDriverFactory({});
    fake.reset();

    older.locationInformation = false;
    start(older, device);
    EXPECT_EQ(locationOf(session->waitForDevice()), "");
}

// The twin on the next port: the session follows the first unit by its location path and
// names the other.
TEST_F(WinusbTest, TheSessionFollowsTheFirstUnitByItsLocationPath) {
    emu::CreateOptions device;
    device.variant.twin = true;
    start({}, device);
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_TRUE(eventually([&] { return session->otherUnits().size() == 1; }));
    EXPECT_EQ(session->unitLocation(), "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)");
    EXPECT_EQ(session->otherUnits()[0].location, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)");
    session.reset();
    EXPECT_TRUE(eventually([&] { return fake->openFiles() == 0; }));

    // Named by its location path (in other letters): the other is never opened.
    emu::clearTrace(*bus);
    USBUtils::UnitChoice only;
    only.location = "pciroot(0)#pci(1400)#usbroot(0)#usb(2)";
    session.reset(new USBUtils(only));
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_EQ(fake->openFiles(), 1);
    const std::vector<emu::TraceEntry> trace = emu::trace(*bus);
    EXPECT_FALSE(trace.empty());
    EXPECT_TRUE(std::all_of(trace.begin(), trace.end(),
                            [](const emu::TraceEntry& e) { return e.device == 1; }));
}

// WinUSB lets one program at a time open a device: while another holds it this one does not
// attach (and never calls WinUSB); once it is free, the next arrival is taken.
TEST_F(WinusbTest, ADeviceHeldByAnotherProgramIsNotTaken) {
    emu::Win32UsbFakeOptions options;
    options.heldElsewhere = true;
    start(options);
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_EQ(fake->winusbCalls(), 0);
    fake->setHeldElsewhere(false);
    bus->unplug();
    // Replugged after the adapter has looked at the bus without it (a person is not quicker).
    const int looks = fake->looks();
    ASSERT_TRUE(eventually([&] { return fake->looks() >= looks + 2; }));
    bus->plug();
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
}

// A device may stall SET_INTERFACE for an interface with one alternate setting: taken all the
// same, as on Linux, with the interface's pipes reset instead (CLEAR_FEATURE on the bus).
TEST_F(WinusbTest, AStalledInterfaceSelectionOfTheOnlyAlternateSettingIsTakenForSuccess) {
    emu::CreateOptions device;
    device.variant.refuseSetInterface = true;
    start({}, device);
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_EQ(fake->pipeResets(), 2);
    std::vector<uint8_t> cleared;
    for (const emu::TraceEntry& e : emu::trace(*bus)) {
        if (e.setup[0] == 0x02 && e.setup[1] == 0x01)
            cleared.push_back(e.setup[4]);
    }
    EXPECT_EQ(cleared, (std::vector<uint8_t>{0x02, 0x04}));
}

// A bulk pipe that stalled stays halted in WinUSB and on the device: the next transfer on it
// goes out after WinUsb_ResetPipe, in the same session.
TEST_F(WinusbTest, ABulkStallIsResetBeforeTheNextTransferOnThatPipe) {
    start();
    session->waitForDevice();
    emu::addFault(*bus, bulkStall(0x02));
    const uint8_t message[3] = {0x11, 0x22, 0x33};
    EXPECT_EQ(errorOf([&] { session->bulkWrite(message, sizeof message); }),
              "USB communication error: Could not write to USB device: HC status: PID stall");
    EXPECT_EQ(fake->pipeResets(), 0);
    EXPECT_EQ(errorOf([&] { session->bulkWrite(message, sizeof message); }), "(nothing thrown)");
    EXPECT_EQ(fake->pipeResets(), 1);
    EXPECT_EQ(emu::trace(*bus).back().reply, emu::Reply::Ack);
}

class WinusbBindings : public WinusbTest, public ::testing::WithParamInterface<emu::FakeBinding> {};

// WinUSB bound by an installer that writes DeviceInterfaceGUID (singular, REG_SZ), or picked by
// hand in Device Manager (no GUID value: the hub's GUID_DEVINTERFACE_USB_DEVICE reaches it).
TEST_P(WinusbBindings, TheDeviceIsFoundAndTaken) {
    startWith(0x3014, GetParam());
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_EQ(usb::unusableDeviceAdvice(), "");
}

INSTANTIATE_TEST_SUITE_P(SingularGuidAndByHand, WinusbBindings,
                         ::testing::Values(emu::FakeBinding::WinUsbSingular,
                                           emu::FakeBinding::WinUsbByHand),
                         [](const ::testing::TestParamInfo<emu::FakeBinding>& p) {
                             return p.param == emu::FakeBinding::WinUsbSingular ? "SingularGuid"
                                                                                : "ByHand";
                         });

// Another driver (libusbK, offered by the same installers) serves the device: nothing is opened,
// no WinUSB function is called, and the advice names the driver and how to replace it. Once it
// is replaced with WinUSB the device arrives anew and is taken.
TEST_F(WinusbTest, ADeviceServedByAnotherDriverIsNamedAndNotOpened) {
    startWith(0x3014, emu::FakeBinding::LibusbK);
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_EQ(fake->winusbCalls(), 0);
    EXPECT_EQ(fake->openFiles(), 0);
    const std::string advice = usb::unusableDeviceAdvice();
    EXPECT_EQ(advice.rfind("The device is connected, but Windows uses the driver libusbK for it "
                           "(USB ID 03EB 3014), which this program cannot use. Replace it with "
                           "WinUSB",
                           0),
              0u)
        << advice;
    fake->setBinding(0x3014, emu::FakeBinding::WinUsb);
    EXPECT_EQ(getStatus(takenAgain()), 0u);
    EXPECT_EQ(usb::unusableDeviceAdvice(), "");
}

// First-time setup of the driver on a new port can outlast the 10-second wait: the session says
// so and waits on, and takes the device once Windows is done. (The updater's inspection looks
// first, for either guise.)
TEST_F(WinusbTest, ADeviceWhoseDriverIsBeingSetUpIsWaitedForThenUsed) {
    startWith(0x3014, emu::FakeBinding::SettingUp);
    auto waiting = std::async(std::launch::async, [&] {
        EXPECT_TRUE(session->startApplicationIfComplete(0));
        return session->waitForDevice();
    });
    usb::UnusableNote settingUp;
    settingUp.why = kd::Unusable::SettingUp;
    ASSERT_TRUE(notices.waitFor(usb::driverWaitNotice(usb::DeviceGuise::Run, settingUp, false)));
    EXPECT_EQ(fake->winusbCalls(), 0);
    clock::sleepMs(usb::kAttachWaitMs + 1000);  // past the wait it would have had before
    fake->setBinding(0x3014, emu::FakeBinding::WinUsb);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(getStatus(waiting.get()), 0u);
    EXPECT_EQ(notices.lines().back(), usb::driverReadyNotice(usb::DeviceGuise::Run));
}

// The first update on a PC that has bound WinUSB for run mode only: warned before the switch;
// the bootloader arrives without a driver (or with another one), and the session pauses, saying
// what to bind, until the user has bound WinUSB to it; then the update goes on with it.
class WinusbFirstUpdate : public WinusbTest,
                          public ::testing::WithParamInterface<emu::FakeBinding> {};

TEST_P(WinusbFirstUpdate, TheBootloaderWithoutAUsableDriverPausesUntilOneIsBound) {
    startWith(0x2FFD, GetParam());
    session->waitForDevice();
    session->prepareForBootloader();
    ASSERT_EQ(notices.lines(), std::vector<std::string>{usb::bootloaderDriverWarning()});
    session->enterDfuMode();
    auto state = std::async(std::launch::async, [&] { return session->dfuGetState(); });
    usb::UnusableNote missing;
    missing.why =
        GetParam() == emu::FakeBinding::None ? kd::Unusable::NoDriver : kd::Unusable::OtherDriver;
    missing.driver = GetParam() == emu::FakeBinding::None ? "" : "libusbK";
    const std::string pause = usb::driverWaitNotice(usb::DeviceGuise::Bootloader, missing, true);
    ASSERT_TRUE(notices.waitFor(pause)) << ::testing::PrintToString(notices.lines());
    EXPECT_EQ(emu::inspect(*bus).guise, emu::Guise::Bootloader);
    clock::sleepMs(usb::kAttachWaitMs + 1000);  // past the wait it would have had before
    fake->setBinding(0x2FFD, emu::FakeBinding::WinUsb);
    ASSERT_EQ(state.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(state.get(), 2);  // dfuIDLE
    EXPECT_EQ(notices.lines(),
              (std::vector<std::string>{usb::bootloaderDriverWarning(), pause,
                                        usb::driverReadyNotice(usb::DeviceGuise::Bootloader)}));
}

INSTANTIATE_TEST_SUITE_P(NoneAndLibusbK, WinusbFirstUpdate,
                         ::testing::Values(emu::FakeBinding::None, emu::FakeBinding::LibusbK),
                         [](const ::testing::TestParamInfo<emu::FakeBinding>& p) {
                             return p.param == emu::FakeBinding::None ? "NoDriver" : "LibusbK";
                         });

// A PC that has served the bootloader with WinUSB before, on another port: no warning.
TEST_F(WinusbTest, APcThatKnowsTheBootloaderIsNotWarned) {
    emu::Win32UsbFakeOptions options;
    options.knownNodes.emplace_back(0x2FFD, 7);
    start(options);
    session->prepareForBootloader();
    EXPECT_TRUE(notices.lines().empty());
}

// Without the preparation (a mode switch, the recovery path) a bootloader without a driver still
// fails after 10 s, with no notice.
TEST_F(WinusbTest, UnpreparedABootloaderWithoutADriverFailsAfterTenSeconds) {
    startWith(0x2FFD, emu::FakeBinding::None);
    session->waitForDevice();
    session->enterDfuMode();
    EXPECT_EQ(errorOf([&] { session->waitForBootloader(); }),
              "USB communication error: Waiting for USB DFU-mode to attach: Timeout expired");
    EXPECT_TRUE(notices.lines().empty());
    EXPECT_EQ(usb::unusableDeviceAdvice().rfind("The device is connected, but Windows has no "
                                                "WinUSB driver for it.",
                                                0),
              0u);
}

// A PC without a WinUSB driver for the device: the node is there, nothing can be opened, and
// no WinUSB function is ever called (Wine's would end the process). The user is told why until
// the driver is installed; then the device arrives anew and is taken.
TEST_F(WinusbTest, WithoutAWinusbDriverTheDeviceIsDiagnosedUntilOneIsInstalled) {
    emu::Win32UsbFakeOptions options;
    options.bound = false;
    start(options);
    EXPECT_EQ(errorOf([&] { session->waitForDevice(); }),
              "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_EQ(fake->winusbCalls(), 0);
    const std::string advice = usb::unusableDeviceAdvice();
    EXPECT_EQ(advice.rfind("The device is connected, but Windows has no WinUSB driver for it. ", 0),
              0u)
        << advice;

    fake->setBound(true);
    EXPECT_EQ(getStatus(session->waitForDevice()), 0u);
    EXPECT_EQ(usb::unusableDeviceAdvice(), "");

    // The advice also goes when the device that needed it leaves.
    session.reset();
    fake->setBound(false);
    session.reset(new USBUtils);
    EXPECT_THROW(session->waitForDevice(), USBUtils::Error);
    EXPECT_NE(usb::unusableDeviceAdvice(), "");
    bus->unplug();
    EXPECT_TRUE(eventually([] { return usb::unusableDeviceAdvice().empty(); }));
}

TEST(WinusbStatus, EveryWin32ErrorHasAStatusOfTheTable) {
    struct Row {
        DWORD error;
        UDA_STATUS status;
    };
    const Row rows[] = {
        {ERROR_SUCCESS, 0},
        {ERROR_SEM_TIMEOUT, UDA_TIMEOUT_EXPIRED},
        {ERROR_GEN_FAILURE, UDA_HC_STALL_PID},
        {ERROR_DEVICE_NOT_CONNECTED, UDA_DEVICE_NOT_FOUND},
        {ERROR_FILE_NOT_FOUND, UDA_DEVICE_NOT_FOUND},
        {ERROR_BAD_COMMAND, UDA_DEVICE_NOT_FOUND},
        {ERROR_ACCESS_DENIED, UDA_RESOURCE_OVERLAP},
        {ERROR_OPERATION_ABORTED, UDA_IRP_CANCELLED},
        {ERROR_NOT_ENOUGH_MEMORY, UDA_INSUFFICIENT_RESOURCES},
        {ERROR_INVALID_PARAMETER, UDA_INVALID_PARAMETER},
        {ERROR_INVALID_HANDLE, UDA_INVALID_HANDLE},
        {ERROR_NOT_SUPPORTED, UDA_FUNCTION_NOT_IMPLEMENTED},
        {ERROR_IO_DEVICE, UDA_HC_DEVICE_NOT_RESPONDING},
        {ERROR_MORE_DATA, UDA_HC_DATA_OVERRUN},
        {12345, UDA_ERROR},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(kd::statusFromWin32Error(r.error), r.status) << r.error;
        EXPECT_STRNE(statusText(kd::statusFromWin32Error(r.error)), "Unrecognized error code");
    }
    EXPECT_STREQ(statusText(kd::statusFromWin32Error(ERROR_SEM_TIMEOUT)), "Timeout expired");
    EXPECT_STREQ(statusText(kd::statusFromWin32Error(ERROR_GEN_FAILURE)), "HC status: PID stall");
}

// What the device nodes carry: hardware IDs, the registry's GUIDs and multi-strings.
TEST(WinusbNodes, HardwareIdsGuidsAndMultiStrings) {
    uint16_t vendor = 0, product = 0;
    EXPECT_TRUE(kd::parseHardwareId(L"USB\\VID_03EB&PID_3014&REV_0200", &vendor, &product));
    EXPECT_EQ(vendor, 0x03EB);
    EXPECT_EQ(product, 0x3014);
    EXPECT_TRUE(kd::parseHardwareId(L"usb\\vid_03eb&pid_2ffd", &vendor, &product));
    EXPECT_EQ(product, 0x2FFD);
    EXPECT_FALSE(kd::parseHardwareId(L"USB\\VID_03EB&PID_3014&MI_00", &vendor, &product));
    EXPECT_FALSE(kd::parseHardwareId(L"HID\\VID_03EB&PID_3014", &vendor, &product));
    EXPECT_FALSE(kd::parseHardwareId(L"USB\\VID_03G0&PID_3014", &vendor, &product));
    EXPECT_FALSE(kd::parseHardwareId(L"USB\\ROOT_HUB30", &vendor, &product));

    GUID g;
    ASSERT_TRUE(kd::parseGuid(L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}", &g));
    EXPECT_EQ(g.Data1, 0xA5DCBF10u);
    EXPECT_EQ(g.Data2, 0x6530);
    EXPECT_EQ(g.Data3, 0x11D2);
    EXPECT_EQ(g.Data4[0], 0x90);
    EXPECT_EQ(g.Data4[7], 0xED);
    EXPECT_TRUE(kd::parseGuid(L"a5dcbf10-6530-11d2-901f-00c04fb951ed", &g));
    EXPECT_FALSE(kd::parseGuid(L"{A5DCBF10-6530-11D2-901F-00C04FB951E}", &g));
    EXPECT_FALSE(kd::parseGuid(L"{A5DCBF10-6530-11D2-901F-00C04FB951EX}", &g));
    EXPECT_FALSE(kd::parseGuid(L"A5DCBF10653011D2901F00C04FB951ED", &g));

    auto bytes = [](const std::wstring& text) {
        std::vector<BYTE> out;
        for (wchar_t c : text) {
            const WCHAR w = c;
            const BYTE* p = reinterpret_cast<const BYTE*>(&w);
            out.insert(out.end(), p, p + sizeof w);
        }
        return out;
    };
    std::vector<BYTE> two = bytes(std::wstring(L"one\0two\0\0", 9));
    EXPECT_EQ(kd::parseMultiString(two.data(), DWORD(two.size())),
              (std::vector<std::wstring>{L"one", L"two"}));
    std::vector<BYTE> unended = bytes(L"{guid}");  // a REG_SZ, or a value cut short
    EXPECT_EQ(kd::parseMultiString(unended.data(), DWORD(unended.size())),
              (std::vector<std::wstring>{L"{guid}"}));
    EXPECT_TRUE(kd::parseMultiString(two.data(), 1).empty());  // half a character
}

}  // namespace
}  // namespace test
}  // namespace bvu
