#include "config/crypto.h"
#include "tests/unit/crypto_fixtures.h"

#include <gtest/gtest.h>

namespace {

TEST(PackerKeys, GeneratedKeyIsAConsistent1024BitPair) {
    RsaPrivateKey key = GenerateRsaKey(kModulusBits, SeededRandom(5));
    EXPECT_EQ(key.modulus.BitLength(), 1024u);
    EXPECT_EQ(key.modulus, key.prime1 * key.prime2);
    EXPECT_EQ(key.publicExponent, BigUint(65537));
    BigUint phi = (key.prime1 - BigUint(1)) * (key.prime2 - BigUint(1));
    EXPECT_EQ(key.publicExponent * key.privateExponent % phi, BigUint(1));
    RandomFill random = SeededRandom(6);
    EXPECT_TRUE(IsProbablePrime(key.prime1, 10, random));
    EXPECT_TRUE(IsProbablePrime(key.prime2, 10, random));

    // Both key files read back as the same key.
    RsaPrivateKey reread = ParsePrivateKeyFile(FormatPrivateKeyFile(key));
    EXPECT_EQ(reread.modulus, key.modulus);
    EXPECT_EQ(reread.privateExponent, key.privateExponent);
    RsaPublicKey publicKey = ParsePublicKeyFile(FormatPublicKeyFile(key.PublicKey()));
    EXPECT_EQ(publicKey.modulusHex, key.modulus.ToHex());
    EXPECT_EQ(publicKey.modulusHex.size(), 256u);
    EXPECT_EQ(publicKey.exponentHex, "10001");
}

TEST(PackerKeys, DamagedKeyFilesAreRejected) {
    std::string good = FormatPrivateKeyFile(TestPrivateKey());
    EXPECT_NO_THROW(ParsePrivateKeyFile(good));
    EXPECT_NO_THROW(ParsePrivateKeyFile("\r\n# comment\r\n" + good)); // CRLF line ends

    std::string otherModulus = good;
    size_t digit = otherModulus.find("modulus=") + 20;
    otherModulus[digit] = otherModulus[digit] == '1' ? '3' : '1';
    std::string withoutPrime = good.substr(0, good.find("prime2="));
    std::string otherExponent = good;
    otherExponent.replace(otherExponent.find("exponent=10001"), 14, "exponent=3");
    for (const std::string& bad :
         {std::string(), std::string("hello"), otherModulus, withoutPrime, otherExponent,
          good + "modulus=1\n", good.substr(0, good.find("prime1=")) + "prime1=XYZ\n"})
        EXPECT_THROW(ParsePrivateKeyFile(bad), PackError) << bad;

    EXPECT_THROW(ParsePublicKeyFile("exponent=10001\n"), PackError);
    EXPECT_THROW(ParsePublicKeyFile("modulus=0\nexponent=10001\n"), PackError);
}

TEST(PackerKeys, SigningKeysAreKeptApartFromTheFormatKey) {
    const RsaPrivateKey& signing = TestSigningKey();
    EXPECT_GE(signing.modulus.BitLength(), kSmallestSigningKeyBits);
    const std::string privateFile = FormatPrivateKeyFile(signing, KeyUse::Signing);
    const std::string publicFile = FormatPublicKeyFile(signing.PublicKey(), KeyUse::Signing);
    EXPECT_TRUE(privateFile.starts_with("# RSA signing key")) << privateFile;
    EXPECT_EQ(ParseSigningKeyFile(privateFile).privateExponent, signing.privateExponent);
    EXPECT_EQ(ParseSigningPublicKeyFile(publicFile).modulusHex, signing.modulus.ToHex());
    // The format's 1024-bit pair is no signing key.
    EXPECT_THROW(ParseSigningKeyFile(FormatPrivateKeyFile(TestPrivateKey())), PackError);
    EXPECT_THROW(ParseSigningPublicKeyFile(FormatPublicKeyFile(TestPublicKey())), PackError);
}

TEST(PackerBody, EncodingsWriteTheirMarks) {
    const std::wstring text = L"a\u00E9\U0001F600";
    EXPECT_EQ(EncodeBody(text, BodyEncoding::Utf8, 0), "\xEF\xBB\xBF"
                                                       "a\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(EncodeBody(text, BodyEncoding::Utf16, 0), std::string("\xFF\xFE"
                                                                    "a\0\xE9\0\x3D\xD8\x00\xDE",
                                                                    10));
    EXPECT_EQ(EncodeBody(text, BodyEncoding::Utf32Marker, 0),
              std::string("\0\0\xFF\xFE"
                          "a\0\0\0\xE9\0\0\0\x00\xF6\x01\0",
                          16));
    EXPECT_EQ(EncodeBody(L"网银", BodyEncoding::Ansi, 936), "\xCD\xF8\xD2\xF8");

    EXPECT_THROW(EncodeBody(L"网银", BodyEncoding::Ansi, 1252), PackError);
    EXPECT_THROW(EncodeBody(L"abc", BodyEncoding::Ansi, 12345), PackError);
    EXPECT_THROW(EncodeBody(L"\u00EF\u00BB\u00BFx", BodyEncoding::Ansi, 1252), PackError);
    EXPECT_THROW(EncodeBody(std::wstring(L"a\0b", 3), BodyEncoding::Utf8, 0), PackError);
    EXPECT_EQ(ParseBodyEncoding("utf32marker"), BodyEncoding::Utf32Marker);
    EXPECT_FALSE(ParseBodyEncoding("UTF8").has_value());
}

TEST(PackerFileKey, RandomKeysHaveNoZeroByteAndFitTheModulus) {
    // A source that mostly gives zeros must still yield a full key.
    int calls = 0;
    RandomFill zeros = [&](std::span<uint8_t> out) {
        for (uint8_t& byte : out)
            byte = ++calls % 5 == 0 ? static_cast<uint8_t>(calls) : 0;
    };
    std::string key = RandomFileKey(zeros);
    EXPECT_EQ(key.size(), kFileKeySize);
    EXPECT_EQ(key.find('\0'), std::string::npos);

    std::string block = MakeKeyBlock(TestPrivateKey(), key);
    EXPECT_EQ(block.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_THROW(MakeKeyBlock(TestPrivateKey(), std::string(4, '\0')), PackError);
    EXPECT_THROW(MakeKeyBlock(TestPrivateKey(), TestPrivateKey().modulus.ToBytes()), PackError);
}

TEST(PackerInput, InputTextMustBeUtf8) {
    EXPECT_EQ(Utf8ToWide("\xEF\xBB\xBF"
                         "a\xC3\xA9"),
              L"a\u00E9");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_THROW(Utf8ToWide("a\xC3"), PackError);
    EXPECT_THROW(Utf8ToWide("\xFF\xFE"
                            "a"),
                 PackError);
}

} // namespace
