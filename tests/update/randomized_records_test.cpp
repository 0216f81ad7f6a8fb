// Randomized checks of everything that reads untrusted record bytes: unpacking against a plain
// reference reading, record headers, and sealed slots with random damage. The cases come from a
// fixed seed (BVU_FUZZ_SEED picks another sequence); BVU_FUZZ_SCALE multiplies their number
// (default 1: 100,000 unpackings, 100,000 headers and 5,000 damaged slots).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tests/update/reference_unpack.h"
#include "update/embedded_images.h"
#include "update/image_record.h"
#include "usb/bvexbase.h"

namespace {

using Bytes = std::vector<uint8_t>;

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

class RandomizedTest : public ::testing::Test {
  protected:
    long iterations(long normal) const { return normal * envNumber("BVU_FUZZ_SCALE", 1); }
    std::mt19937_64 random{static_cast<uint64_t>(envNumber("BVU_FUZZ_SEED", 20240611))};
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(random() % n); }
};

// Packed data that is mostly well formed (so that the unpacker gets deep), with random damage.
Bytes randomPacked(std::mt19937_64& random, long* length) {
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    Bytes packed;
    long produced = 0;
    const int runs = static_cast<int>(below(12));
    for (int i = 0; i < runs; ++i) {
        if (below(2) == 0) {
            uint8_t n = static_cast<uint8_t>(below(128));
            packed.push_back(0x80 | n);
            for (int k = 0; k < n; ++k) packed.push_back(static_cast<uint8_t>(random()));
            produced += n;
        } else {
            uint8_t n = static_cast<uint8_t>(below(128));
            packed.push_back(n);
            packed.push_back(static_cast<uint8_t>(random()));
            produced += n;
        }
    }
    switch (below(6)) {
        case 0:  // a byte changed
            if (!packed.empty())
                packed[below(packed.size())] = static_cast<uint8_t>(random());
            break;
        case 1:  // cut short
            if (!packed.empty())
                packed.resize(below(packed.size()));
            break;
        case 2:  // a stray control byte at the end
            packed.push_back(static_cast<uint8_t>(random()));
            break;
        default:
            break;
    }
    *length = produced + static_cast<long>(below(3)) - 1;  // sometimes one off either way
    if (below(20) == 0)
        *length = static_cast<long>(random() % 100000);
    return packed;
}

TEST_F(RandomizedTest, UnpackingAgreesWithThePlainReading) {
    long accepted = 0;
    const long n = iterations(100000);
    for (long i = 0; i < n; ++i) {
        long rawLength = 0;
        Bytes packed = randomPacked(random, &rawLength);
        auto expected = bvu::test::referenceUnpack(packed, rawLength);
        SCOPED_TRACE("case " + std::to_string(i));
        try {
            // A copy of exactly the packed size, so that the sanitizers see any overread.
            auto image = unpackImage(packed.empty() ? nullptr : Bytes(packed).data(),
                                     static_cast<int>(packed.size()), static_cast<int>(rawLength));
            ASSERT_TRUE(expected.has_value());
            ASSERT_EQ(Bytes(image.get(), image.get() + rawLength), *expected);
            ++accepted;
        } catch (const BVExBase&) {
            ASSERT_FALSE(expected.has_value());
        }
    }
    // Both outcomes must have been exercised for the comparison to mean anything.
    EXPECT_GT(accepted, n / 10);
    EXPECT_LT(accepted, n);
}

TEST_F(RandomizedTest, RandomRecordHeadersNeverLeadOutsideTheRecord) {
    for (long i = 0; i < iterations(100000); ++i) {
        Bytes record(below(64));
        for (auto& b : record) b = static_cast<uint8_t>(random());
        if (record.size() >= 8 && below(2) == 0) {  // plausible lengths
            const uint32_t rest = static_cast<uint32_t>(record.size() - 8);
            const uint32_t packed = below(rest + 2);
            const uint32_t raw = below(200);
            for (int k = 0; k < 4; ++k) {
                record[k] = static_cast<uint8_t>(raw >> (8 * k));
                record[4 + k] = static_cast<uint8_t>(packed >> (8 * k));
            }
        }
        try {
            bvu::image::RecordView v = bvu::image::parseRecord(record.data(), record.size());
            ASSERT_LE(static_cast<size_t>(v.packedLength) + 8, record.size());
            if (v.isPacked())
                unpackImage(v.data, v.packedLength, v.rawLength);
        } catch (const BVExBase&) {
        }
    }
}

TEST_F(RandomizedTest, DamagedSlotsAreAlwaysRefused) {
    using namespace bvu;
    const size_t size = layout::kImageDataSize;
    Bytes data(embedded::imageData, embedded::imageData + size);
    const Bytes original = data;
    const size_t from = layout::kControlVersionOffset;  // the control text and slot
    for (long i = 0; i < iterations(5000); ++i) {
        const int changes = 1 + static_cast<int>(below(4));
        for (int k = 0; k < changes; ++k) {
            size_t at = from + below(static_cast<uint32_t>(size - from));
            if (below(2) == 0)
                at = from + below(8 + 36 + 64);  // often the header
            data[at] ^= static_cast<uint8_t>(1 + below(255));
        }
        const size_t length =
            below(10) == 0 ? from + below(static_cast<uint32_t>(size - from)) : size;
        const bool unchanged = length == size && data == original;
        SealedImageProvider provider(data.data(), length, embedded::recordKey);
        if (unchanged) {
            EXPECT_NO_THROW(provider.imageRecord(ImageKind::Control));
        } else {
            EXPECT_THROW(provider.imageRecord(ImageKind::Control), BVExBase) << "case " << i;
        }
        std::copy(original.begin() + from, original.end(), data.begin() + from);
    }
}

}  // namespace
