// SHA-256: the "sha256" attribute that lists may carry beside a file's "mac",
// and the digest the signatures sign. Computed with the processor's SHA
// instructions when it has them, else through the system's CryptoAPI.
#pragma once

#include "crypto/crypto_api.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

// The two methods, for tests and the benchmark; every method gives the same
// digest. The processor method needs the SHA extensions with SSE4.1 and
// SSSE3 (Sha256ProcessorSupported); a stream asked for it without them makes
// no digest.
enum class Sha256Method { Processor, CryptoApi };
bool Sha256ProcessorSupported();
// The processor's method when it has the instructions, else CryptoAPI's.
Sha256Method Sha256FastestMethod();
// "processor" or "cryptoapi".
const char* Sha256MethodName(Sha256Method method);

// nullopt only when the method is unusable here.
std::optional<Sha256Digest> Sha256Of(std::string_view bytes);
std::optional<Sha256Digest> Sha256Of(std::string_view bytes, Sha256Method method);

// SHA-256 of bytes handed over in parts, as a file is read block by block.
class Sha256Stream {
public:
    Sha256Stream(); // the fastest method
    explicit Sha256Stream(Sha256Method method);

    // Parts after a failed one are ignored: the digest is then unknown.
    void Update(const void* data, std::size_t size);
    // Once, after the last part; nullopt when no hash could be made or a part failed.
    std::optional<Sha256Digest> Finish() const;

private:
    // The running state of the processor's method: the chaining value, the
    // bytes of an unfinished 64-byte block and the length so far.
    struct Blocks {
        std::array<std::uint32_t, 8> state;
        std::array<unsigned char, 64> pending{};
        std::size_t pendingSize = 0;
        std::uint64_t length = 0;
    };
    void UpdateBlocks(const unsigned char* data, std::size_t size);
    std::optional<Sha256Digest> FinishBlocks() const;

    std::optional<Blocks> blocks_; // set for the processor's method
    CryptProvider provider_;       // before its hash, so it is released last
    CryptHash hash_;
    bool failed_ = false;
};

// Lower-case hexadecimal, 64 digits.
std::wstring Sha256Text(const Sha256Digest& digest);

// The SHA-256 text of a disk file, read block by block; "" when the file
// cannot be opened or read, is not a disk file, or no hash can be made.
std::wstring FileSha256Text(const std::wstring& path);
