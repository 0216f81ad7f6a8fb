// AES-256-GCM deciphering with Windows CNG (bcrypt).
#include <windows.h>
// bcrypt.h needs the Windows base types first.
#include <bcrypt.h>

#include <climits>

#include "update/sealed_record.h"

namespace bvu {
namespace sealed {
namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

// Closes what BCrypt opened, on every way out.
struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Algorithm() {
        if (handle != nullptr)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct Key {
    BCRYPT_KEY_HANDLE handle = nullptr;
    ~Key() {
        if (handle != nullptr)
            BCryptDestroyKey(handle);
    }
};

}  // namespace

bool aesGcmDecipher(const uint8_t key[kKeySize], const uint8_t nonce[kNonceSize],
                    const uint8_t* aad, size_t aadLength, const uint8_t* cipher, size_t length,
                    const uint8_t tag[kTagSize], uint8_t* plain) {
    if (length > ULONG_MAX || aadLength > ULONG_MAX)
        return false;
    Algorithm alg;
    if (!succeeded(BCryptOpenAlgorithmProvider(&alg.handle, BCRYPT_AES_ALGORITHM, nullptr, 0)))
        return false;
    const wchar_t* mode = BCRYPT_CHAIN_MODE_GCM;
    if (!succeeded(BCryptSetProperty(alg.handle, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)),
                                     sizeof(BCRYPT_CHAIN_MODE_GCM), 0)))
        return false;
    Key k;
    if (!succeeded(BCryptGenerateSymmetricKey(alg.handle, &k.handle, nullptr, 0,
                                              const_cast<PUCHAR>(key), kKeySize, 0)))
        return false;

    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    // CNG reads these buffers only; its structure has no const members.
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = kNonceSize;
    info.pbAuthData = const_cast<PUCHAR>(aad);
    info.cbAuthData = static_cast<ULONG>(aadLength);
    info.pbTag = const_cast<PUCHAR>(tag);
    info.cbTag = kTagSize;

    ULONG written = 0;
    NTSTATUS status =
        BCryptDecrypt(k.handle, const_cast<PUCHAR>(cipher), static_cast<ULONG>(length), &info,
                      nullptr, 0, plain, static_cast<ULONG>(length), &written, 0);
    return succeeded(status) && written == length;
}

}  // namespace sealed
}  // namespace bvu
