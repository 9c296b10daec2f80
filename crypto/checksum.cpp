#include "crypto/checksum.h"

#include "common/files.h"
#include "common/handles.h"
#include "common/text.h"

#include <windows.h>

#include <cpuid.h>
#include <wmmintrin.h>

#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Slicing-by-16: table k advances a byte that sits k positions before the end
// of a 16-byte chunk, so one chunk costs 16 independent lookups.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 16>;

SliceTables MakeSliceTables() {
    SliceTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
        t[0][b] = crc;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::size_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

// Built on first use rather than stored in the module: 16 KiB of tables
// that barely compress would add almost as much to every download of the
// control. The first use makes them once for every thread (a static local).
const SliceTables& Tables() {
    static const SliceTables tables = MakeSliceTables();
    return tables;
}

std::uint32_t Load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v); // x86 is little-endian
    return v;
}

// Works on the inverted register, as do the folding helpers below.
std::uint32_t TableBytes(std::uint32_t reg, const unsigned char* p, std::size_t size) {
    const auto& first = Tables()[0];
    for (; size != 0; --size, ++p)
        reg = first[(reg ^ *p) & 0xFF] ^ (reg >> 8);
    return reg;
}

std::uint32_t Lookup4(const SliceTables& t, std::uint32_t word, int table) {
    return t[table][word & 0xFF] ^ t[table - 1][(word >> 8) & 0xFF] ^
           t[table - 2][(word >> 16) & 0xFF] ^ t[table - 3][word >> 24];
}

std::uint32_t TableRegister(std::uint32_t reg, const unsigned char* p, std::size_t size) {
    const SliceTables& t = Tables();
    for (; size >= 16; size -= 16, p += 16) {
        reg = Lookup4(t, Load32(p) ^ reg, 15) ^ Lookup4(t, Load32(p + 4), 11) ^
              Lookup4(t, Load32(p + 8), 7) ^ Lookup4(t, Load32(p + 12), 3);
    }
    return TableBytes(reg, p, size);
}

// --- carry-less multiplication folding -------------------------------------
// Folds 512 then 128 bits at a time by multiplying with x^n mod P (the bit-
// reflected constants of the IEEE polynomial), then reduces the remaining 128
// bits to 32 with a Barrett reduction. Compiled for PCLMULQDQ only here and
// called only after CPUID reported it.

#define TOVRAL_CLMUL __attribute__((target("pclmul,sse2")))

TOVRAL_CLMUL inline __m128i Load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// (x.low * k.low) ^ (x.high * k.high) ^ next
TOVRAL_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

TOVRAL_CLMUL std::uint32_t ReduceTo32(__m128i x, __m128i k3k4) {
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i k5 = _mm_set_epi64x(0, 0x163CD6124LL);
    const __m128i barrett = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL); // mu, P
    // 128 -> 96 bits: the low half times x^64 mod P joins the high half.
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(k3k4, x, 0x01));
    // 96 -> 64 bits.
    __m128i high = _mm_srli_si128(x, 4);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00), high);
    // Barrett reduction 64 -> 32 bits.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
    x = _mm_xor_si128(x, t);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

// size >= 64 and a multiple of 16.
TOVRAL_CLMUL std::uint32_t FoldRegister(std::uint32_t reg, const unsigned char* p,
                                        std::size_t size) {
    const __m128i k1k2 = _mm_set_epi64x(0x1C6E41596LL, 0x154442BD4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x0CCAA009ELL, 0x1751997D0LL);
    __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x2 = Load128(p + 16);
    __m128i x3 = Load128(p + 32);
    __m128i x4 = Load128(p + 48);
    for (p += 64, size -= 64; size >= 64; p += 64, size -= 64) {
        x1 = Fold(x1, k1k2, Load128(p));
        x2 = Fold(x2, k1k2, Load128(p + 16));
        x3 = Fold(x3, k1k2, Load128(p + 32));
        x4 = Fold(x4, k1k2, Load128(p + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; size >= 16; p += 16, size -= 16)
        x1 = Fold(x1, k3k4, Load128(p));
    return ReduceTo32(x1, k3k4);
}

std::uint32_t FoldingRegister(std::uint32_t reg, const unsigned char* p, std::size_t size) {
    if (size >= 128) {
        // Aligned loads avoid cache-line splits; the head goes through the tables.
        std::size_t head = (16 - (reinterpret_cast<std::uintptr_t>(p) & 15)) & 15;
        reg = TableBytes(reg, p, head);
        p += head;
        size -= head;
        std::size_t bulk = size & ~static_cast<std::size_t>(15);
        reg = FoldRegister(reg, p, bulk);
        p += bulk;
        size -= bulk;
    }
    return TableRegister(reg, p, size);
}

const unsigned char* Bytes(const void* data) {
    return static_cast<const unsigned char*>(data);
}

} // namespace

std::uint32_t Crc32UpdateTable(std::uint32_t crc, const void* data, std::size_t size) {
    return ~TableRegister(~crc, Bytes(data), size);
}

std::uint32_t Crc32UpdateFolding(std::uint32_t crc, const void* data, std::size_t size) {
    return ~FoldingRegister(~crc, Bytes(data), size);
}

bool Crc32FoldingSupported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    return (ecx & bit_PCLMUL) != 0 && (edx & bit_SSE2) != 0;
}

std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t size) {
    static const bool folding = Crc32FoldingSupported();
    return folding ? Crc32UpdateFolding(crc, data, size) : Crc32UpdateTable(crc, data, size);
}

std::wstring ChecksumText(std::uint32_t crc) {
    return FormatW(L"%x", crc);
}

std::wstring FileChecksumText(const std::wstring& path, Crc32UpdateFn update) {
    std::uint32_t crc = 0;
    bool read = ReadDiskFileInBlocks(path, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     [&](const unsigned char* data, std::size_t size) {
                                         crc = update(crc, data, size);
                                         return true;
                                     });
    return read ? ChecksumText(crc) : L""; // a half-read file has no checksum
}
