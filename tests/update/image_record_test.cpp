// Plain image records: header checks and run-length unpacking, including every way packed data
// can be malformed.
#include <gtest/gtest.h>

#include <vector>

#include "update/image_record.h"
#include "usb/bvexbase.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unpack(const Bytes& packed, int rawLength) {
    auto out = unpackImage(packed.data(), static_cast<int>(packed.size()), rawLength);
    return Bytes(out.get(), out.get() + rawLength);
}

std::string unpackError(const Bytes& packed, int rawLength) {
    try {
        unpack(packed, rawLength);
    } catch (const BVExBase& e) {
        return e.message();
    }
    return "(unpacked)";
}

TEST(UnpackImageTest, RunsInBothDirections) {
    EXPECT_EQ(unpack({0x04, 0xAA, 0x82, 0x01, 0x02}, 6), Bytes({0xAA, 0xAA, 0xAA, 0xAA, 1, 2}));
    EXPECT_EQ(unpack({0x02, 0x00, 0x82, 0x01, 0x02}, 4), Bytes({0x00, 0x00, 0x01, 0x02}));
    // An empty literal run and an empty repeated run produce nothing.
    EXPECT_EQ(unpack({0x80, 0x00, 0x41, 0x7F, 0x55}, 127), Bytes(127, 0x55));
    // The longest runs of each kind.
    Bytes literal(1, 0xFF);
    for (int i = 0; i < 127; ++i) literal.push_back(static_cast<uint8_t>(i));
    Bytes expected(literal.begin() + 1, literal.end());
    expected.insert(expected.end(), 127, 0xEE);
    literal.push_back(0x7F);
    literal.push_back(0xEE);
    EXPECT_EQ(unpack(literal, 254), expected);
}

TEST(UnpackImageTest, MalformedDataIsRefusedWithoutTouchingOtherBytes) {
    const std::string prefix = "The packed firmware image is malformed: ";
    struct Case {
        Bytes packed;
        int rawLength;
        const char* why;
    } cases[] = {
        {{0x05, 0xAA}, 4, "it unpacks to more than its length."},
        {{0x83, 1, 2, 3}, 2, "it unpacks to more than its length."},
        {{0x83, 1, 2}, 3, "a literal run runs past its end."},
        {{0x81}, 1, "a literal run runs past its end."},
        {{0x82, 1, 2, 0x04}, 6, "a repeated run has no value byte."},
        {{0x02, 0xAA}, 3, "it unpacks to less than its length."},
        {{}, 1, "it unpacks to less than its length."},
        {{0x80, 0x00}, 1, "a repeated run has no value byte."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.packed));
        EXPECT_EQ(unpackError(c.packed, c.rawLength), prefix + c.why);
    }
    EXPECT_EQ(unpackError({0x01, 0x00}, 0), "The firmware image is empty.");
    EXPECT_THROW(unpackImage(nullptr, 4, 4), BVExBase);
    EXPECT_THROW(unpackImage(Bytes{1, 2}.data(), -1, 4), BVExBase);
}

TEST(UnpackImageTest, AHugeAnnouncedLengthIsRefusedBeforeItIsAllocated) {
    // 2 GB announced, a few bytes of data: refused without trying to allocate the output.
    EXPECT_EQ(unpackError({0x7F, 0x00}, 0x7FFFFFFF),
              "The packed firmware image is malformed: it unpacks to less than its length.");
}

Bytes record(uint32_t raw, uint32_t packed, const Bytes& data) {
    Bytes r(8 + data.size());
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<uint8_t>(raw >> (8 * i));
        r[4 + i] = static_cast<uint8_t>(packed >> (8 * i));
    }
    std::copy(data.begin(), data.end(), r.begin() + 8);
    return r;
}

TEST(ImageRecordTest, HeaderIsReadLittleEndianAndChecked) {
    Bytes r = record(0x00010203, 3, {9, 9, 9});
    bvu::image::RecordView v = bvu::image::parseRecord(r.data(), r.size());
    EXPECT_EQ(v.rawLength, 0x00010203);
    EXPECT_EQ(v.packedLength, 3);
    EXPECT_EQ(v.data, r.data() + 8);
    EXPECT_TRUE(v.isPacked());
    Bytes raw = record(5, 5, {3, 0xAA, 0x82, 1, 2});
    EXPECT_FALSE(bvu::image::parseRecord(raw.data(), raw.size()).isPacked());

    auto error = [](const Bytes& r) {
        try {
            bvu::image::parseRecord(r.data(), r.size());
        } catch (const BVExBase& e) {
            return e.message();
        }
        return std::string("(accepted)");
    };
    const std::string prefix = "The firmware image record is malformed: ";
    EXPECT_EQ(error(Bytes(7, 0)), prefix + "it has no header.");
    EXPECT_EQ(error(record(0, 0, {})), "The firmware image is empty.");
    EXPECT_EQ(error(record(4, 5, {1, 2, 3, 4})), prefix + "its data is cut short.");
    EXPECT_EQ(error(record(0x80000000u, 1, {1})), prefix + "its lengths are out of range.");
    EXPECT_EQ(error(record(1, 0xFFFFFFFFu, {1})), prefix + "its lengths are out of range.");
}

TEST(ImageRecordTest, ControlImagesMustFitTheBootloadersAddresses) {
    EXPECT_NO_THROW(bvu::image::checkControlImageLength(65536));
    EXPECT_THROW(bvu::image::checkControlImageLength(65537), BVExBase);
    EXPECT_THROW(bvu::image::checkControlImageLength(0), BVExBase);
}

}  // namespace
