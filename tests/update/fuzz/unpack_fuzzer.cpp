// libFuzzer: unpackImage against the plain reading. Input: rawLength (2 bytes, little-endian),
// then the packed data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/update/reference_unpack.h"
#include "update/image_record.h"
#include "usb/bvexbase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int rawLength = data[0] | data[1] << 8;
    const std::vector<uint8_t> packed(data + 2, data + size);
    auto expected = bvu::test::referenceUnpack(packed, rawLength);
    try {
        auto image = unpackImage(packed.data(), static_cast<int>(packed.size()), rawLength);
        if (!expected || std::vector<uint8_t>(image.get(), image.get() + rawLength) != *expected)
            std::abort();
    } catch (const BVExBase&) {
        if (expected)
            std::abort();
    }
    return 0;
}
