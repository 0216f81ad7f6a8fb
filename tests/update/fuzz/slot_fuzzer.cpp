// libFuzzer: damage to the carried control record. Input: pairs of (offset into the control
// version text and slot, 2 bytes little-endian; value to xor, 1 byte). Any effective change must
// be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "update/embedded_images.h"
#include "usb/bvexbase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace bvu;
    static const std::vector<uint8_t> original(embedded::imageData,
                                               embedded::imageData + layout::kImageDataSize);
    std::vector<uint8_t> data = original;
    const size_t from = layout::kControlVersionOffset;
    const size_t span = layout::kImageDataSize - from;
    for (size_t i = 0; i + 3 <= size; i += 3) {
        size_t at = from + (input[i] | input[i + 1] << 8) % span;
        data[at] ^= input[i + 2];
    }
    SealedImageProvider provider(data.data(), data.size(), embedded::recordKey);
    bool opened = true;
    try {
        provider.imageRecord(ImageKind::Control);
    } catch (const BVExBase&) {
        opened = false;
    }
    if (opened != (data == original))
        std::abort();
    return 0;
}
