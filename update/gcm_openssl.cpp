// AES-256-GCM deciphering with OpenSSL's libcrypto (EVP interface).
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "update/sealed_record.h"

namespace bvu {
namespace sealed {

bool aesGcmDecipher(const uint8_t key[kKeySize], const uint8_t nonce[kNonceSize],
                    const uint8_t* aad, size_t aadLength, const uint8_t* cipher, size_t length,
                    const uint8_t tag[kTagSize], uint8_t* plain) {
    if (length > INT_MAX || aadLength > INT_MAX)
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (!ctx)
        return false;
    int n = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize),
                            nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1)
        return false;
    if (aadLength > 0 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, aad, static_cast<int>(aadLength)) != 1)
        return false;
    if (length > 0 &&
        EVP_DecryptUpdate(ctx.get(), plain, &n, cipher, static_cast<int>(length)) != 1)
        return false;
    // The library takes the expected tag through a non-const pointer but only reads it.
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                            const_cast<uint8_t*>(tag)) != 1)
        return false;
    uint8_t rest[16];
    return EVP_DecryptFinal_ex(ctx.get(), rest, &n) == 1;
}

}  // namespace sealed
}  // namespace bvu
