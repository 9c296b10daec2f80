#include "config/crypto.h"

#include "common/files.h"
#include "common/handles.h"
#include "crypto/rc4.h"
#include "config/text_decoding.h"

#include <algorithm>

#include "tovral_public_key.h" // generated from the TOVRAL_PUBLIC_KEY build setting

namespace {

constexpr size_t kHeaderSize = 4;

const NullTraceSink kNobody;

std::optional<BigUint> ParseKeyNumber(std::string_view hex, const BigUint& smallest) {
    std::optional<BigUint> value = BigUint::FromHex(hex);
    if (value && *value < smallest)
        return std::nullopt;
    return value;
}

// The key block's length: the header's four bytes, least significant first.
uint32_t KeyBlockLengthOf(const char* header) {
    uint32_t length = 0;
    for (size_t i = 0; i < kHeaderSize; ++i)
        length |= uint32_t{static_cast<uint8_t>(header[i])} << (8 * i);
    return length;
}

} // namespace

const RsaPublicKey& BuiltInPublicKey() {
    static const RsaPublicKey key{kBuiltInModulusHex, kBuiltInExponentHex};
    return key;
}

CDravikRSA::CDravikRSA(const RsaPublicKey& key)
    : modulus_(ParseKeyNumber(key.modulusHex, BigUint(2))),
      exponent_(ParseKeyNumber(key.exponentHex, BigUint(1))) {}

std::optional<std::string> CDravikRSA::RecoverFileKey(std::string_view keyBlock) const {
    if (!IsValid())
        return std::nullopt;
    // The key block is read as C text: a NUL ends it.
    std::optional<BigUint> c = BigUint::FromHex(keyBlock.substr(0, keyBlock.find('\0')));
    if (!c)
        return std::nullopt;
    return ModPow(*c, *exponent_, *modulus_).ToBytes();
}

std::optional<EncryptedFileParts> SplitEncryptedFile(std::string_view file) {
    if (file.size() < kHeaderSize)
        return std::nullopt;
    const uint32_t length = KeyBlockLengthOf(file.data());
    if (length > file.size() - kHeaderSize)
        return std::nullopt;
    return EncryptedFileParts{file.substr(kHeaderSize, length), file.substr(kHeaderSize + length)};
}

std::string Rc4KeyFromFileKey(std::string_view fileKey) {
    return std::string(fileKey.substr(0, fileKey.find('\0')));
}

CDravikCrypto::CDravikCrypto(const RsaPublicKey& key) : rsa_(key), trace_(&kNobody) {}

CDravikCrypto::CDravikCrypto(const RsaPublicKey& key, SignatureCheck signatures,
                             const TraceSink& trace)
    : rsa_(key), signatures_(std::move(signatures)),
      verifier_(signatures_.policy == SignaturePolicy::Off
                    ? nullptr
                    : std::make_shared<SignatureVerifier>(signatures_.signingKey)),
      trace_(&trace) {}

std::string CDravikCrypto::Rc4KeyOf(std::string_view keyBlock) const {
    std::optional<std::string> fileKey = rsa_.RecoverFileKey(keyBlock);
    // A key block of value 0 leaves no key to schedule RC4 with.
    return fileKey ? Rc4KeyFromFileKey(*fileKey) : std::string();
}

std::optional<std::string> CDravikCrypto::DecryptBody(std::string_view file) const {
    std::optional<EncryptedFileParts> parts = SplitEncryptedFile(file);
    if (!parts)
        return std::nullopt;
    std::string rc4Key = Rc4KeyOf(parts->keyBlock);
    if (rc4Key.empty())
        return std::nullopt;
    return Rc4Transform(rc4Key, parts->body);
}

std::optional<std::wstring> CDravikCrypto::DecryptConsumed(std::string file,
                                                           unsigned ansiCodePage) const {
    std::optional<EncryptedFileParts> parts = SplitEncryptedFile(file);
    if (!parts)
        return std::nullopt;
    std::string rc4Key = Rc4KeyOf(parts->keyBlock);
    if (rc4Key.empty())
        return std::nullopt;
    char* body = file.data() + (parts->body.data() - file.data());
    Rc4(rc4Key).Apply(body, parts->body.size());
    return DecodeConfigText(parts->body, ansiCodePage);
}

std::optional<std::wstring> CDravikCrypto::DecryptBuffer(std::string_view file,
                                                         unsigned ansiCodePage) const {
    std::optional<std::string> body = DecryptBody(file);
    if (!body)
        return std::nullopt;
    return DecodeConfigText(*body, ansiCodePage);
}

std::optional<std::wstring> CDravikCrypto::DecryptFromFile(const std::wstring& path,
                                                           unsigned ansiCodePage) const {
    // The bytes verified are the bytes decrypted: the file is read once.
    std::optional<std::string> file = ReadWholeFile(path);
    if (!file || !SignatureAccepted(path, *file))
        return std::nullopt;
    return DecryptBuffer(*file, ansiCodePage);
}

bool CDravikCrypto::IsAuthentic(const std::wstring& path) const {
    if (signatures_.policy == SignaturePolicy::Off)
        return true;
    std::optional<std::string> file = ReadWholeFile(path);
    return file && SignatureAccepted(path, *file);
}

bool CDravikCrypto::IsAuthentic(const std::wstring& path, std::string_view file) const {
    return SignatureAccepted(path, file);
}

bool CDravikCrypto::IsAuthenticDigest(const std::wstring& path, const Sha256Digest& digest) const {
    if (signatures_.policy == SignaturePolicy::Off)
        return true;
    return Accepted(path, verifier_->VerifyDetachedDigest(path, digest));
}

bool CDravikCrypto::SignatureAccepted(const std::wstring& path, std::string_view file) const {
    if (signatures_.policy == SignaturePolicy::Off)
        return true;
    return Accepted(path, verifier_->VerifyDetached(path, file));
}

bool CDravikCrypto::Accepted(const std::wstring& path, SignatureVerdict verdict) const {
    switch (verdict) {
    case SignatureVerdict::Verified:
        return true;
    case SignatureVerdict::Missing:
        trace_->Write(L"失败事件：" + FileNamePart(path) + L"签名文件不存在");
        return false;
    case SignatureVerdict::Invalid:
        break;
    }
    trace_->Write(L"失败事件：" + FileNamePart(path) + L"签名验证失败");
    return false;
}

std::optional<std::string> CDravikCrypto::ReadWholeFile(const std::wstring& path) {
    return ReadWholeDiskFile(path, FILE_SHARE_READ, kLargestEncryptedFile);
}

void BodyDecryptor::Expect(size_t bytes) {
    body_.reserve(static_cast<size_t>(std::min<unsigned long long>(bytes, kLargestEncryptedFile)));
}

void BodyDecryptor::Reuse(std::string buffer) {
    if (stage_ == Stage::Body)
        return; // part of a body is in hand already
    buffer.clear();
    body_ = std::move(buffer);
}

void BodyDecryptor::Add(const char* data, size_t size) {
    if (stage_ == Stage::Header)
        TakeHeaderBytes(data, size);
    if (stage_ == Stage::KeyBlock)
        TakeKeyBlockBytes(data, size);
    if (stage_ == Stage::Body && size != 0) {
        const size_t at = body_.size();
        body_.append(data, size);
        rc4_->Apply(body_.data() + at, size);
    }
}

bool BodyDecryptor::FillFront(const char*& data, size_t& size, size_t wanted) {
    const size_t take = std::min(size, wanted - front_.size());
    front_.append(data, take);
    data += take;
    size -= take;
    return front_.size() == wanted;
}

void BodyDecryptor::TakeHeaderBytes(const char*& data, size_t& size) {
    if (!FillFront(data, size, kHeaderSize))
        return;
    keyBlockLength_ = KeyBlockLengthOf(front_.data());
    front_.clear();
    stage_ = Stage::KeyBlock;
}

void BodyDecryptor::TakeKeyBlockBytes(const char*& data, size_t& size) {
    // The length is the file's word: the block grows only as its bytes come.
    if (!FillFront(data, size, keyBlockLength_))
        return;
    std::string rc4Key = crypto_->Rc4KeyOf(front_);
    front_.clear();
    front_.shrink_to_fit();
    if (rc4Key.empty()) {
        stage_ = Stage::Failed;
        return;
    }
    rc4_.emplace(rc4Key);
    stage_ = Stage::Body;
}

std::optional<std::string> BodyDecryptor::TakeBody() {
    if (stage_ != Stage::Body)
        return std::nullopt;
    stage_ = Stage::Failed; // taken once
    return std::move(body_);
}

std::optional<std::wstring> DecryptConfigFile(const std::wstring& path, const RsaPublicKey& key) {
    return CDravikCrypto(key).DecryptFromFile(path);
}
