// SHA-256 through the system's CryptoAPI: the "sha256" attribute that lists
// may carry beside a file's "mac", and the digest the signatures sign.
#pragma once

#include "crypto/crypto_api.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

// nullopt only when the system's provider is unusable.
std::optional<Sha256Digest> Sha256Of(std::string_view bytes);

// SHA-256 of bytes handed over in parts, as a file is read block by block.
class Sha256Stream {
public:
    Sha256Stream();
    // Parts after a failed one are ignored: the digest is then unknown.
    void Update(const void* data, std::size_t size);
    // Once, after the last part; nullopt when no hash could be made or a part failed.
    std::optional<Sha256Digest> Finish() const;

private:
    CryptProvider provider_; // before its hash, so it is released last
    CryptHash hash_;
    bool failed_ = false;
};

// Lower-case hexadecimal, 64 digits.
std::wstring Sha256Text(const Sha256Digest& digest);

// The SHA-256 text of a disk file, read block by block; "" when the file
// cannot be opened or read, is not a disk file, or no hash can be made.
std::wstring FileSha256Text(const std::wstring& path);
