// Detached signatures of the encrypted files. The bank's packer signs every
// file it encrypts into "NAME.sig" beside it: RSA PKCS#1 v1.5 with SHA-256
// over the whole encrypted file, written big-endian and as long as the
// modulus, made with a signing key of 2048 bits or more that is kept apart
// from the format's 1024-bit key. The control verifies with CryptoAPI.
#pragma once

#include "crypto/rsa_public_key.h"
#include "crypto/sha256.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

enum class SignaturePolicy {
    Off,      // the format alone, as the bank's existing files have it
    Required, // a file is used only when its signature verifies
};

struct SignatureCheck {
    SignaturePolicy policy = SignaturePolicy::Off;
    RsaPublicKey signingKey;
};

// The signing public key built into the control (the TOVRAL_SIGNATURE_KEY setting).
const RsaPublicKey& BuiltInSigningKey();

constexpr std::size_t kSmallestSigningKeyBits = 2048;
constexpr std::size_t kLargestSigningKeyBits = 16384; // the most CryptoAPI's RSA takes
// A signature file is read whole, so anything longer than a signature is refused unread.
constexpr unsigned long long kLargestSignatureFile = kLargestSigningKeyBits / 8;

// "NAME.sig" beside "NAME".
std::wstring SignaturePathOf(const std::wstring& path);

// The PUBLICKEYBLOB that CryptImportKey takes for the key (modulus least
// significant byte first); nullopt when the modulus is not an odd number of
// kSmallestSigningKeyBits to kLargestSigningKeyBits bits or the exponent does
// not fit in 32 bits.
std::optional<std::string> SigningKeyBlob(const RsaPublicKey& key);

// `signature` (big-endian, as the packer writes it) signs `data` under `key`.
bool VerifySignature(std::string_view data, std::string_view signature, const RsaPublicKey& key);
// The same when the data's SHA-256 is already known, so the data is not hashed again.
bool VerifySignatureOfDigest(const Sha256Digest& digest, std::string_view signature,
                             const RsaPublicKey& key);

enum class SignatureVerdict { Verified, Missing, Invalid };
// The signature file beside `path` signs `fileBytes` (the file as it was read).
SignatureVerdict VerifyDetachedSignature(const std::wstring& path, std::string_view fileBytes,
                                         const RsaPublicKey& key);
// The same of the file's SHA-256, taken when its bytes were read or fetched.
SignatureVerdict VerifyDetachedSignatureOfDigest(const std::wstring& path,
                                                 const Sha256Digest& digest,
                                                 const RsaPublicKey& key);

// Verifies any number of signatures under one key with one CryptoAPI provider
// and key handle, taken at the first verification: under Wine, acquiring the
// provider loads its library again whenever no provider is held, which costs
// more than the verification. Usable from several threads at once.
class SignatureVerifier {
public:
    explicit SignatureVerifier(RsaPublicKey key);
    ~SignatureVerifier();
    SignatureVerifier(const SignatureVerifier&) = delete;
    SignatureVerifier& operator=(const SignatureVerifier&) = delete;

    bool Verify(std::string_view data, std::string_view signature);
    bool VerifyDigest(const Sha256Digest& digest, std::string_view signature);
    SignatureVerdict VerifyDetached(const std::wstring& path, std::string_view fileBytes);
    SignatureVerdict VerifyDetachedDigest(const std::wstring& path, const Sha256Digest& digest);

private:
    struct Handles;
    template <typename FillHash> bool VerifySignedHash(std::string_view signature, FillHash fill);

    const RsaPublicKey key_;
    std::mutex lock_;                  // the handles are used one verification at a time
    std::unique_ptr<Handles> handles_; // null until the first verification
};
