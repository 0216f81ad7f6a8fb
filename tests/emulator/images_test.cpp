// The synthetic firmware images, their recognition, and the digests the tool shows.
#include <gtest/gtest.h>

#include <string>

#include "emulator/sha256.h"
#include "synthetic_images/firmware_images.h"

namespace bvu {
namespace firmware {
namespace {

size_t bytesInLongRuns(const std::vector<uint8_t>& v, size_t minRun) {
    size_t total = 0;
    for (size_t i = 0; i < v.size();) {
        size_t j = i;
        while (j < v.size() && v[j] == v[i]) ++j;
        if (j - i >= minRun)
            total += j - i;
        i = j;
    }
    return total;
}

TEST(FirmwareImages, ControlImagesAreDeterministicRealisticAndRecognised) {
    const std::vector<uint8_t> a = makeControlImage("1.12");
    EXPECT_EQ(a, makeControlImage("1.12"));
    EXPECT_NE(a, makeControlImage("1.09"));
    EXPECT_GE(a.size(), 20000u);
    EXPECT_LE(a.size(), 30000u);
    EXPECT_NE(a.size() % 3072, 0u);
    EXPECT_LE(makeControlImage("9.99-long-text").size(), kControlFlashSize);
    const std::string image(a.begin(), a.end());
    EXPECT_NE(image.find("Brevicor control firmware 1.12"), std::string::npos);
    ImageInfo info;
    ASSERT_TRUE(identifyImage(a, &info));
    EXPECT_EQ(info.kind, ImageKind::Control);
    EXPECT_EQ(info.version, "1.12");
    EXPECT_EQ(info.length, a.size());
}

TEST(FirmwareImages, VideoImagesHaveLongRunsAndAreRecognised) {
    const std::vector<uint8_t> v = makeVideoImage("1.02");
    EXPECT_EQ(v, makeVideoImage("1.02"));
    EXPECT_GE(v.size(), 850000u);
    EXPECT_LE(v.size(), 950000u);
    EXPECT_GT(bytesInLongRuns(v, 256), v.size() / 2);  // run-length packing pays off
    ImageInfo info;
    ASSERT_TRUE(identifyImage(v, &info));
    EXPECT_EQ(info.kind, ImageKind::Video);
    EXPECT_EQ(info.version, "1.02");
}

TEST(FirmwareImages, OnlyACompleteImageAtTheStartIsRecognised) {
    const std::vector<uint8_t> a = makeControlImage("1.12");
    std::vector<uint8_t> flash(kControlFlashSize, 0xFF);
    std::copy(a.begin(), a.end(), flash.begin());
    ImageInfo info;
    EXPECT_TRUE(identifyImage(flash, &info));  // erased bytes after it do not matter
    std::vector<uint8_t> damaged = flash;
    damaged[1000] ^= 0x01;
    EXPECT_FALSE(identifyImage(damaged, &info));
    std::vector<uint8_t> partial(kControlFlashSize, 0xFF);
    std::copy(a.begin(), a.begin() + 3072 * 5, partial.begin());
    EXPECT_FALSE(identifyImage(partial, &info));
    std::vector<uint8_t> shifted(kControlFlashSize, 0xFF);
    std::copy(a.begin(), a.end(), shifted.begin() + 0x100);
    EXPECT_FALSE(identifyImage(shifted, &info));
    EXPECT_FALSE(identifyImage(std::vector<uint8_t>(kControlFlashSize, 0xFF), &info));
    EXPECT_FALSE(identifyImage(std::vector<uint8_t>{}, &info));
}

TEST(FirmwareImages, RefusesUnusableVersionTexts) {
    EXPECT_THROW(makeControlImage(""), std::invalid_argument);
    EXPECT_THROW(makeVideoImage("0123456789abcdef"), std::invalid_argument);
}

TEST(FirmwareImages, PackedVideoVersions) {
    uint8_t p = 0;
    ASSERT_TRUE(packVideoVersion("1.02", &p));
    EXPECT_EQ(p, 0x22);
    ASSERT_TRUE(packVideoVersion("2.02", &p));
    EXPECT_EQ(p, 0x42);
    ASSERT_TRUE(packVideoVersion("7.31", &p));
    EXPECT_EQ(p, 0xFF);
    EXPECT_FALSE(packVideoVersion("8.00", &p));
    EXPECT_FALSE(packVideoVersion("1.32", &p));
    EXPECT_FALSE(packVideoVersion("1.2", &p));
    EXPECT_FALSE(packVideoVersion("1,02", &p));
}

TEST(EmuDigests, Crc32AndSha256KnownAnswers) {
    const std::string nine = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(nine.data()), nine.size()), 0xCBF43926u);
    auto sha = [](const std::string& s) {
        return emulator::sha256Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace firmware
}  // namespace bvu
