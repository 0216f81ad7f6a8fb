#include "update/embedded_images.h"

#include <cstring>

namespace bvu {
namespace embedded {

std::string carriedVersion(ImageKind kind) {
    const char* text = reinterpret_cast<const char*>(imageData + layout::versionOffset(kind));
    return std::string(text, strnlen(text, sealed::kVersionSize));
}

const ImageProvider& imageProvider() {
    static const SealedImageProvider provider(imageData, layout::kImageDataSize, recordKey);
    return provider;
}

}  // namespace embedded
}  // namespace bvu
