// The umockdev adapter seen through plain libusb, as any third-party program sees it: what
// reaches the device, and what usbfs would refuse.
#include <gtest/gtest.h>
#include <libusb.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <vector>

#include "emulator/umockdev/adapter.h"
#include "tests/libusb/umockdev_env.h"
#include "tests/support/scripted_bus.h"
#include "tests/support/usb_descriptors.h"

namespace bvu {
namespace test {
namespace {

using emulator::Reply;

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        BVU_REQUIRE_UMOCKDEV();
        bus = std::make_shared<ScriptedBus>();
        runId = bus->arrive(kRunModeProductId, runModeDescriptors());
        std::string error;
        adapter = emulator::UmockdevAdapter::start(bus, &error);
        ASSERT_TRUE(adapter) << error;
        ASSERT_EQ(libusb_init(&ctx), 0);
    }

    void TearDown() override {
        for (libusb_device_handle* h : handles) libusb_close(h);
        if (ctx != nullptr)
            libusb_exit(ctx);
        adapter.reset();
    }

    libusb_device_handle* open(uint16_t product = kRunModeProductId) {
        libusb_device_handle* h = openWhenPresent(ctx, kVendorId, product);
        if (h != nullptr)
            handles.push_back(h);
        return h;
    }

    std::shared_ptr<ScriptedBus> bus;
    uint32_t runId = 0;
    std::unique_ptr<emulator::UmockdevAdapter> adapter;
    libusb_context* ctx = nullptr;
    std::vector<libusb_device_handle*> handles;
};

TEST_F(AdapterTest, DescriptorsAndControlTransfersReachTheDevice) {
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h), &d), 0);
    EXPECT_EQ(d.idVendor, kVendorId);
    EXPECT_EQ(d.bcdDevice, 0x0200);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(h), &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    ASSERT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 2);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[1].bEndpointAddress, 0x04);
    libusb_free_config_descriptor(config);

    uint8_t in[5] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0xA0, 3, 0x020D, 0, in, sizeof in, 1000), 5);
    EXPECT_EQ(in[4], 5);  // the scripted device's counting pattern
    uint8_t out[3] = {7, 8, 9};
    EXPECT_EQ(libusb_control_transfer(h, 0x20, 2, 0x0501, 0x0033, out, sizeof out, 1000), 3);

    std::vector<BusTransfer> seen = bus->transfers();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].setup, (std::vector<uint8_t>{0xA0, 3, 0x0D, 0x02, 0, 0, 5, 0}));
    EXPECT_EQ(seen[1].setup, (std::vector<uint8_t>{0x20, 2, 0x01, 0x05, 0x33, 0, 3, 0}));
    EXPECT_EQ(seen[1].data, (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(AdapterTest, BulkOutGoesToTheDeviceOnlyForItsOwnEndpoints) {
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    std::vector<uint8_t> data(0x8000, 0x5A);
    int transferred = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x04, data.data(), int(data.size()), &transferred, 1000), 0);
    EXPECT_EQ(transferred, 0x8000);
    // An endpoint the device does not have is refused by usbfs before anything is sent.
    EXPECT_NE(libusb_bulk_transfer(h, 0x06, data.data(), 3, &transferred, 1000), 0);
    std::vector<BusTransfer> seen = bus->transfers();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].bulk);
    EXPECT_EQ(seen[0].endpoint, 0x04);
    EXPECT_EQ(seen[0].data.size(), 0x8000u);  // one transfer, as the device sees it
}

// CLEAR_HALT reaches the device as the CLEAR_FEATURE(ENDPOINT_HALT) the kernel sends, and the
// device's answer comes back; RESETEP stays on the host's side.
TEST_F(AdapterTest, ClearHaltReachesTheDeviceAsClearFeature) {
    std::atomic<bool> refuse{false};
    bus->onControl([&](uint32_t, const uint8_t*, uint8_t*, uint32_t* n) {
        *n = 0;
        return refuse.load() ? Reply::Stall : Reply::Ack;
    });
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x04), 0);
    refuse = true;
    EXPECT_EQ(libusb_clear_halt(h, 0x02), LIBUSB_ERROR_OTHER);      // how libusb reports EPIPE here
    EXPECT_EQ(libusb_clear_halt(h, 0x06), LIBUSB_ERROR_NOT_FOUND);  // no such endpoint
    std::vector<BusTransfer> seen = bus->transfers();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].setup, (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x04, 0, 0, 0}));
    EXPECT_EQ(seen[1].setup, (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}));
}

TEST_F(AdapterTest, StallAndNoAnswerCompleteAsUsbfsCompletesThem) {
    std::atomic<int> calls{0};
    bus->onControl([&](uint32_t, const uint8_t* setup, uint8_t* data, uint32_t* n) {
        switch (calls++) {
            case 0:
                return Reply::Stall;
            case 1:
                return Reply::NoAnswer;  // NAKs until the host gives up
            default:
                data[0] = setup[1];
                *n = 1;
                return Reply::Ack;
        }
    });
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    uint8_t b = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0xA0, 3, 0, 0, &b, 1, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xA0, 3, 0, 0, &b, 1, 200), LIBUSB_ERROR_TIMEOUT);
    // The discarded URB is gone for good: the next request is answered normally.
    EXPECT_EQ(libusb_control_transfer(h, 0xA0, 9, 0, 0, &b, 1, 1000), 1);
    EXPECT_EQ(b, 9);
}

TEST_F(AdapterTest, InterfaceRecipientRequestsNeedAnInterfaceOfTheDeviceNotHeldByAnother) {
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    uint8_t status[6] = {};
    // A class request to interface 4: the device has only interface 0.
    EXPECT_EQ(libusb_control_transfer(h, 0xA1, 3, 0, 4, status, 6, 1000), LIBUSB_ERROR_IO);
    EXPECT_TRUE(bus->transfers().empty());
    // Vendor requests are not checked by usbfs, whatever their wIndex says.
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 4, status, 1, 1000), 1);
    // Interface 0 exists: usbfs claims it for a caller that did not.
    EXPECT_EQ(libusb_control_transfer(h, 0xA1, 3, 0, 0, status, 6, 1000), 6);
    // Now it is this file's: another open file can neither use nor claim it.
    libusb_device_handle* other = nullptr;
    ASSERT_EQ(libusb_open(libusb_get_device(h), &other), 0);
    handles.push_back(other);
    EXPECT_EQ(libusb_control_transfer(other, 0xA1, 3, 0, 0, status, 6, 1000), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(bus->transfers().size(), 2u);
}

TEST_F(AdapterTest, ClosingTheNodeGivesUpItsClaims) {
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    libusb_device* device = libusb_get_device(h);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    // A program that claims and then closes (or dies) without releasing.
    int fd = ::open(node, O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned int iface = 0;
    ASSERT_EQ(ioctl(fd, USBDEVFS_CLAIMINTERFACE, &iface), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    ::close(fd);
    EXPECT_TRUE(eventually([&] { return libusb_claim_interface(h, 0) == 0; }));
}

TEST_F(AdapterTest, UnplugEndsATransferInFlightAndEveryLaterOne) {
    bus->onControl([](uint32_t, const uint8_t*, uint8_t*, uint32_t*) { return Reply::NoAnswer; });
    libusb_device_handle* h = open();
    ASSERT_NE(h, nullptr);
    auto inFlight = std::async(std::launch::async, [h] {
        uint8_t b = 0;
        return libusb_control_transfer(h, 0xA0, 3, 0, 0, &b, 1, 20000);
    });
    ASSERT_TRUE(bus->waitForTransfers(1));
    bus->leave(runId);
    ASSERT_EQ(inFlight.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(inFlight.get(), LIBUSB_ERROR_NO_DEVICE);
    uint8_t b = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0xA0, 3, 0, 0, &b, 1, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
}

struct HotplugLog {
    std::mutex mutex;
    std::vector<std::pair<bool, int>> events;  // (arrived, address)
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }
};

int LIBUSB_CALL logHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user) {
    auto* log = static_cast<HotplugLog*>(user);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.emplace_back(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                             libusb_get_device_address(device));
    return 0;
}

TEST_F(AdapterTest, ReEnumerationIsADepartureAndAnArrivalUnderANewAddress) {
    HotplugLog log;
    libusb_hotplug_callback_handle handle;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx,
                  libusb_hotplug_event(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                       LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                  LIBUSB_HOTPLUG_ENUMERATE, kVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
                  LIBUSB_HOTPLUG_MATCH_ANY, logHotplug, &log, &handle),
              0);
    ASSERT_EQ(log.size(), 1u);  // the device already present
    bus->leave(runId);
    bus->arrive(kBootloaderProductId, bootloaderDescriptors());
    ASSERT_TRUE(eventually([&] {
        timeval zero{0, 10000};
        libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
        return log.size() >= 3;
    }));
    libusb_hotplug_deregister_callback(ctx, handle);
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.events.size(), 3u);
    EXPECT_TRUE(log.events[0].first);
    EXPECT_FALSE(log.events[1].first);
    EXPECT_EQ(log.events[1].second, log.events[0].second);
    EXPECT_TRUE(log.events[2].first);
    EXPECT_NE(log.events[2].second, log.events[0].second);
    EXPECT_NE(open(kBootloaderProductId), nullptr);
}

}  // namespace
}  // namespace test
}  // namespace bvu
