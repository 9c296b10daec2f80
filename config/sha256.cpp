#include "config/sha256.h"

#include "common/files.h"
#include "config/crypto_api.h"

namespace {

std::optional<Sha256Digest> Finish(const CryptHash& hash) {
    Sha256Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0) ||
        size != digest.size())
        return std::nullopt;
    return digest;
}

} // namespace

std::optional<Sha256Digest> Sha256Of(std::string_view bytes) {
    CryptProvider provider = AcquireRsaAesProvider();
    CryptHash hash = CreateSha256Hash(provider);
    if (!hash || !HashBytes(hash, bytes.data(), bytes.size()))
        return std::nullopt;
    return Finish(hash);
}

std::wstring Sha256Text(const Sha256Digest& digest) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

std::wstring FileSha256Text(const std::wstring& path) {
    CryptProvider provider = AcquireRsaAesProvider();
    CryptHash hash = CreateSha256Hash(provider);
    if (!hash)
        return L"";
    bool read = ReadDiskFileInBlocks(
        path, FILE_SHARE_READ | FILE_SHARE_WRITE,
        [&](const unsigned char* data, std::size_t size) { return HashBytes(hash, data, size); });
    std::optional<Sha256Digest> digest = read ? Finish(hash) : std::nullopt;
    return digest ? Sha256Text(*digest) : L"";
}
