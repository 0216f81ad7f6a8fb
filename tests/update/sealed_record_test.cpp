// The carried image data: its layout, the AES-256-GCM deciphering of the platform's library,
// and the refusal of every record that fails authentication.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "synthetic_images/firmware_images.h"
#include "update/embedded_images.h"
#include "update/image_record.h"
#include "update/sealed_record.h"
#include "usb/bvexbase.h"

namespace {

using Bytes = std::vector<uint8_t>;
using bvu::SealedImageProvider;
namespace layout = bvu::layout;
namespace sealed = bvu::sealed;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The AES-256 case of the published GCM test vectors (test case 16: 60 bytes with 20
// bytes of additional data), through whichever library this platform uses.
TEST(AesGcmTest, KnownAnswerAndRefusalOfAnyChange) {
    const Bytes key = fromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    const Bytes iv = fromHex("cafebabefacedbaddecaf888");
    const Bytes aad = fromHex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    const Bytes plain = fromHex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
        "49a6b525b16aedf5aa0de657ba637b39");
    Bytes cipher = fromHex(
        "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
        "56828838c5f61e6393ba7a0abcc9f662");
    Bytes tag = fromHex("76fc6ece0f4e1768cddf8853bb2d551b");

    Bytes out(cipher.size());
    ASSERT_TRUE(sealed::aesGcmDecipher(key.data(), iv.data(), aad.data(), aad.size(), cipher.data(),
                                       cipher.size(), tag.data(), out.data()));
    EXPECT_EQ(out, plain);

    cipher[59] ^= 0x01;
    EXPECT_FALSE(sealed::aesGcmDecipher(key.data(), iv.data(), aad.data(), aad.size(),
                                        cipher.data(), cipher.size(), tag.data(), out.data()));
    cipher[59] ^= 0x01;
    tag[0] ^= 0x80;
    EXPECT_FALSE(sealed::aesGcmDecipher(key.data(), iv.data(), aad.data(), aad.size(),
                                        cipher.data(), cipher.size(), tag.data(), out.data()));
    tag[0] ^= 0x80;
    EXPECT_FALSE(sealed::aesGcmDecipher(key.data(), iv.data(), aad.data(), aad.size() - 1,
                                        cipher.data(), cipher.size(), tag.data(), out.data()));
}

Bytes carriedImage(ImageKind kind) {
    Bytes record = bvu::embedded::imageProvider().imageRecord(kind);
    bvu::image::RecordView v = bvu::image::parseRecord(record.data(), record.size());
    if (!v.isPacked())
        return Bytes(v.data, v.data + v.rawLength);
    auto image = unpackImage(v.data, v.packedLength, v.rawLength);
    return Bytes(image.get(), image.get() + v.rawLength);
}

TEST(CarriedImagesTest, LayoutVersionTextsAndLabels) {
    const uint8_t* data = bvu::embedded::imageData;
    EXPECT_EQ(Bytes(data, data + 8), Bytes({'1', '.', '0', '2', 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(data + layout::kControlVersionOffset, data + layout::kControlVersionOffset + 8),
              Bytes({'1', '.', '1', '2', 0, 0, 0, 0}));
    EXPECT_EQ(layout::kControlVersionOffset, 8u + 1124288u);
    EXPECT_EQ(layout::kImageDataSize, 8u + 1124288u + 8u + 40384u);
    EXPECT_EQ(bvu::embedded::carriedVersion(ImageKind::Video), "1.02");
    EXPECT_EQ(bvu::embedded::carriedVersion(ImageKind::Control), "1.12");
    EXPECT_STREQ(bvu::embedded::videoLabel, "FPGAData version 1.02");
    EXPECT_STREQ(bvu::embedded::controlLabel, "MicroCtlData version 1.12");
}

TEST(CarriedImagesTest, RecordsOpenToTheSyntheticImagesOfTheirVersions) {
    Bytes video = carriedImage(ImageKind::Video);
    Bytes control = carriedImage(ImageKind::Control);
    EXPECT_EQ(video, bvu::firmware::makeVideoImage("1.02"));
    EXPECT_EQ(control, bvu::firmware::makeControlImage("1.12"));
    EXPECT_LE(bvu::embedded::imageProvider().imageRecord(ImageKind::Video).size(),
              bvu::image::kVideoRecordCapacity);
}

class TamperedDataTest : public ::testing::Test {
  protected:
    Bytes data = Bytes(bvu::embedded::imageData, bvu::embedded::imageData + layout::kImageDataSize);
    Bytes key = Bytes(bvu::embedded::recordKey, bvu::embedded::recordKey + sealed::kKeySize);

    // Which kinds still open from the (changed) data.
    std::string opening(size_t size) const {
        SealedImageProvider provider(data.data(), size, key.data());
        std::string out;
        for (ImageKind kind : {ImageKind::Video, ImageKind::Control}) {
            try {
                provider.imageRecord(kind);
                out += "ok ";
            } catch (const BVExBase& e) {
                const std::string expected = std::string("The ") + bvu::image::kindName(kind) +
                                             " firmware record carried by this program is "
                                             "damaged: it failed authentication.";
                out += e.message() == expected ? "refused " : "other-error ";
            }
        }
        return out;
    }
    std::string opening() const { return opening(data.size()); }
};

TEST_F(TamperedDataTest, AnyChangedByteOfARecordOrItsVersionTextIsRefused) {
    ASSERT_EQ(opening(), "ok ok ");
    struct Place {
        const char* what;
        size_t offset;
        const char* expected;
    } places[] = {
        {"video version text", layout::kVideoVersionOffset + 2, "refused ok "},
        {"video version padding", layout::kVideoVersionOffset + 7, "refused ok "},
        {"video magic", layout::kVideoSlotOffset, "refused ok "},
        {"video length", layout::kVideoSlotOffset + 4, "refused ok "},
        {"video nonce", layout::kVideoSlotOffset + 8, "refused ok "},
        {"video tag", layout::kVideoSlotOffset + 35, "refused ok "},
        {"video ciphertext start", layout::kVideoSlotOffset + 36, "refused ok "},
        {"video ciphertext header", layout::kVideoSlotOffset + 40, "refused ok "},
        {"video slot padding", layout::kControlVersionOffset - 1, "refused ok "},
        {"control version text", layout::kControlVersionOffset, "ok refused "},
        {"control length", layout::kControlSlotOffset + 5, "ok refused "},
        {"control ciphertext", layout::kControlSlotOffset + 36 + 1000, "ok refused "},
        {"control slot padding", layout::kImageDataSize - 1, "ok refused "},
    };
    for (const Place& p : places) {
        SCOPED_TRACE(p.what);
        data[p.offset] ^= 0x01;
        EXPECT_EQ(opening(), p.expected);
        data[p.offset] ^= 0x01;
    }
}

TEST_F(TamperedDataTest, CutShortOrWrongKeyOrOneRecordInTheOthersPlace) {
    EXPECT_EQ(opening(layout::kImageDataSize - 1), "ok refused ");
    EXPECT_EQ(opening(layout::kControlVersionOffset), "ok refused ");
    EXPECT_EQ(opening(100), "refused refused ");
    EXPECT_EQ(opening(0), "refused refused ");

    // The control record's sealed length and ciphertext moved into the video slot.
    Bytes original = data;
    std::fill(data.begin() + layout::kVideoSlotOffset, data.begin() + layout::kControlVersionOffset,
              0);
    std::copy(original.begin() + layout::kControlSlotOffset, original.end(),
              data.begin() + layout::kVideoSlotOffset);
    EXPECT_EQ(opening(), "refused ok ");
    data = original;

    key[31] ^= 0x01;
    EXPECT_EQ(opening(), "refused refused ");
}

}  // namespace
