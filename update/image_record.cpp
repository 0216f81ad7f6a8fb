#include "update/image_record.h"

#include <climits>
#include <cstring>
#include <string>

#include "usb/bvexbase.h"

namespace bvu {
namespace image {
namespace {

uint32_t readLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

[[noreturn]] void malformedRecord(const std::string& why) {
    throw BVError("The firmware image record is malformed: " + why + ".");
}

}  // namespace

size_t recordCapacity(ImageKind kind) {
    return kind == ImageKind::Video ? kVideoRecordCapacity : kControlRecordCapacity;
}

const char* kindName(ImageKind kind) {
    return kind == ImageKind::Video ? "video" : "control";
}

RecordView parseRecord(const unsigned char* record, size_t size) {
    if (record == nullptr || size < kRecordHeaderSize)
        malformedRecord("it has no header");
    uint32_t raw = readLe32(record);
    uint32_t packed = readLe32(record + 4);
    if (raw == 0)
        throw BVError("The firmware image is empty.");
    if (raw > INT_MAX || packed > INT_MAX)
        malformedRecord("its lengths are out of range");
    if (packed > size - kRecordHeaderSize)
        malformedRecord("its data is cut short");
    RecordView view;
    view.rawLength = static_cast<int>(raw);
    view.packedLength = static_cast<int>(packed);
    view.data = record + kRecordHeaderSize;
    return view;
}

void checkControlImageLength(int rawLength) {
    if (rawLength <= 0)
        throw BVError("The firmware image is empty.");
    if (rawLength > kControlImageLimit) {
        throw BVError("The control firmware image is too long: " + std::to_string(rawLength) +
                      " bytes, of which the bootloader can address only " +
                      std::to_string(kControlImageLimit) + ".");
    }
}

}  // namespace image
}  // namespace bvu

namespace {

[[noreturn]] void malformedData(const char* why) {
    throw BVError(std::string("The packed firmware image is malformed: ") + why + ".");
}

// One pass over the runs. With out == nullptr it only checks that the runs fill exactly
// rawLength bytes; with a buffer of rawLength bytes it also fills it. Both passes make the same
// checks, so nothing outside either buffer is touched whatever the data.
void walkRuns(const unsigned char* packed, int packedLength, int rawLength, unsigned char* out) {
    int pos = 0;
    int written = 0;
    while (pos < packedLength) {
        unsigned c = packed[pos];
        if (c >= 0x80) {
            int n = static_cast<int>(c - 0x80);
            if (n > packedLength - pos - 1)
                malformedData("a literal run runs past its end");
            if (n > rawLength - written)
                malformedData("it unpacks to more than its length");
            if (out != nullptr && n > 0)
                std::memcpy(out + written, packed + pos + 1, n);
            written += n;
            pos += n + 1;
        } else {
            int n = static_cast<int>(c);
            if (pos + 1 >= packedLength)
                malformedData("a repeated run has no value byte");
            if (n > rawLength - written)
                malformedData("it unpacks to more than its length");
            if (out != nullptr && n > 0)
                std::memset(out + written, packed[pos + 1], n);
            written += n;
            pos += 2;
        }
    }
    if (written != rawLength)
        malformedData("it unpacks to less than its length");
}

}  // namespace

boost::shared_array<unsigned char> unpackImage(const unsigned char* packed, int packedLength,
                                               int rawLength) {
    if (rawLength <= 0)
        throw BVError("The firmware image is empty.");
    if (packedLength < 0 || (packed == nullptr && packedLength > 0))
        malformedData("its length is out of range");
    // Check first, allocate after: a damaged header must not cost a huge allocation.
    walkRuns(packed, packedLength, rawLength, nullptr);
    boost::shared_array<unsigned char> image(new unsigned char[rawLength]);
    walkRuns(packed, packedLength, rawLength, image.get());
    return image;
}
