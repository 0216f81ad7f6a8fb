// SHA-256 (FIPS 180-4) of a byte string, as lower-case hex. Small and portable so that the
// emulator needs no crypto library on any platform. Thread-safe (no shared state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bvu {
namespace emulator {

std::string sha256Hex(const uint8_t* data, size_t size);
inline std::string sha256Hex(const std::vector<uint8_t>& data) {
    return sha256Hex(data.data(), data.size());
}

}  // namespace emulator
}  // namespace bvu
