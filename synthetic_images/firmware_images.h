// Synthetic firmware images for the device's two flashes, and their recognition.
//
// Nobody on the team has the vendor's images, so the updater carries and the emulated device
// holds images made here: deterministic for a given version text, realistic in size and shape,
// and ending in a 32-byte trailer from which the device recognises a complete image and reads
// its version:
//
//   offset  size  field
//        0     4  magic "BVFW"
//        4     1  kind: 'C' control firmware, 'V' video firmware
//        5     1  trailer format, 1
//        6     2  0
//        8    16  version text, NUL padded (at most 15 characters)
//       24     4  length of the whole image including the trailer, little-endian
//       28     4  CRC-32 (IEEE 802.3) of every byte of the image before this field, LE
//
// An image is complete when it starts at the first byte of a flash and its trailer is intact;
// what follows it in the flash (erased 0xFF bytes) does not matter. A flash that was only
// partly written, or written at the wrong place, has no valid trailer and is not recognised.
//
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bvu {
namespace firmware {

enum class ImageKind : uint8_t { Control = 'C', Video = 'V' };

constexpr size_t kControlFlashSize = 32768;  // the control processor's flash
constexpr size_t kTrailerSize = 32;
constexpr size_t kMaxVersionLength = 15;

// The control firmware image of a version: 20 to 30 KB of code-like bytes (never a multiple of
// the 3,072-byte DFU block), the version text near its start, the trailer at its end.
// Throws std::invalid_argument for an empty version or one longer than 15 characters.
std::vector<uint8_t> makeControlImage(const std::string& version);

// The video firmware image (an FPGA configuration bitstream) of a version: about 900 KB with
// long runs of 0x00 and 0xFF between data frames, the version text in its header, the trailer
// at its end. Throws std::invalid_argument like makeControlImage.
std::vector<uint8_t> makeVideoImage(const std::string& version);

struct ImageInfo {
    ImageKind kind = ImageKind::Control;
    std::string version;
    size_t length = 0;  // bytes of the image, trailer included
};

// Recognises a complete image starting at data[0] (see above). Returns false when there is
// none; *info is written only on success.
bool identifyImage(const uint8_t* data, size_t size, ImageInfo* info);
inline bool identifyImage(const std::vector<uint8_t>& data, ImageInfo* info) {
    return identifyImage(data.data(), data.size(), info);
}

// The video firmware's version byte as the device reports it: major in bits 7-5, minor in bits
// 4-0, for a text "X.YY" with X at most 7 and YY at most 31. False for any other text.
bool packVideoVersion(const std::string& version, uint8_t* packed);

// CRC-32 (IEEE 802.3, reflected, as zip uses it); pass the previous result to continue.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous = 0);

}  // namespace firmware
}  // namespace bvu
