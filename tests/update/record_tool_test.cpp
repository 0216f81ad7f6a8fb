// The build machine's side of the records: packing, record building and sealing, checked
// against the updater's own reading of them.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>

#include "tools/records/record_builder.h"
#include "update/image_provider.h"
#include "usb/bvexbase.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace bvu::records;

Bytes roundTrip(const Bytes& image) {
    Bytes record = buildRecord(image);
    bvu::image::RecordView v = bvu::image::parseRecord(record.data(), record.size());
    if (!v.isPacked())
        return Bytes(v.data, v.data + v.rawLength);
    auto out = unpackImage(v.data, v.packedLength, v.rawLength);
    return Bytes(out.get(), out.get() + v.rawLength);
}

TEST(RecordToolTest, RecordsArePackedOnlyWhereThatIsShorter) {
    std::mt19937 random(7);
    Bytes noise(5000);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    Bytes runs(5000, 0xFF);
    std::fill(runs.begin() + 1000, runs.begin() + 1003, 0x00);  // a run of three mid-way
    runs[4000] = 0x12;

    Bytes record = buildRecord(noise);
    EXPECT_EQ(record.size(), 8u + 5000u);  // raw: packing would only grow it
    EXPECT_EQ(Bytes(record.begin() + 8, record.end()), noise);
    record = buildRecord(runs);
    EXPECT_LT(record.size(), 200u);

    // Two bytes packed are a literal run of two: three bytes, longer than raw.
    EXPECT_EQ(buildRecord({0xAA, 0xAA}), Bytes({2, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xAA}));
    // Three equal bytes pack to two.
    EXPECT_EQ(buildRecord({0xAA, 0xAA, 0xAA}), Bytes({3, 0, 0, 0, 2, 0, 0, 0, 0x03, 0xAA}));

    for (const Bytes& image : {noise, runs, Bytes(1, 0), Bytes(128, 1), Bytes(381, 9)})
        EXPECT_EQ(roundTrip(image), image);
    EXPECT_THROW(buildRecord({}), std::runtime_error);
}

TEST(RecordToolTest, SealedSlotsOpenWithTheirKeyKindAndVersionOnly) {
    Bytes key = parseKey(std::string(64, 'a'));
    std::vector<char> version = versionField("1.12");
    Bytes record = buildRecord(Bytes(20000, 0x42));
    Bytes slot = sealRecord(ImageKind::Control, version, record, key.data());
    ASSERT_EQ(slot.size(), bvu::sealed::kControlSlotSize);
    EXPECT_EQ(bvu::sealed::openSlot(ImageKind::Control, slot.data(), slot.size(), version.data(),
                                    key.data()),
              record);
    // Deterministic, and a different record gets a different nonce.
    EXPECT_EQ(sealRecord(ImageKind::Control, version, record, key.data()), slot);
    Bytes other =
        sealRecord(ImageKind::Control, version, buildRecord(Bytes(20000, 0x43)), key.data());
    EXPECT_NE(Bytes(other.begin() + 8, other.begin() + 20),
              Bytes(slot.begin() + 8, slot.begin() + 20));

    std::vector<char> otherVersion = versionField("1.13");
    EXPECT_THROW(bvu::sealed::openSlot(ImageKind::Control, slot.data(), slot.size(),
                                       otherVersion.data(), key.data()),
                 BVExBase);
}

TEST(RecordToolTest, CapacitiesAndTextsAreEnforced) {
    Bytes key = parseKey(std::string(64, '0'));
    std::vector<char> version = versionField("1.02");
    Bytes atCapacity(bvu::image::kVideoRecordCapacity, 0x5A);
    Bytes slot = sealRecord(ImageKind::Video, version, atCapacity, key.data());
    EXPECT_EQ(bvu::sealed::openSlot(ImageKind::Video, slot.data(), slot.size(), version.data(),
                                    key.data()),
              atCapacity);
    atCapacity.push_back(0);
    EXPECT_THROW(sealRecord(ImageKind::Video, version, atCapacity, key.data()), std::runtime_error);
    EXPECT_THROW(sealRecord(ImageKind::Control, version,
                            Bytes(bvu::image::kControlRecordCapacity + 1), key.data()),
                 std::runtime_error);

    EXPECT_EQ(versionField("1.0.0.7"), std::vector<char>({'1', '.', '0', '.', '0', '.', '7', 0}));
    EXPECT_THROW(versionField("1.0.0.10"), std::runtime_error);
    EXPECT_THROW(versionField(""), std::runtime_error);
    EXPECT_THROW(versionField("1 2"), std::runtime_error);
    EXPECT_THROW(parseKey(std::string(63, 'a')), std::runtime_error);
    EXPECT_THROW(parseKey(std::string(64, 'g')), std::runtime_error);
}

}  // namespace
