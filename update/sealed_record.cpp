#include "update/sealed_record.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "usb/bvexbase.h"

namespace bvu {
namespace sealed {
namespace {

const uint8_t kMagic[4] = {'B', 'V', 'R', '1'};

[[noreturn]] void damaged(ImageKind kind) {
    // One text for every way a slot can fail: which check caught it helps nobody, and a
    // distinct answer per check would only help someone forging a record.
    throw BVError(std::string("The ") + image::kindName(kind) +
                  " firmware record carried by this program is damaged: it failed "
                  "authentication.");
}

}  // namespace

size_t slotSize(ImageKind kind) {
    return kind == ImageKind::Video ? kVideoSlotSize : kControlSlotSize;
}

std::vector<uint8_t> associatedData(ImageKind kind, const uint8_t* slotHeader,
                                    const char version[kVersionSize]) {
    std::vector<uint8_t> aad(slotHeader, slotHeader + 8);
    aad.push_back(static_cast<uint8_t>(kind));
    aad.insert(aad.end(), version, version + kVersionSize);
    return aad;
}

std::vector<uint8_t> openSlot(ImageKind kind, const uint8_t* slot, size_t size,
                              const char version[kVersionSize], const uint8_t key[kKeySize]) {
    if (slot == nullptr || size != slotSize(kind))
        damaged(kind);
    if (std::memcmp(slot, kMagic, sizeof kMagic) != 0)
        damaged(kind);
    size_t length = static_cast<size_t>(slot[4]) | static_cast<size_t>(slot[5]) << 8 |
                    static_cast<size_t>(slot[6]) << 16 | static_cast<size_t>(slot[7]) << 24;
    if (length < image::kRecordHeaderSize || length > image::recordCapacity(kind) ||
        length > size - kSlotHeaderSize)
        damaged(kind);
    const uint8_t* cipher = slot + kSlotHeaderSize;
    if (std::any_of(cipher + length, slot + size, [](uint8_t b) { return b != 0; }))
        damaged(kind);

    std::vector<uint8_t> aad = associatedData(kind, slot, version);
    std::vector<uint8_t> plain(length);
    if (!aesGcmDecipher(key, slot + 8, aad.data(), aad.size(), cipher, length, slot + 20,
                        plain.data())) {
        // Unauthenticated plain text must not leave this function, not even by accident.
        std::fill(plain.begin(), plain.end(), 0);
        damaged(kind);
    }
    return plain;
}

}  // namespace sealed
}  // namespace bvu
