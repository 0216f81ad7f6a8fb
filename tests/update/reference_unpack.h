// A second, deliberately plain reading of run-length packed data (growing a vector, checking
// every index), for the randomized and fuzz tests to hold unpackImage against.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace bvu {
namespace test {

inline std::optional<std::vector<uint8_t>> referenceUnpack(const std::vector<uint8_t>& packed,
                                                           long rawLength) {
    if (rawLength <= 0)
        return std::nullopt;
    std::vector<uint8_t> out;
    size_t pos = 0;
    while (pos < packed.size()) {
        const unsigned c = packed[pos];
        if (c & 0x80) {
            const size_t n = c & 0x7F;
            if (pos + 1 + n > packed.size())
                return std::nullopt;
            for (size_t i = 0; i < n; ++i) out.push_back(packed[pos + 1 + i]);
            pos += 1 + n;
        } else {
            if (pos + 1 >= packed.size())
                return std::nullopt;
            for (unsigned i = 0; i < c; ++i) out.push_back(packed[pos + 1]);
            pos += 2;
        }
        if (static_cast<long>(out.size()) > rawLength)
            return std::nullopt;
    }
    if (static_cast<long>(out.size()) != rawLength)
        return std::nullopt;
    return out;
}

}  // namespace test
}  // namespace bvu
