#include "crypto/sha256.h"

#include "common/files.h"
#include "crypto/crypto_api.h"

namespace {

std::optional<Sha256Digest> DigestOf(const CryptHash& hash) {
    Sha256Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0) ||
        size != digest.size())
        return std::nullopt;
    return digest;
}

} // namespace

Sha256Stream::Sha256Stream()
    : provider_(AcquireRsaAesProvider()), hash_(CreateSha256Hash(provider_)), failed_(!hash_) {}

void Sha256Stream::Update(const void* data, std::size_t size) {
    if (!failed_)
        failed_ = !HashBytes(hash_, data, size);
}

std::optional<Sha256Digest> Sha256Stream::Finish() const {
    return failed_ ? std::nullopt : DigestOf(hash_);
}

std::optional<Sha256Digest> Sha256Of(std::string_view bytes) {
    Sha256Stream stream;
    stream.Update(bytes.data(), bytes.size());
    return stream.Finish();
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
    Sha256Stream stream;
    bool read = ReadDiskFileInBlocks(path, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     [&](const unsigned char* data, std::size_t size) {
                                         stream.Update(data, size);
                                         return true;
                                     });
    std::optional<Sha256Digest> digest = read ? stream.Finish() : std::nullopt;
    return digest ? Sha256Text(*digest) : L"";
}
