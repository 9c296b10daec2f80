// The file checksum text that download and update lists carry: the standard
// CRC-32 (IEEE 802.3, reflected 0xEDB88320, initial 0xFFFFFFFF, final
// complement) as lowercase hexadecimal without leading zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Continues a CRC-32: `crc` is the CRC of the bytes so far (0 for none), the
// result that of those bytes followed by `data`. Uses the fastest method the
// processor offers; every method gives the same result.
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t size);
inline std::uint32_t Crc32Update(std::uint32_t crc, std::string_view bytes) {
    return Crc32Update(crc, bytes.data(), bytes.size());
}

// The two methods, for tests and the benchmark. The folding method needs
// PCLMULQDQ (Crc32FoldingSupported); callers must check before using it.
std::uint32_t Crc32UpdateTable(std::uint32_t crc, const void* data, std::size_t size);
std::uint32_t Crc32UpdateFolding(std::uint32_t crc, const void* data, std::size_t size);
bool Crc32FoldingSupported();

// "352441c2"; 0 gives "0".
std::wstring ChecksumText(std::uint32_t crc);

// The checksum text of a file, read block by block; "" when the file cannot be
// opened or read. `update` picks the method (tests and the benchmark).
using Crc32UpdateFn = std::uint32_t (*)(std::uint32_t crc, const void* data, std::size_t size);
std::wstring FileChecksumText(const std::wstring& path, Crc32UpdateFn update = Crc32Update);
