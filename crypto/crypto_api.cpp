#include "crypto/crypto_api.h"

#include <algorithm>

CryptProvider AcquireRsaAesProvider() {
    CryptProvider provider;
    // No key container: nothing is stored, and no user profile is needed.
    if (!CryptAcquireContextW(provider.out(), nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        provider.reset();
    return provider;
}

CryptHash CreateSha256Hash(const CryptProvider& provider) {
    CryptHash hash;
    if (!provider || !CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.out()))
        hash.reset();
    return hash;
}

bool HashBytes(const CryptHash& hash, const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    constexpr size_t kLargestPiece = 1u << 30;
    do {
        const size_t piece = std::min(size, kLargestPiece);
        if (!CryptHashData(hash.get(), bytes, static_cast<DWORD>(piece), 0))
            return false;
        bytes += piece;
        size -= piece;
    } while (size != 0);
    return true;
}
