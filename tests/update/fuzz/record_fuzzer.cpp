// libFuzzer: a whole plain record, read as the firmware updaters read it.
#include <cstddef>
#include <cstdint>

#include "update/image_record.h"
#include "usb/bvexbase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        bvu::image::RecordView v = bvu::image::parseRecord(data, size);
        if (v.isPacked())
            unpackImage(v.data, v.packedLength, v.rawLength);
    } catch (const BVExBase&) {
    }
    return 0;
}
