#include "update/image_provider.h"

#include "usb/bvexbase.h"

ImageProvider::~ImageProvider() = default;

namespace bvu {

SealedImageProvider::SealedImageProvider(const uint8_t* data, size_t size, const uint8_t* key)
    : data_(data), size_(size), key_(key) {}

std::vector<unsigned char> SealedImageProvider::imageRecord(ImageKind kind) const {
    const size_t slot = layout::slotOffset(kind);
    const size_t slotSize = sealed::slotSize(kind);
    if (data_ == nullptr || size_ < slot + slotSize) {
        // Data cut short: openSlot refuses the missing slot with its usual text.
        static const char none[sealed::kVersionSize] = {};
        return sealed::openSlot(kind, nullptr, 0, none, key_);
    }
    const char* version = reinterpret_cast<const char*>(data_ + layout::versionOffset(kind));
    return sealed::openSlot(kind, data_ + slot, slotSize, version, key_);
}

}  // namespace bvu
