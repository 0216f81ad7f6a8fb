// The firmware updaters with records from a test provider: what reaches the device, and the
// records refused before any request.
#include <gtest/gtest.h>

#include "tests/update/procedure_fixture.h"
#include "update/usbtarselupdater.h"

namespace bvu {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes record(uint32_t raw, uint32_t packed, const Bytes& data) {
    Bytes r(8 + data.size());
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<uint8_t>(raw >> (8 * i));
        r[4 + i] = static_cast<uint8_t>(packed >> (8 * i));
    }
    std::copy(data.begin(), data.end(), r.begin() + 8);
    return r;
}

class OneRecordProvider : public ImageProvider {
  public:
    explicit OneRecordProvider(Bytes record) : record_(std::move(record)) {}
    std::vector<unsigned char> imageRecord(ImageKind kind) const override {
        kinds.push_back(kind);
        return record_;
    }
    mutable std::vector<ImageKind> kinds;

  private:
    Bytes record_;
};

class FailingProvider : public ImageProvider {
  public:
    std::vector<unsigned char> imageRecord(ImageKind) const override { throw BVError("no record"); }
};

struct RecordCase {
    Bytes record;
    Bytes delivered;
};

class VideoRecordTest : public ProcedureTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(VideoRecordTest, TheDeviceReceivesTheUnpackedImage) {
    OneRecordProvider provider(GetParam().record);
    USBTarselUpdater<0> updater(provider);
    updater.update();
    EXPECT_EQ(device->downloaded(), GetParam().delivered);
    EXPECT_EQ(provider.kinds, std::vector<ImageKind>{ImageKind::Video});
}

INSTANTIATE_TEST_SUITE_P(
    Records, VideoRecordTest,
    ::testing::Values(
        RecordCase{record(5, 5, {0x11, 0x22, 0x33, 0x44, 0x55}), {0x11, 0x22, 0x33, 0x44, 0x55}},
        // Equal lengths: sent as they stand, although the bytes would unpack.
        RecordCase{record(5, 5, {0x03, 0xAA, 0x82, 0x01, 0x02}), {0x03, 0xAA, 0x82, 0x01, 0x02}},
        RecordCase{record(6, 5, {0x04, 0xAA, 0x82, 0x01, 0x02}), {0xAA, 0xAA, 0xAA, 0xAA, 1, 2}},
        RecordCase{record(4, 5, {0x02, 0x00, 0x82, 0x01, 0x02}), {0x00, 0x00, 0x01, 0x02}}));

TEST_F(ProcedureTest, TheControlUpdaterProgramsTheUnpackedImage) {
    // 4000 bytes: a run of 3000 and 1000 literal bytes.
    Bytes packed, image(3000, 0xC3);
    for (int i = 0; i < 3000 / 100; ++i) packed.insert(packed.end(), {100, 0xC3});
    for (int i = 0; i < 1000; ++i) image.push_back(static_cast<uint8_t>(i));
    for (int i = 0; i < 1000; i += 100) {
        packed.push_back(0x80 + 100);
        packed.insert(packed.end(), image.begin() + 3000 + i, image.begin() + 3100 + i);
    }
    OneRecordProvider provider(record(4000, static_cast<uint32_t>(packed.size()), packed));
    USBTarselUpdater<1> updater(provider);
    updater.update();
    auto blocks = device->programmed();
    ASSERT_EQ(blocks.size(), 2u);
    Bytes flashed = blocks[0];
    flashed.insert(flashed.end(), blocks[3072].begin(), blocks[3072].end());
    EXPECT_EQ(flashed, image);
    EXPECT_EQ(provider.kinds, std::vector<ImageKind>{ImageKind::Control});
}

TEST_F(ProcedureTest, RecordsThatCannotBeWrittenAreRefusedBeforeAnyRequest) {
    struct Case {
        const char* what;
        Bytes record;
        int kind;
        std::string error;
    } cases[] = {
        {"empty image", record(0, 0, {}), 0, "The firmware image is empty."},
        {"no header", Bytes(5, 1), 1, "The firmware image record is malformed: it has no header."},
        {"data cut short", record(9, 9, {1, 2, 3}), 0,
         "The firmware image record is malformed: its data is cut short."},
        {"repeated run without value", record(8, 3, {0x04, 0xAA, 0x04}), 0,
         "The packed firmware image is malformed: a repeated run has no value byte."},
        {"unpacks short", record(9, 2, {0x04, 0xAA}), 1,
         "The packed firmware image is malformed: it unpacks to less than its length."},
        // 65,537 bytes would wrap the 16-bit block addresses round to the start of the flash.
        {"control image too long", record(65537, 2, {0x7F, 0x00}), 1,
         "The control firmware image is too long: 65537 bytes, of which the bootloader can "
         "address only 65536."},
        {"control record over capacity", record(32773, 32773, Bytes(32773, 1)), 1,
         "The firmware image record is malformed: it is larger than the program can carry."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OneRecordProvider provider(c.record);
        if (c.kind == 0) {
            USBTarselUpdater<0> updater(provider);
            EXPECT_EQ(errorOf([&] { updater.update(); }), c.error);
        } else {
            USBTarselUpdater<1> updater(provider);
            EXPECT_EQ(errorOf([&] { updater.update(); }), c.error);
        }
    }
    FailingProvider failing;
    USBTarselUpdater<1> updater(failing);
    EXPECT_EQ(errorOf([&] { updater.update(); }), "no record");
    EXPECT_EQ(bus->transferCount(), 0u);
}

}  // namespace
}  // namespace test
}  // namespace bvu
