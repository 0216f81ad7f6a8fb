// The firmware image records the updater carries, and their run-length unpacking.
//
// A plain image record (integers little-endian):
//   0  rawLength     u32  length of the image as the device receives it
//   4  packedLength  u32  length of the data that follows
//   8  data               the image: raw when packedLength == rawLength, run-length packed
//                         otherwise
//
// Packed data is a sequence of runs, each opened by a control byte c:
//   c >= 0x80  literal run: the next c - 0x80 bytes are copied as they stand
//   c <  0x80  repeated run: the next byte is written c times
// The count is the low seven bits in both cases, without a bias of one, so 0x80 and 0x00 produce
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/shared_array.hpp>

enum class ImageKind : int { Video = 0, Control = 1 };

namespace bvu {
namespace image {

constexpr size_t kRecordHeaderSize = 8;

// Largest plain record of each kind that the program can carry.
constexpr size_t kVideoRecordCapacity = 913472;
constexpr size_t kControlRecordCapacity = 32780;

// The control firmware is programmed in blocks whose start and end addresses are 16 bits wide:
// a longer image would wrap round and overwrite the start of the flash.
constexpr int kControlImageLimit = 65536;

size_t recordCapacity(ImageKind kind);
// "video" or "control", for messages.
const char* kindName(ImageKind kind);

// A checked look at a plain record; data points into the record.
struct RecordView {
    int rawLength = 0;
    int packedLength = 0;
    const unsigned char* data = nullptr;
    bool isPacked() const { return packedLength != rawLength; }
};

// Reads and checks a plain record's header. Throws BVExBase when the record is shorter than its
// header or than the data its header announces, or announces an empty image or lengths that do
// not fit an int.
RecordView parseRecord(const unsigned char* record, size_t size);

// Throws BVExBase unless a control image of this length can be addressed by the bootloader.
void checkControlImageLength(int rawLength);

}  // namespace image
}  // namespace bvu

// Unpacks run-length packed data into a new buffer of exactly rawLength bytes. Throws BVExBase,
// without reading or writing a byte outside the two buffers, when the data is malformed: a run
// that would write past rawLength, a literal run longer than what is left of the data, a
// repeated run without its value byte, or runs that fill fewer than rawLength bytes. rawLength
// must be above 0 and packedLength not negative.
boost::shared_array<unsigned char> unpackImage(const unsigned char* packed, int packedLength,
                                               int rawLength);
