// Building and sealing the image records that the updater carries (build machine only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/image_record.h"
#include "update/sealed_record.h"

namespace bvu {
namespace records {

// Run-length packs an image (the format of update/image_record.h). Runs of three or more equal
// bytes become repeated runs; everything else goes into literal runs of up to 127 bytes.
std::vector<uint8_t> packRuns(const std::vector<uint8_t>& image);

// The plain record of an image: packed where that is shorter, raw otherwise (a packed form of
// the same length would read as raw). Throws std::runtime_error for an empty image.
std::vector<uint8_t> buildRecord(const std::vector<uint8_t>& image);

// The version text as carried: NUL-terminated, NUL-padded to 8 bytes. Throws std::runtime_error
// for an empty text, one of more than 7 characters, or one with other than printable ASCII.
std::vector<char> versionField(const std::string& version);

// Seals a plain record into a slot of sealed::slotSize(kind) bytes. The nonce is derived from
// the kind, the version and the record (a digest), so the same inputs give the same slot and
// different records never share a nonce under one key. Throws std::runtime_error when the
// record does not fit the kind's capacity or the library fails.
std::vector<uint8_t> sealRecord(ImageKind kind, const std::vector<char>& version,
                                const std::vector<uint8_t>& record, const uint8_t* key);

// A key from 64 hexadecimal digits; throws std::runtime_error otherwise.
std::vector<uint8_t> parseKey(const std::string& hex);

}  // namespace records
}  // namespace bvu
