// Where the firmware updaters get their plain image records from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "update/image_record.h"
#include "update/sealed_record.h"

class ImageProvider {
  public:
    virtual ~ImageProvider();
    // The plain image record of that kind (at most bvu::image::recordCapacity(kind) bytes),
    // owned by the caller. Throws BVExBase when there is none to give. Touches no device.
    virtual std::vector<unsigned char> imageRecord(ImageKind kind) const = 0;
};

namespace bvu {

// Image data as the program carries it, in this order: the video version text (8 bytes, NUL
// padded), the sealed video record (sealed::kVideoSlotSize bytes), the control version text, the
// sealed control record (sealed::kControlSlotSize bytes).
namespace layout {
constexpr size_t kVideoVersionOffset = 0;
constexpr size_t kVideoSlotOffset = kVideoVersionOffset + sealed::kVersionSize;
constexpr size_t kControlVersionOffset = kVideoSlotOffset + sealed::kVideoSlotSize;
constexpr size_t kControlSlotOffset = kControlVersionOffset + sealed::kVersionSize;
constexpr size_t kImageDataSize = kControlSlotOffset + sealed::kControlSlotSize;

inline size_t versionOffset(ImageKind kind) {
    return kind == ImageKind::Video ? kVideoVersionOffset : kControlVersionOffset;
}
inline size_t slotOffset(ImageKind kind) {
    return kind == ImageKind::Video ? kVideoSlotOffset : kControlSlotOffset;
}
}  // namespace layout

// Opens the sealed records of image data laid out as above. The data and the key are not
// copied: they must outlive the provider. imageRecord throws BVExBase when a record fails its
// authentication (corrupted, cut short, tampered with). Thread-safe.
class SealedImageProvider : public ImageProvider {
  public:
    SealedImageProvider(const uint8_t* data, size_t size, const uint8_t* key);
    std::vector<unsigned char> imageRecord(ImageKind kind) const override;

  private:
    const uint8_t* data_;
    size_t size_;
    const uint8_t* key_;
};

}  // namespace bvu
