#include "synthetic_images/firmware_images.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace bvu {
namespace firmware {
namespace {

constexpr char kMagic[4] = {'B', 'V', 'F', 'W'};

// splitmix64: a small, well-mixed generator, so that an image depends only on its version.
class Generator {
  public:
    explicit Generator(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }

  private:
    uint64_t state_;
};

uint64_t fnv1a(const std::string& text, char kind) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](uint8_t c) {
        h ^= c;
        h *= 0x100000001B3ull;
    };
    mix(static_cast<uint8_t>(kind));
    for (char c : text) mix(static_cast<uint8_t>(c));
    return h;
}

void checkVersion(const std::string& version) {
    if (version.empty() || version.size() > kMaxVersionLength)
        throw std::invalid_argument("firmware version text must have 1 to 15 characters");
}

void putText(std::vector<uint8_t>& image, size_t at, const std::string& text) {
    std::memcpy(image.data() + at, text.data(), text.size());
}

void putLe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t getLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// Writes the trailer into the last 32 bytes of image (whose size is final).
void seal(std::vector<uint8_t>& image, ImageKind kind, const std::string& version) {
    uint8_t* t = image.data() + image.size() - kTrailerSize;
    std::memset(t, 0, kTrailerSize);
    std::memcpy(t, kMagic, 4);
    t[4] = static_cast<uint8_t>(kind);
    t[5] = 1;
    std::memcpy(t + 8, version.data(), version.size());
    putLe32(t + 24, static_cast<uint32_t>(image.size()));
    putLe32(t + 28, crc32(image.data(), image.size() - 4));
}

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous) {
    const auto& table = crcTable();
    uint32_t c = previous ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> makeControlImage(const std::string& version) {
    checkVersion(version);
    const uint64_t seed = fnv1a(version, 'C');
    Generator gen(seed);
    // 20 to 29.5 KB, even (the processor's code is made of 16-bit words), never a whole
    // number of 3,072-byte DFU blocks so that the last block of a download is a short one.
    size_t size = 20480 + static_cast<size_t>(seed % 9000);
    size &= ~static_cast<size_t>(1);
    if (size % 3072 == 0)
        size += 2;
    std::vector<uint8_t> image(size, 0xFF);

    // Interrupt vector table: 38 vectors of a 4-byte jump (0C 94 lo hi) into the code.
    size_t at = 0;
    for (int v = 0; v < 38; ++v, at += 4) {
        uint16_t target = static_cast<uint16_t>((0x100 + gen.below(0x2000)) & ~1u);
        image[at] = 0x0C;
        image[at + 1] = 0x94;
        image[at + 2] = static_cast<uint8_t>(target);
        image[at + 3] = static_cast<uint8_t>(target >> 8);
    }
    const std::string banner = "Brevicor control firmware " + version;
    putText(image, at, banner);
    at += banner.size() + 1;
    at = (at + 1) & ~static_cast<size_t>(1);

    // Code: 16-bit words drawn from a small set of frequent opcodes, with constant tables
    // (zero-filled) and short erased gaps in between, as linked firmware looks.
    static const uint16_t kOpcodes[] = {0x9508, 0x0000, 0x2411, 0xE080, 0x9601, 0x91ED,
                                        0x93CF, 0x940E, 0xF7E1, 0x2F80, 0x8188, 0x0F88};
    const size_t codeEnd = size - kTrailerSize;
    while (at + 2 <= codeEnd) {
        uint32_t pick = gen.below(100);
        if (pick == 0 && gen.below(4) == 0) {  // a constant table
            size_t n = std::min<size_t>(8 + gen.below(40), codeEnd - at) & ~static_cast<size_t>(1);
            std::memset(image.data() + at, 0, n);
            at += n;
            if (n == 0)
                break;
            continue;
        }
        uint16_t w = pick < 55 ? kOpcodes[gen.below(12)] : static_cast<uint16_t>(gen.next());
        image[at] = static_cast<uint8_t>(w);
        image[at + 1] = static_cast<uint8_t>(w >> 8);
        at += 2;
    }
    seal(image, ImageKind::Control, version);
    return image;
}

std::vector<uint8_t> makeVideoImage(const std::string& version) {
    checkVersion(version);
    const uint64_t seed = fnv1a(version, 'V');
    Generator gen(seed);
    const size_t size = 880000 + static_cast<size_t>(seed % 40000);
    std::vector<uint8_t> image(size, 0xFF);

    // Bitstream header: dummy words, the synchronisation word, the design name.
    size_t at = 32;
    const uint8_t sync[] = {0xAA, 0x99, 0x55, 0x66};
    std::memcpy(image.data() + at, sync, sizeof sync);
    at += sizeof sync;
    const std::string banner = "Brevicor video firmware " + version;
    putText(image, at, banner);
    at += banner.size() + 1;

    // Frames: configuration data between long runs of unused (0x00) and erased (0xFF) cells.
    const size_t end = size - kTrailerSize;
    while (at < end) {
        size_t data = std::min<size_t>(64 + gen.below(2048), end - at);
        for (size_t i = 0; i < data; ++i) image[at + i] = gen.byte();
        at += data;
        if (at >= end)
            break;
        size_t run = std::min<size_t>(256 + gen.below(6000), end - at);
        std::memset(image.data() + at, gen.below(3) == 0 ? 0xFF : 0x00, run);
        at += run;
    }
    seal(image, ImageKind::Video, version);
    return image;
}

bool identifyImage(const uint8_t* data, size_t size, ImageInfo* info) {
    if (data == nullptr || size < kTrailerSize)
        return false;
    // Scan from the end: after the image a flash holds erased bytes, so the first magic found
    // from behind is the trailer of the image (the CRC rules out a magic inside the data).
    for (size_t off = size - kTrailerSize + 1; off-- > 0;) {
        const uint8_t* t = data + off;
        if (std::memcmp(t, kMagic, 4) != 0)
            continue;
        if (t[5] != 1 || (t[4] != 'C' && t[4] != 'V'))
            continue;
        const size_t length = off + kTrailerSize;
        if (getLe32(t + 24) != length)
            continue;
        if (getLe32(t + 28) != crc32(data, length - 4))
            continue;
        size_t n = 0;
        while (n < 16 && t[8 + n] != 0) ++n;
        if (n == 0 || n > kMaxVersionLength)
            continue;
        info->kind = static_cast<ImageKind>(t[4]);
        info->version.assign(reinterpret_cast<const char*>(t + 8), n);
        info->length = length;
        return true;
    }
    return false;
}

bool packVideoVersion(const std::string& version, uint8_t* packed) {
    if (version.size() != 4 || version[1] != '.')
        return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(version[0]) || !digit(version[2]) || !digit(version[3]))
        return false;
    int major = version[0] - '0';
    int minor = (version[2] - '0') * 10 + (version[3] - '0');
    if (major > 7 || minor > 31)
        return false;
    *packed = static_cast<uint8_t>(major << 5 | minor);
    return true;
}

}  // namespace firmware
}  // namespace bvu
