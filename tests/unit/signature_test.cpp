// Detached signatures: the packer's signatures checked on their own terms and
// by the control's CryptoAPI verification.
#include "config/crypto.h"
#include "config/sha256.h"
#include "config/signature.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

// Another bank's signing key: made once, from a fixed seed.
const RsaPrivateKey& OtherSigningKey() {
    static const RsaPrivateKey key = GenerateRsaKey(kSigningKeyBits, SeededRandom(11));
    return key;
}

std::string Flipped(std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

TEST(Signature, PackerSignaturesArePkcs1WithSha256OverTheWholeFile) {
    // Checked with the packer's own arithmetic, apart from CryptoAPI.
    const std::string file = EncryptForTest(L"<Version/>");
    const std::string signature = SignForTest(file);
    const RsaPrivateKey& key = TestSigningKey();
    ASSERT_EQ(signature.size(), 256u); // big-endian, as long as the modulus
    const std::string block =
        ModPow(BigUint::FromBytes(signature), key.publicExponent, key.modulus).ToBytes();
    const Sha256Digest digest = *Sha256Of(file);
    const std::string sha256DigestInfo("\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03"
                                       "\x04\x02\x01\x05\x00\x04\x20",
                                       19);
    const std::string expected = "\x01" + std::string(202, '\xFF') + std::string(1, '\0') +
                                 sha256DigestInfo + std::string(digest.begin(), digest.end());
    EXPECT_EQ(block, expected); // the leading zero byte is the number's, not written
    EXPECT_THROW(SignFile(TestPrivateKey(), file), PackError); // the 1024-bit format key
}

TEST(Signature, CryptoApiVerifiesThePackersSignaturesAndNothingElse) {
    const std::string file = EncryptForTest(L"<Utility/>");
    const std::string signature = SignForTest(file);
    const RsaPublicKey key = TestSigningKey().PublicKey();
    EXPECT_TRUE(VerifySignature(file, signature, key));
    EXPECT_FALSE(VerifySignature(Flipped(file, file.size() - 1), signature, key));
    EXPECT_FALSE(VerifySignature(file + "x", signature, key));
    EXPECT_FALSE(VerifySignature(file, Flipped(signature, 100), key));
    EXPECT_FALSE(VerifySignature(file, std::string(signature.rbegin(), signature.rend()), key));
    EXPECT_FALSE(VerifySignature(file, signature.substr(1), key));
    EXPECT_FALSE(VerifySignature(file, signature + '\0', key));
    EXPECT_FALSE(VerifySignature(file, "", key));
    EXPECT_FALSE(VerifySignature(file, signature, OtherSigningKey().PublicKey()));
    EXPECT_TRUE(
        VerifySignature(file, SignFile(OtherSigningKey(), file), OtherSigningKey().PublicKey()));
}

TEST(Signature, KeysCryptoApiIsNotGiven) {
    const RsaPublicKey good = TestSigningKey().PublicKey();
    EXPECT_TRUE(SigningKeyBlob(good).has_value());
    EXPECT_FALSE(SigningKeyBlob(TestPublicKey()).has_value()); // 1024 bits: the format's key
    EXPECT_FALSE(SigningKeyBlob(RsaPublicKey{good.modulusHex, "100000001"}).has_value());
    EXPECT_FALSE(SigningKeyBlob(RsaPublicKey{good.modulusHex, "1"}).has_value());
    std::string even = good.modulusHex;
    even.back() = '0';
    EXPECT_FALSE(SigningKeyBlob(RsaPublicKey{even, "10001"}).has_value());
    EXPECT_FALSE(SigningKeyBlob(RsaPublicKey{"not hex", "10001"}).has_value());
}

} // namespace
