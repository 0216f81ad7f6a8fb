#include "tools/records/record_builder.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace bvu {
namespace records {
namespace {

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t runAt(const std::vector<uint8_t>& image, size_t i) {
    size_t n = 1;
    while (i + n < image.size() && n < 127 && image[i + n] == image[i]) ++n;
    return n;
}

}  // namespace

std::vector<uint8_t> packRuns(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < image.size()) {
        size_t run = runAt(image, i);
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(run));
            out.push_back(image[i]);
            i += run;
            continue;
        }
        size_t start = i;
        while (i < image.size() && i - start < 127 && runAt(image, i) < 3) ++i;
        out.push_back(static_cast<uint8_t>(0x80 + (i - start)));
        out.insert(out.end(), image.begin() + start, image.begin() + i);
    }
    return out;
}

std::vector<uint8_t> buildRecord(const std::vector<uint8_t>& image) {
    if (image.empty())
        throw std::runtime_error("the image is empty");
    std::vector<uint8_t> packed = packRuns(image);
    const std::vector<uint8_t>& data = packed.size() < image.size() ? packed : image;
    std::vector<uint8_t> record(image::kRecordHeaderSize + data.size());
    putLe32(record.data(), static_cast<uint32_t>(image.size()));
    putLe32(record.data() + 4, static_cast<uint32_t>(data.size()));
    std::memcpy(record.data() + image::kRecordHeaderSize, data.data(), data.size());
    return record;
}

std::vector<char> versionField(const std::string& version) {
    if (version.empty() || version.size() >= sealed::kVersionSize)
        throw std::runtime_error("a version text needs 1 to 7 characters: '" + version + "'");
    for (unsigned char c : version) {
        if (c < 0x21 || c > 0x7E)
            throw std::runtime_error("a version text is printable ASCII: '" + version + "'");
    }
    std::vector<char> field(sealed::kVersionSize, '\0');
    std::memcpy(field.data(), version.data(), version.size());
    return field;
}

std::vector<uint8_t> sealRecord(ImageKind kind, const std::vector<char>& version,
                                const std::vector<uint8_t>& record, const uint8_t* key) {
    if (record.size() > image::recordCapacity(kind)) {
        throw std::runtime_error(std::string("the ") + image::kindName(kind) + " record has " +
                                 std::to_string(record.size()) + " bytes, more than the " +
                                 std::to_string(image::recordCapacity(kind)) +
                                 " the program can carry");
    }
    const size_t size = sealed::slotSize(kind);
    std::vector<uint8_t> slot(size, 0);
    std::memcpy(slot.data(), "BVR1", 4);
    putLe32(slot.data() + 4, static_cast<uint32_t>(record.size()));

    // Nonce: the first 12 bytes of SHA-256(kind, version, record).
    std::vector<uint8_t> material(1 + version.size() + record.size());
    material[0] = static_cast<uint8_t>(kind);
    std::memcpy(material.data() + 1, version.data(), version.size());
    std::memcpy(material.data() + 1 + version.size(), record.data(), record.size());
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    if (EVP_Digest(material.data(), material.size(), digest, &digestLength, EVP_sha256(),
                   nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    std::memcpy(slot.data() + 8, digest, sealed::kNonceSize);

    std::vector<uint8_t> aad = sealed::associatedData(kind, slot.data(), version.data());
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    int n = 0;
    bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, sealed::kNonceSize, nullptr) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key, slot.data() + 8) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), slot.data() + sealed::kSlotHeaderSize, &n, record.data(),
                          static_cast<int>(record.size())) == 1 &&
        n == static_cast<int>(record.size());
    uint8_t rest[16];
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), rest, &n) == 1 && n == 0 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, sealed::kTagSize, slot.data() + 20) ==
             1;
    if (!ok)
        throw std::runtime_error("AES-256-GCM enciphering failed");
    return slot;
}

std::vector<uint8_t> parseKey(const std::string& hex) {
    if (hex.size() != 2 * sealed::kKeySize)
        throw std::runtime_error("the record key needs 64 hexadecimal digits");
    std::vector<uint8_t> key;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            throw std::runtime_error("the record key needs 64 hexadecimal digits");
        key.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return key;
}

}  // namespace records
}  // namespace bvu
