// Run-mode requests over the fake driver: the bytes on the wire, the error texts, the readers
// of short and odd replies, the bulk paths and the mode switches with their waits.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/requests/fake_session.h"

namespace {

using bvu::test::Bytes;

class RunModeTest : public bvu::test::FakeSessionTest {};

TEST(SetupPacketTest, BothConstructorsLayOutTheFieldsLittleEndian) {
    SetupPacket p(0x80, 6, 0x0100, 0x1234, 18);
    EXPECT_EQ(Bytes(p.bytes, p.bytes + 8), (Bytes{0x80, 6, 0x00, 0x01, 0x34, 0x12, 18, 0}));
    SetupPacket q(0xA0, 3, 1, 4, 0x0F, 0x00, 0x0201);
    EXPECT_EQ(Bytes(q.bytes, q.bytes + 8), (Bytes{0xA0, 3, 4, 1, 0x00, 0x0F, 0x01, 0x02}));
    EXPECT_EQ(q.value(), 0x0104);
    EXPECT_EQ(q.index(), 0x0F00);
    EXPECT_EQ(q.length(), 0x0201);
}

TEST_F(RunModeTest, EveryControlRequestSendsItsSetupAndData) {
    USBUtils& s = open(true, false);
    const uint8_t two[2] = {0xAB, 0xCD};
    uint8_t buffer[8];
    struct Case {
        std::function<void()> call;
        Bytes wire;  // setup packet and OUT data
    } cases[] = {
        {[&] { s.deviceRelease(); }, {0x80, 6, 0x00, 0x01, 0, 0, 18, 0}},
        {[&] { s.getDeviceStatus(); }, {0x80, 0, 0, 0, 0, 0, 2, 0}},
        {[&] { s.command(6, 4, 0x12, 0x34); }, {0x20, 1, 4, 6, 0x34, 0x12, 0, 0}},
        {[&] { s.write(5, 1, 0xD0, two, 2); }, {0x20, 2, 1, 5, 0xD0, 0, 2, 0, 0xAB, 0xCD}},
        {[&] { s.write(2, 3, two, 1); }, {0x20, 2, 3, 2, 0, 0, 1, 0, 0xAB}},
        {[&] { s.read(3, 3, 0x0102, buffer, 8); }, {0xA0, 3, 3, 3, 0x02, 0x01, 8, 0}},
        {[&] { s.read(3, 3, buffer, 1); }, {0xA0, 3, 3, 3, 0, 0, 1, 0}},
        {[&] { s.readInfoString(13); }, {0xA0, 3, 13, 2, 0, 0, 32, 0}},
        {[&] { s.firmwareVersion(); }, {0xA0, 3, 1, 5, 0x33, 0, 4, 0}},
        {[&] { s.videoFirmwareVersion(); }, {0xA0, 3, 4, 1, 0x00, 0x0F, 1, 0}},
        {[&] { s.isNTSC(); }, {0xA0, 3, 1, 5, 0x3D, 0, 1, 0}},
        {[&] { s.setNTSC(); }, {0x20, 2, 1, 5, 0x3D, 0, 1, 0, 'N'}},
        {[&] { s.setPAL(); }, {0x20, 2, 1, 5, 0x3D, 0, 1, 0, 'P'}},
        {[&] { s.setFirmwareVersion("2.1"); }, {0x20, 2, 3, 2, 0, 0, 5, 0, '2', '.', '1', 0, 0}},
        {[&] { s.setFirmwareVersion("2.0715"); },
         {0x20, 2, 3, 2, 0, 0, 5, 0, '2', '.', '0', '7', 0}},
    };
    for (auto& c : cases) {
        size_t before = controls().size();
        try {
            c.call();
        } catch (const USBUtils::Error&) {
            // Unscripted IN requests stall; only the bytes sent matter here.
        }
        auto sent = controls();
        ASSERT_EQ(sent.size(), before + 1);
        EXPECT_EQ(sent.back(), c.wire);
    }
    for (const auto& t : bus->transfers()) EXPECT_EQ(t.timeoutMs, 5000u);
}

TEST_F(RunModeTest, FailuresCarryTheRequestsPrefixAndTheDriverText) {
    USBUtils& s = open(true, false);
    uint8_t b = 0;
    failWith = UDA_TIMEOUT_EXPIRED;
    const std::string head = "USB communication error: ";
    EXPECT_EQ(errorOf([&] { s.deviceRelease(); }),
              head + "Could not send GET_DESCRIPTOR to device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.getDeviceStatus(); }),
              head + "Could not send GET_STATUS request to USB device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.command(5, 1, 0, 0); }),
              head + "Could not send BVR_CMD to device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.write(5, 1, &b, 1); }),
              head + "Could not send BVR_WRITE to device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.read(5, 1, &b, 1); }),
              head + "Could not send BVR_READ to device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.download(&b, 1); }),
              head + "Could not send BVR_DNLOAD to device: Timeout expired");
    EXPECT_EQ(errorOf([&] { s.bulkCommand(1, 2, 3); }),
              head + "Could not write to USB device: Timeout expired");
}

TEST_F(RunModeTest, ReleaseIsTheMajorByteOfBcdDeviceAndZeroForAShortDescriptor) {
    USBUtils& s = open(true, false);
    Bytes descriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0xEB, 0x03, 0x14, 0x30, 0x07, 0x02, 1, 2, 3, 1};
    reply(0x80, 6, 0x0100, [&](int n) {
        return n == 0 ? descriptor : Bytes(descriptor.begin(), descriptor.begin() + 13);
    });
    EXPECT_EQ(s.deviceRelease(), 2);
    garbage = 5;  // byte 13 of the buffer, never delivered
    EXPECT_EQ(s.deviceRelease(), 0);
}

TEST_F(RunModeTest, TextsEndAtNulOrAtTheDeliveredBytes) {
    USBUtils& s = open(true, false);
    auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
    reply(0xA0, 3, 0x0204, text(std::string("1.12\0zz", 7)));
    EXPECT_EQ(s.controlFirmwareVersion(), "1.12");
    std::string full(32, 'x');  // no NUL in the whole buffer
    reply(0xA0, 3, 0x0207, text(full));
    EXPECT_EQ(s.readInfoString(7), full);
    EXPECT_EQ(s.pcbRevision(), "xxxx");
    reply(0xA0, 3, 0x0501, text("2.0"));  // fewer bytes than asked, the buffer holds garbage
    EXPECT_EQ(s.firmwareVersion(), "2.0");
    EXPECT_EQ(s.readMemoryString(0x40, 200), "2.0");
    EXPECT_EQ(controls().back()[6], 31);  // a longer request is cut to the buffer

    std::map<std::string, std::string> serials = {
        {"AB1234XY", "1234"}, {"AB12", "12"}, {"AB", ""}, {"A", ""}, {"", ""}};
    for (const auto& [info, serial] : serials) {
        reply(0xA0, 3, 0x020D, text(info));
        EXPECT_EQ(s.serialNumber(), serial) << info;
    }
    reply(0xA0, 3, 0x0207, text("R2"));
    EXPECT_EQ(s.pcbRevision(), "R2");
}

TEST_F(RunModeTest, VideoVersionAndVideoStandardDecodeTheirByte) {
    USBUtils& s = open(true, false);
    std::map<uint8_t, std::string> versions = {
        {0x2C, "1.12"}, {0x42, "2.02"}, {0x00, "0.00"}, {0xFF, "7.31"}};
    for (const auto& [byte, text] : versions) {
        reply(0xA0, 3, 0x0104, Bytes{byte});
        EXPECT_EQ(s.videoFirmwareVersion(), text);
    }
    reply(0xA0, 3, 0x0104, Bytes{});
    EXPECT_EQ(s.videoFirmwareVersion(), "");

    reply(0xA0, 3, 0x0501, Bytes{'N'});
    EXPECT_TRUE(s.isNTSC());
    reply(0xA0, 3, 0x0501, Bytes{'P'});
    EXPECT_FALSE(s.isNTSC());
    reply(0xA0, 3, 0x0501, Bytes{});
    garbage = 'N';
    EXPECT_FALSE(s.isNTSC());
}

TEST_F(RunModeTest, DownloadCutsPiecesOnEndpoint4AndFollowsWhatTheDeviceTook) {
    USBUtils& s = open(true, false);
    Bytes image(0x10001);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    s.download(image.data(), 0);
    EXPECT_EQ(bus->transferCount(), 0u);
    s.download(image.data(), static_cast<uint32_t>(image.size()));
    auto t = bus->transfers();
    ASSERT_EQ(t.size(), 3u);
    const uint32_t sizes[] = {0x8000, 0x8000, 1};
    Bytes joined;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t[i].pipe, 0x04u);
        EXPECT_EQ(t[i].read, 0u);
        EXPECT_EQ(t[i].size, sizes[i]);
        joined.insert(joined.end(), t[i].data.begin(), t[i].data.end());
    }
    EXPECT_EQ(joined, image);

    // A device that takes a piece only in part gets the rest in the next transfer.
    bus->onTransfer([](bvu::kd::TransferRequest& r) {
        r.transferred = std::min<uint32_t>(r.size, 0x3000);
        return 0u;
    });
    s.download(image.data(), 0x8000);
    t = bus->transfers();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[5].size, 0x2000u);
    EXPECT_EQ(t[5].data, Bytes(image.begin() + 0x6000, image.begin() + 0x8000));

    // One that takes nothing ends the download instead of looping for ever.
    bus->onTransfer([](bvu::kd::TransferRequest&) { return 0u; });
    EXPECT_EQ(errorOf([&] { s.download(image.data(), 10); }),
              "USB communication error: Could not send BVR_DNLOAD to device: USBD: Trasnfer "
              "terminated with short packet");
    EXPECT_EQ(bus->transferCount(), 7u);
}

TEST_F(RunModeTest, BulkMessageGoesToEndpoint2AndAMissingPipeIsAnError) {
    USBUtils& s = open(true, false);
    s.bulkCommand(0xC0, 0x00, 0x00);
    auto t = bus->transfers();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].pipe, 0x02u);
    EXPECT_EQ(t[0].data, (Bytes{0xC0, 0x00, 0x00}));
    EXPECT_EQ(t[0].timeoutMs, 5000u);
    session.reset();

    bus = bvu::test::FakeBus::create();
    bvu::kd::setKernelDriverFactory(bus->factory());
    bus->plug(bvu::test::FakeBus::makeInfo(0x03EB, 0x3014, 0, {0x81}));
    USBUtils& noPipes = open(false, false);
    noPipes.waitForDevice();
    EXPECT_EQ(errorOf([&] { noPipes.bulkCommand(1, 2, 3); }),
              "USB communication error: Could not find USB pipe.");
    EXPECT_EQ(errorOf([&] { noPipes.download("x", 1); }),
              "USB communication error: Could not find USB pipe.");
    EXPECT_EQ(bus->transferCount(), 0u);
}

TEST_F(RunModeTest, EnterDfuModeByRelease) {
    open(true, false);
    Bytes descriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0xEB, 0x03, 0x14, 0x30, 0x07, 0x01, 1, 2, 3, 1};
    reply(0x80, 6, 0x0100, [&](int) { return descriptor; });
    EXPECT_GE(nominalMs([&] { session->enterDfuMode(); }), 100);
    auto t = bus->transfers();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].pipe, 0x02u);
    EXPECT_EQ(t[1].data, (Bytes{0xC0, 0x00, 0x00}));

    descriptor[13] = 2;
    EXPECT_GE(nominalMs([&] { session->enterDfuMode(); }), 100);
    EXPECT_EQ(controls().back(), (Bytes{0x20, 1, 4, 6, 0, 0, 0, 0}));
    EXPECT_EQ(bus->transferCount(), 4u);
}

TEST_F(RunModeTest, EnterDfuModeSendsNothingToABootloaderAndWaitsForAnAbsentDevice) {
    open(false, true);
    session->enterDfuMode();
    EXPECT_EQ(bus->transferCount(), 0u);
    session.reset();

    bus = bvu::test::FakeBus::create();  // nothing on the bus
    bvu::kd::setKernelDriverFactory(bus->factory());
    open(false, false);
    std::string error;
    double ms = nominalMs([&] { error = errorOf([&] { session->enterDfuMode(); }); });
    EXPECT_EQ(error, "USB communication error: Waiting for USB device to attach: Timeout expired");
    EXPECT_GE(ms, 10000);  // the request's wait for the run-mode device
}

TEST_F(RunModeTest, StartApplicationFromTheBootloaderThenWaitsSevenSeconds) {
    open(false, true);
    EXPECT_GE(nominalMs([&] { session->startApplication(1); }), 7000);
    auto c = controls();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], (Bytes{0x21, 1, 0xFE, 0, 4, 0, 5, 0, 0x04, 0x03, 0x01, 0x00, 0x00}));
    EXPECT_EQ(c[1], (Bytes{0x21, 1, 0xFD, 0, 4, 0, 0, 0}));

    // Without the wait; on a clock at full scale, where the seven seconds would be real ones.
    bvu::clock::setTimeScaleForTests(1.0);
    EXPECT_LT(nominalMs([&] { session->startApplication(0); }), 3500);
    EXPECT_EQ(controls().size(), 4u);
}

TEST_F(RunModeTest, StartApplicationLeavesARunningDeviceAlone) {
    open(true, false);
    bvu::clock::setTimeScaleForTests(1.0);  // the seven seconds would be real ones
    EXPECT_LT(nominalMs([&] { session->startApplication(1); }), 3500);
    EXPECT_EQ(bus->transferCount(), 0u);
}

}  // namespace
