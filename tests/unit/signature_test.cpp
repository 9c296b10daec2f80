// Detached signatures: the packer's signatures checked on their own terms and
// by the control's CryptoAPI verification, and the rule for files read from
// disk under either policy.
#include "config/crypto.h"
#include "crypto/sha256.h"
#include "crypto/signature.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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
    // The same verdicts from the SHA-256 a read already made of the bytes.
    EXPECT_TRUE(VerifySignatureOfDigest(*Sha256Of(file), signature, key));
    EXPECT_FALSE(VerifySignatureOfDigest(*Sha256Of(file + "x"), signature, key));
    EXPECT_FALSE(VerifySignatureOfDigest(*Sha256Of(file), Flipped(signature, 100), key));
    EXPECT_FALSE(
        VerifySignatureOfDigest(*Sha256Of(file), signature, OtherSigningKey().PublicKey()));
}

// One verifier serves a whole operation, from several threads: a verdict never
// depends on the ones before it (a refusal between two good signatures included).
TEST(Signature, OneVerifierGivesEveryVerdictAFreshOneGives) {
    const std::string file = EncryptForTest(L"<Update/>");
    const std::string signature = SignForTest(file);
    const struct {
        std::string data, signature;
        bool verified;
    } cases[] = {
        {file, signature, true},
        {file + "x", signature, false},
        {file, Flipped(signature, 7), false},
        {file, "", false},
        {file, SignFile(OtherSigningKey(), file), false},
        {file, signature, true},
    };
    SignatureVerifier verifier(TestSigningKey().PublicKey());
    auto runCases = [&](int* wrong) {
        for (int round = 0; round < 3; ++round)
            for (const auto& c : cases) {
                *wrong += verifier.Verify(c.data, c.signature) != c.verified;
                *wrong += verifier.VerifyDigest(*Sha256Of(c.data), c.signature) != c.verified;
            }
    };
    int wrong[4] = {};
    std::vector<std::thread> threads;
    for (int& count : wrong)
        threads.emplace_back(runCases, &count);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong[0] + wrong[1] + wrong[2] + wrong[3], 0);
    // A key CryptoAPI is not given verifies nothing, however often it is asked.
    SignatureVerifier unusable(TestPublicKey());
    EXPECT_FALSE(unusable.Verify(file, signature));
    EXPECT_FALSE(unusable.Verify(file, signature));
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

// Files as the update check leaves them: each beside its signature, or not.
class SignedFiles : public testing::Test {
protected:
    SignedFiles() {
        const std::string good = EncryptForTest(kText);
        const std::string signature = SignForTest(good);
        Put(L"good.cfg", good, signature);
        Put(L"tampered.cfg", Flipped(good, good.size() - 1), signature);
        Put(L"badsig.cfg", good, Flipped(signature, 7));
        Put(L"foreign.cfg", good, SignFile(OtherSigningKey(), good));
        Put(L"oversized.cfg", good, signature + std::string(kLargestSignatureFile, '\0'));
        WriteBytes(dir_ / L"unsigned.cfg", good);
    }

    void Put(const std::wstring& name, const std::string& file, const std::string& signature) {
        WriteBytes(dir_ / name, file);
        WriteBytes(dir_ / name + L".sig", signature);
    }

    static constexpr wchar_t kText[] = L"<Utility><Control/></Utility>";
    TempFolder dir_;
    RecordingTraceSink trace_;
};

TEST_F(SignedFiles, RequiredDecryptsOnlyWhatTheBankSigned) {
    const CDravikCrypto crypto(TestPublicKey(), RequiredSignatures(), trace_);
    EXPECT_EQ(crypto.DecryptFromFile(dir_ / L"good.cfg"), kText);
    EXPECT_TRUE(crypto.IsAuthentic(dir_ / L"good.cfg"));
    for (const wchar_t* name : {L"tampered.cfg", L"badsig.cfg", L"foreign.cfg", L"oversized.cfg"}) {
        EXPECT_FALSE(crypto.DecryptFromFile(dir_ / name).has_value()) << name;
        EXPECT_FALSE(crypto.IsAuthentic(dir_ / name)) << name;
        EXPECT_TRUE(trace_.Contains(std::wstring(L"失败事件：") + name + L"签名验证失败")) << name;
    }
    EXPECT_FALSE(crypto.DecryptFromFile(dir_ / L"unsigned.cfg").has_value());
    EXPECT_TRUE(trace_.Contains(L"失败事件：unsigned.cfg签名文件不存在"));
    // A missing file fails as it always did, with nothing about signatures.
    const size_t lines = trace_.Lines().size();
    EXPECT_FALSE(crypto.DecryptFromFile(dir_ / L"missing.cfg").has_value());
    EXPECT_EQ(trace_.Lines().size(), lines);
}

TEST_F(SignedFiles, OffReadsTheFormatAloneAsBefore) {
    const CDravikCrypto crypto(TestPublicKey(), SignatureCheck{}, trace_);
    for (const wchar_t* name : {L"good.cfg", L"badsig.cfg", L"foreign.cfg", L"unsigned.cfg"}) {
        EXPECT_EQ(crypto.DecryptFromFile(dir_ / name), kText) << name;
        EXPECT_TRUE(crypto.IsAuthentic(dir_ / name)) << name;
    }
    // Nothing detects the tampered body: it decrypts to whatever it gives.
    EXPECT_TRUE(crypto.DecryptFromFile(dir_ / L"tampered.cfg").has_value());
    EXPECT_TRUE(trace_.Lines().empty());
}

} // namespace
