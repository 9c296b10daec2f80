#include "crypto/sha256.h"

#include "common/files.h"
#include "crypto/crypto_api.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

// --- the processor's SHA instructions ----------------------------------------
// SHA256RNDS2 does two rounds on the state split as ABEF and CDGH; MSG1 and
// MSG2 compute the message schedule four words at a time. Compiled for these
// instructions only here and called only after CPUID reported them.

#define TOVRAL_SHA __attribute__((target("sha,sse4.1,ssse3")))

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Four message words: big-endian in the block, native in the register.
TOVRAL_SHA inline __m128i LoadWords(const unsigned char* p) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// Words 4i..4i+3 of the schedule from the four groups before them, oldest first.
TOVRAL_SHA inline __m128i NextWords(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
    return _mm_sha256msg2_epu32(sum, w3);
}

// Four rounds with message words `words` and constants from `group`.
TOVRAL_SHA inline void FourRounds(__m128i& abef, __m128i& cdgh, __m128i words, int group) {
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group));
    __m128i wk = _mm_add_epi32(words, k);
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk); // now holds ABEF; the old ABEF is CDGH
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

TOVRAL_SHA inline void CompressOne(__m128i& abef, __m128i& cdgh, const unsigned char* block) {
    const __m128i savedAbef = abef;
    const __m128i savedCdgh = cdgh;
    __m128i w[4];
#pragma GCC unroll 4
    for (int group = 0; group < 4; ++group) {
        w[group] = LoadWords(block + 16 * group);
        FourRounds(abef, cdgh, w[group], group);
    }
#pragma GCC unroll 12
    for (int group = 4; group < 16; ++group) {
        __m128i& oldest = w[group & 3];
        oldest = NextWords(oldest, w[(group + 1) & 3], w[(group + 2) & 3], w[(group + 3) & 3]);
        FourRounds(abef, cdgh, oldest, group);
    }
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
}

// Runs whole 64-byte blocks through the chaining value A..H. The stack is
// realigned on entry: callers of the 32-bit build only promise 4 bytes.
TOVRAL_SHA __attribute__((force_align_arg_pointer)) void
CompressBlocks(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i badc = _mm_shuffle_epi32(abcd, 0xB1);
    __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);    // F E B A, A in the top word
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xF0); // H G D C
    for (; blocks != 0; --blocks, data += 64)
        CompressOne(abef, cdgh, data);
    __m128i abef2 = _mm_shuffle_epi32(abef, 0x1B); // A B E F
    __m128i ghcd = _mm_shuffle_epi32(cdgh, 0xB1);  // G H C D
    abcd = _mm_blend_epi16(abef2, ghcd, 0xF0);     // A B C D
    efgh = _mm_alignr_epi8(ghcd, abef2, 8);        // E F G H
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), efgh);
}

#undef TOVRAL_SHA

// --- CryptoAPI ------------------------------------------------------------------

std::optional<Sha256Digest> DigestOf(const CryptHash& hash) {
    Sha256Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0) ||
        size != digest.size())
        return std::nullopt;
    return digest;
}

void StoreBigEndian(std::uint64_t value, unsigned char* p, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        p[i] = static_cast<unsigned char>(value);
}

} // namespace

bool Sha256ProcessorSupported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool vector = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
    if (!vector || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return (ebx & bit_SHA) != 0;
}

Sha256Method Sha256FastestMethod() {
    static const Sha256Method method =
        Sha256ProcessorSupported() ? Sha256Method::Processor : Sha256Method::CryptoApi;
    return method;
}

const char* Sha256MethodName(Sha256Method method) {
    return method == Sha256Method::Processor ? "processor" : "cryptoapi";
}

Sha256Stream::Sha256Stream() : Sha256Stream(Sha256FastestMethod()) {}

Sha256Stream::Sha256Stream(Sha256Method method) {
    if (method == Sha256Method::Processor) {
        failed_ = !Sha256ProcessorSupported();
        blocks_.emplace().state = kInitialState;
        return;
    }
    provider_ = AcquireRsaAesProvider();
    hash_ = CreateSha256Hash(provider_);
    failed_ = !hash_;
}

void Sha256Stream::Update(const void* data, std::size_t size) {
    if (failed_)
        return;
    if (blocks_)
        UpdateBlocks(static_cast<const unsigned char*>(data), size);
    else
        failed_ = !HashBytes(hash_, data, size);
}

void Sha256Stream::UpdateBlocks(const unsigned char* data, std::size_t size) {
    if (size == 0)
        return;
    Blocks& b = *blocks_;
    b.length += size;
    if (b.pendingSize != 0) {
        const std::size_t taken = std::min(size, b.pending.size() - b.pendingSize);
        std::memcpy(b.pending.data() + b.pendingSize, data, taken);
        b.pendingSize += taken;
        data += taken;
        size -= taken;
        if (b.pendingSize < b.pending.size())
            return;
        CompressBlocks(b.state.data(), b.pending.data(), 1);
        b.pendingSize = 0;
    }
    CompressBlocks(b.state.data(), data, size / 64);
    b.pendingSize = size % 64;
    std::memcpy(b.pending.data(), data + size - b.pendingSize, b.pendingSize);
}

std::optional<Sha256Digest> Sha256Stream::FinishBlocks() const {
    // Padding: a 1 bit, zeros up to 8 bytes before a block's end, the bit length.
    Blocks b = *blocks_;
    std::array<unsigned char, 128> tail{};
    std::memcpy(tail.data(), b.pending.data(), b.pendingSize);
    tail[b.pendingSize] = 0x80;
    const std::size_t tailSize = b.pendingSize < 56 ? 64 : 128;
    StoreBigEndian(b.length * 8, tail.data() + tailSize - 8, 8);
    CompressBlocks(b.state.data(), tail.data(), tailSize / 64);
    Sha256Digest digest{};
    for (std::size_t i = 0; i < b.state.size(); ++i)
        StoreBigEndian(b.state[i], digest.data() + 4 * i, 4);
    return digest;
}

std::optional<Sha256Digest> Sha256Stream::Finish() const {
    if (failed_)
        return std::nullopt;
    return blocks_ ? FinishBlocks() : DigestOf(hash_);
}

std::optional<Sha256Digest> Sha256Of(std::string_view bytes) {
    return Sha256Of(bytes, Sha256FastestMethod());
}

std::optional<Sha256Digest> Sha256Of(std::string_view bytes, Sha256Method method) {
    Sha256Stream stream(method);
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
