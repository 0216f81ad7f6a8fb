// The firmware images this program carries: the data that the build's record tool generates,
// and the provider that opens it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/image_provider.h"

namespace bvu {
namespace embedded {

// Generated at build time, laid out as bvu::layout says (kImageDataSize bytes).
extern const uint8_t imageData[];
extern const uint8_t recordKey[sealed::kKeySize];
// Plain labels that name the carried versions ("FPGAData version 1.02", "MicroCtlData version
// 1.12"); kept in the program's data for whoever looks at the file, not read by the program.
extern const char videoLabel[];
extern const char controlLabel[];

// The carried version text of a kind, read from the plain text beside its record.
std::string carriedVersion(ImageKind kind);

// The provider of the carried records; lives as long as the program.
const ImageProvider& imageProvider();

}  // namespace embedded
}  // namespace bvu
