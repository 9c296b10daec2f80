// Encrypted configuration files. Layout (integers little-endian):
//   [0, 4)      L, the length of the key block
//   [4, 4 + L)  key block: the file key encrypted with the bank's RSA private
//               key, as hexadecimal text
//   [4 + L, end) body: the plaintext encrypted with RC4 under the file key
// The format does not show who made a file: anyone can choose a key block and
// compute its file key with the public key every control carries. Files read
// from disk may therefore be held to a detached signature (crypto/signature.h).
#pragma once

#include "common/trace_sink.h"
#include "crypto/bignum.h"
#include "crypto/rc4.h"
#include "crypto/rsa_public_key.h"
#include "crypto/signature.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Larger files are refused: configuration files are a few kilobytes, and
// reading a huge one whole could exhaust the host's address space. Fetches of
// these files stop at the same size.
constexpr unsigned long long kLargestEncryptedFile = 64ull * 1024 * 1024;

// The bank's public key, fixed when the control is built.
const RsaPublicKey& BuiltInPublicKey();

// The public-key half of the decryption: recovers a file key from its key
// block. Holds its own parsed copy of the key; the caller's texts stay theirs.
class CDravikRSA {
public:
    explicit CDravikRSA(const RsaPublicKey& key);

    // False when the modulus or exponent text is not a usable number.
    bool IsValid() const { return modulus_.has_value() && exponent_.has_value(); }

    // k = c^e mod n as big-endian bytes without leading zeros, c being the key
    // block read as hexadecimal up to its first NUL; nullopt when the text is
    // not hexadecimal or the key is not valid.
    std::optional<std::string> RecoverFileKey(std::string_view keyBlock) const;

private:
    std::optional<BigUint> modulus_;
    std::optional<BigUint> exponent_;
};

struct EncryptedFileParts {
    std::string_view keyBlock;
    std::string_view body;
};

// Splits a whole file into key block and body; nullopt when the file is
// shorter than its 4-byte header or the key block runs past its end.
std::optional<EncryptedFileParts> SplitEncryptedFile(std::string_view file);

// The RC4 key of a file: the recovered key bytes up to their first zero byte.
std::string Rc4KeyFromFileKey(std::string_view fileKey);

// The decrypting object: one per operation, any number of files.
class CDravikCrypto {
public:
    // Signatures off, nobody to tell: buffers in memory, the packer, and files
    // read as the format alone has them.
    explicit CDravikCrypto(const RsaPublicKey& key);
    // Files from disk are held to `signatures`; their failures go to `trace`,
    // which must outlive the object.
    CDravikCrypto(const RsaPublicKey& key, SignatureCheck signatures, const TraceSink& trace);

    // The body bytes after RC4, before text decoding; nullopt when the file
    // is cut short, the key block is not a number or no RC4 key comes out.
    std::optional<std::string> DecryptBody(std::string_view file) const;
    // Decrypts a whole encrypted file held in memory. A wrong key or a
    // tampered body is not detected: it gives whatever text the bytes make.
    std::optional<std::wstring> DecryptBuffer(std::string_view file,
                                              unsigned ansiCodePage = CP_THREAD_ACP) const;
    // The same of a whole file the caller no longer needs: decrypted where it
    // lies, so no second copy of a large file is made.
    std::optional<std::wstring> DecryptConsumed(std::string file,
                                                unsigned ansiCodePage = CP_THREAD_ACP) const;
    // A file from disk. With signatures required, a file whose signature
    // beside it is missing or does not verify is not decrypted (and traced):
    // this is the one place that rule is applied.
    std::optional<std::wstring> DecryptFromFile(const std::wstring& path,
                                                unsigned ansiCodePage = CP_THREAD_ACP) const;
    // The file at `path` would pass the signature rule (always, with it off).
    bool IsAuthentic(const std::wstring& path) const;
    // The same of the file's bytes as already read, so they are read once.
    bool IsAuthentic(const std::wstring& path, std::string_view file) const;
    // The same of the file's SHA-256, taken when it was read or fetched, so
    // it is hashed once.
    bool IsAuthenticDigest(const std::wstring& path, const Sha256Digest& digest) const;
    // Whether a file's signature is checked at all: only then is its SHA-256 needed.
    bool SignaturesRequired() const { return signatures_.policy != SignaturePolicy::Off; }
    // The RC4 key of a file's key block; empty when none comes out.
    std::string Rc4KeyOf(std::string_view keyBlock) const;

    // The whole file (read access, shared read); nullopt when it cannot be
    // read or is larger than kLargestEncryptedFile.
    static std::optional<std::string> ReadWholeFile(const std::wstring& path);

private:
    bool SignatureAccepted(const std::wstring& path, std::string_view file) const;
    // Traces a refusal; true for a verified signature.
    bool Accepted(const std::wstring& path, SignatureVerdict verdict) const;

    CDravikRSA rsa_;
    SignatureCheck signatures_;
    // One for the operation and its copies (null with signatures off).
    std::shared_ptr<SignatureVerifier> verifier_;
    const TraceSink* trace_;
};

// Deciphers a file block by block as it arrives: the key block comes first,
// so the body is deciphered as it comes and the encrypted bytes need not be
// kept. Whatever the blocks, the result is DecryptBody's of the whole file.
class BodyDecryptor {
public:
    // `crypto` must outlive the object.
    explicit BodyDecryptor(const CDravikCrypto& crypto) : crypto_(&crypto) {}

    // Room for a body of about `bytes` (capped at kLargestEncryptedFile), so a
    // large body is not copied again and again as it grows; only a hint.
    void Expect(size_t bytes);
    // Writes the body into `buffer`'s memory (its contents are dropped): a
    // caller deciphering file after file reuses what it already has.
    void Reuse(std::string buffer);
    void Add(const char* data, size_t size);
    // The deciphered body of the blocks added so far, taken as the whole
    // file; nullopt as DecryptBody gives it (cut short, no RC4 key).
    [[nodiscard]] std::optional<std::string> TakeBody();

private:
    enum class Stage { Header, KeyBlock, Body, Failed };
    // Moves bytes of `data` to front_ until it holds `wanted`; whether it does.
    bool FillFront(const char*& data, size_t& size, size_t wanted);
    void TakeHeaderBytes(const char*& data, size_t& size);
    void TakeKeyBlockBytes(const char*& data, size_t& size);

    const CDravikCrypto* crypto_;
    Stage stage_ = Stage::Header;
    std::string front_; // the header, then the key block
    size_t keyBlockLength_ = 0;
    std::optional<Rc4> rc4_;
    std::string body_;
};

// One file with the control's key, for callers that decrypt a single file.
std::optional<std::wstring> DecryptConfigFile(const std::wstring& path,
                                              const RsaPublicKey& key = BuiltInPublicKey());
