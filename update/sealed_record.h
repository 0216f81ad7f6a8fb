// Sealed image records: a plain image record enciphered and authenticated with AES-256-GCM, in a
// slot of fixed size. The build-time record tool seals; the updater opens.
//
// A slot (integers little-endian):
//   0   magic        4   "BVR1"
//   4   plainLength  4   length of the plain record
//   8   nonce        12
//   20  tag          16
//   36  ciphertext   plainLength
//   ... zero bytes to the end of the slot
// The additional authenticated data is the slot's first 8 bytes, the kind's number (one byte)
// and the 8-byte version text carried beside the slot, so a record cannot be moved to the other
// kind's place, given another version text or a different length without the tag failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "update/image_record.h"

namespace bvu {
namespace sealed {

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kVersionSize = 8;  // version text, NUL-terminated and NUL-padded
constexpr size_t kSlotHeaderSize = 36;

// Slot sizes in the program's data.
constexpr size_t kVideoSlotSize = 1124288;
constexpr size_t kControlSlotSize = 40384;

size_t slotSize(ImageKind kind);

// The additional authenticated data for a slot header (its first 8 bytes).
std::vector<uint8_t> associatedData(ImageKind kind, const uint8_t* slotHeader,
                                    const char version[kVersionSize]);

// Checks and deciphers a slot of exactly slotSize(kind) bytes. Returns the plain record. Throws
// BVExBase when the slot is of the wrong size, its header is not one of ours, its length
// exceeds the kind's capacity, its padding is not zero, or authentication fails. Thread-safe.
std::vector<uint8_t> openSlot(ImageKind kind, const uint8_t* slot, size_t size,
                              const char version[kVersionSize], const uint8_t key[kKeySize]);

// The platform's AES-256-GCM deciphering (OpenSSL's libcrypto, or CNG on Windows). Writes
// length bytes to plain and returns true when the tag matches; returns false (plain then holds
// nothing of use) when it does not or the library fails.
bool aesGcmDecipher(const uint8_t key[kKeySize], const uint8_t nonce[kNonceSize],
                    const uint8_t* aad, size_t aadLength, const uint8_t* cipher, size_t length,
                    const uint8_t tag[kTagSize], uint8_t* plain);

}  // namespace sealed
}  // namespace bvu
