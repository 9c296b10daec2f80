// SHA-256 through the system's CryptoAPI: the "sha256" attribute that lists
// may carry beside a file's "mac", and the digest the signatures sign.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

// nullopt only when the system's provider is unusable.
std::optional<Sha256Digest> Sha256Of(std::string_view bytes);

// Lower-case hexadecimal, 64 digits.
std::wstring Sha256Text(const Sha256Digest& digest);

// The SHA-256 text of a disk file, read block by block; "" when the file
// cannot be opened or read, is not a disk file, or no hash can be made.
std::wstring FileSha256Text(const std::wstring& path);
