#include "crypto/signature.h"

#include "common/files.h"
#include "crypto/bignum.h"
#include "crypto/crypto_api.h"

#include "tovral_signing_key.h" // generated from the TOVRAL_SIGNATURE_KEY build setting

namespace {

constexpr DWORD kRsaPublicMagic = 0x31415352; // "RSA1"

void AppendLittleEndian32(std::string& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

const BYTE* Bytes(std::string_view text) {
    return reinterpret_cast<const BYTE*>(text.data());
}

size_t ModulusBytes(std::string_view blob) {
    return blob.size() - sizeof(BLOBHEADER) - sizeof(RSAPUBKEY);
}

} // namespace

const RsaPublicKey& BuiltInSigningKey() {
    static const RsaPublicKey key{kBuiltInSigningModulusHex, kBuiltInSigningExponentHex};
    return key;
}

std::wstring SignaturePathOf(const std::wstring& path) {
    return path + L".sig";
}

std::optional<std::string> SigningKeyBlob(const RsaPublicKey& key) {
    std::optional<BigUint> modulus = BigUint::FromHex(key.modulusHex);
    std::optional<BigUint> exponent = BigUint::FromHex(key.exponentHex);
    if (!modulus || !exponent || !modulus->IsOdd() ||
        modulus->BitLength() < kSmallestSigningKeyBits ||
        modulus->BitLength() > kLargestSigningKeyBits || exponent->BitLength() > 32 ||
        *exponent < BigUint(3))
        return std::nullopt;
    const std::string bigEndian = modulus->ToBytes();
    std::string blob;
    const BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_SIGN};
    blob.append(reinterpret_cast<const char*>(&header), sizeof header);
    AppendLittleEndian32(blob, kRsaPublicMagic);
    AppendLittleEndian32(blob, static_cast<DWORD>(bigEndian.size() * 8));
    AppendLittleEndian32(blob, static_cast<DWORD>(exponent->Limbs()[0]));
    blob.append(bigEndian.rbegin(), bigEndian.rend());
    return blob;
}

namespace {

template <typename Verify>
SignatureVerdict VerifyDetachedFile(const std::wstring& path, Verify verify) {
    const std::wstring signaturePath = SignaturePathOf(path);
    if (!IsExistingFile(signaturePath))
        return SignatureVerdict::Missing;
    std::optional<std::string> signature =
        ReadWholeDiskFile(signaturePath, FILE_SHARE_READ, kLargestSignatureFile);
    if (!signature || !verify(*signature))
        return SignatureVerdict::Invalid;
    return SignatureVerdict::Verified;
}

} // namespace

// The provider first, so that it is released after its key.
struct SignatureVerifier::Handles {
    bool usable = false;
    size_t modulusBytes = 0;
    CryptProvider provider;
    CryptKey publicKey;
};

SignatureVerifier::SignatureVerifier(RsaPublicKey key) : key_(std::move(key)) {}

SignatureVerifier::~SignatureVerifier() = default;

// `signature` (big-endian) signs the hash `fill` puts into a fresh SHA-256
// hash object of the provider that holds the key.
template <typename FillHash>
bool SignatureVerifier::VerifySignedHash(std::string_view signature, FillHash fill) {
    std::lock_guard guard(lock_);
    if (!handles_) {
        handles_ = std::make_unique<Handles>();
        std::optional<std::string> blob = SigningKeyBlob(key_);
        if (blob) {
            handles_->modulusBytes = ModulusBytes(*blob);
            handles_->provider = AcquireRsaAesProvider();
            handles_->usable =
                handles_->provider &&
                CryptImportKey(handles_->provider.get(), Bytes(*blob),
                               static_cast<DWORD>(blob->size()), 0, 0, handles_->publicKey.out());
        }
    }
    if (!handles_->usable || signature.size() != handles_->modulusBytes)
        return false;
    CryptHash hash = CreateSha256Hash(handles_->provider);
    if (!hash || !fill(hash))
        return false;
    // CryptoAPI reads signatures least significant byte first.
    const std::string littleEndian(signature.rbegin(), signature.rend());
    return CryptVerifySignatureW(hash.get(), Bytes(littleEndian),
                                 static_cast<DWORD>(littleEndian.size()), handles_->publicKey.get(),
                                 nullptr, 0) != FALSE;
}

bool SignatureVerifier::Verify(std::string_view data, std::string_view signature) {
    return VerifySignedHash(signature, [&](const CryptHash& hash) {
        return HashBytes(hash, data.data(), data.size());
    });
}

bool SignatureVerifier::VerifyDigest(const Sha256Digest& digest, std::string_view signature) {
    return VerifySignedHash(signature, [&](const CryptHash& hash) {
        return CryptSetHashParam(hash.get(), HP_HASHVAL, digest.data(), 0) != FALSE;
    });
}

SignatureVerdict SignatureVerifier::VerifyDetached(const std::wstring& path,
                                                   std::string_view fileBytes) {
    return VerifyDetachedFile(
        path, [&](std::string_view signature) { return Verify(fileBytes, signature); });
}

SignatureVerdict SignatureVerifier::VerifyDetachedDigest(const std::wstring& path,
                                                         const Sha256Digest& digest) {
    return VerifyDetachedFile(
        path, [&](std::string_view signature) { return VerifyDigest(digest, signature); });
}

bool VerifySignature(std::string_view data, std::string_view signature, const RsaPublicKey& key) {
    return SignatureVerifier(key).Verify(data, signature);
}

bool VerifySignatureOfDigest(const Sha256Digest& digest, std::string_view signature,
                             const RsaPublicKey& key) {
    return SignatureVerifier(key).VerifyDigest(digest, signature);
}

SignatureVerdict VerifyDetachedSignature(const std::wstring& path, std::string_view fileBytes,
                                         const RsaPublicKey& key) {
    return SignatureVerifier(key).VerifyDetached(path, fileBytes);
}

SignatureVerdict VerifyDetachedSignatureOfDigest(const std::wstring& path,
                                                 const Sha256Digest& digest,
                                                 const RsaPublicKey& key) {
    return SignatureVerifier(key).VerifyDetachedDigest(path, digest);
}
