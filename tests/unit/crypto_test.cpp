#include "common/text.h"
#include "config/crypto.h"
#include "crypto/rc4.h"
#include "config/text_decoding.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

std::string Unhex(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string Utf16Bytes(std::wstring_view text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

// The 4-byte little-endian header for a key block of this length.
std::string Header(size_t length) {
    std::string header;
    for (int shift = 0; shift < 32; shift += 8)
        header.push_back(static_cast<char>((length >> shift) & 0xFF));
    return header;
}

std::string WithHeader(const std::string& file, size_t length) {
    return Header(length) + file.substr(4);
}

size_t KeyBlockLength(const std::string& file) {
    return SplitEncryptedFile(file)->keyBlock.size();
}

const std::wstring kChinese = L"<Root name=\"网上银行\">控件</Root>";

TEST(Rc4, PublishedVectors) {
    EXPECT_EQ(Rc4Transform("Key", "Plaintext"), Unhex("bbf316e8d940af0ad3"));
    EXPECT_EQ(Rc4Transform("Wiki", "pedia"), Unhex("1021bf0420"));
    EXPECT_EQ(Rc4Transform("Secret", "Attack at dawn"), Unhex("45a01f645fc35b383552544b9bf5"));
    // RFC 6229: 40-bit key 0102030405 at offsets 0 and 4096; 256-bit key 0102..20 at 0.
    std::string stream = Rc4Transform(Unhex("0102030405"), std::string(4112, '\0'));
    EXPECT_EQ(stream.substr(0, 32), Unhex("b2396305f03dc027ccc3524a0a1118a8"
                                          "6982944f18fc82d589c403a47a0d0919"));
    EXPECT_EQ(stream.substr(4096), Unhex("ff25b58995996707e51fbdf08b34d875"));
    EXPECT_EQ(Rc4Transform(Unhex("0102030405060708090a0b0c0d0e0f10"
                                 "1112131415161718191a1b1c1d1e1f20"),
                           std::string(16, '\0')),
              Unhex("eaa6bd25880bf93d3f5d1e4ca2611d91"));
    EXPECT_THROW(Rc4(""), std::invalid_argument);
}

TEST(Rc4, StreamContinuesAcrossCalls) {
    Rc4 cipher("Key");
    std::string first = "Plain", second = "text";
    cipher.Apply(first);
    cipher.Apply(second);
    EXPECT_EQ(first + second, Unhex("bbf316e8d940af0ad3"));
}

TEST(DecodeConfigText, ByteOrderMarksChooseTheEncoding) {
    EXPECT_EQ(DecodeConfigText("\xEF\xBB\xBF" + ToCodePage(kChinese, CP_UTF8), 1252), kChinese);
    EXPECT_EQ(DecodeConfigText("\xEF\xBB\xBF", 1252), L"");
    // Beyond the BMP a surrogate pair; anything ill-formed as the system reads it.
    EXPECT_EQ(DecodeConfigText("\xEF\xBB\xBF"
                               "a\xF0\x9F\x98\x80",
                               1252),
              L"a\xD83D\xDE00");
    for (std::string bad :
         {"a\xC3(b", "\xC0\xAF", "\xED\xA0\x80x", "\xF4\x90\x80\x80", "z\xE4\xB8"})
        EXPECT_EQ(DecodeConfigText("\xEF\xBB\xBF" + bad, 1252), FromCodePage(bad, CP_UTF8)) << bad;
    EXPECT_EQ(DecodeConfigText("\xFF\xFE" + Utf16Bytes(kChinese), 1252), kChinese);
    // UTF-16 stops at the first zero character; a dangling odd byte is dropped.
    EXPECT_EQ(DecodeConfigText("\xFF\xFE" + Utf16Bytes(std::wstring(L"ab\0cd", 5)), 1252), L"ab");
    EXPECT_EQ(DecodeConfigText("\xFF\xFE" + Utf16Bytes(L"ab") + "c", 1252), L"ab");
    // The unsupported form reads as empty text, even with text behind it.
    EXPECT_EQ(DecodeConfigText(std::string("\x00\x00\xFF\xFE", 4) + "<a/>", 1252), L"");
    EXPECT_EQ(DecodeConfigText(std::string("\x00\x00\xFF\xFE", 4), 1252), L"");
}

TEST(DecodeConfigText, EverythingElseIsAnsiUpToTheFirstZeroByte) {
    std::string gbk = ToCodePage(kChinese, 936);
    EXPECT_EQ(DecodeConfigText(gbk, 936), kChinese);
    EXPECT_EQ(DecodeConfigText(gbk + std::string("\0tail", 5), 936), kChinese);
    EXPECT_EQ(DecodeConfigText("caf\xE9", 1252), L"café");
    EXPECT_EQ(DecodeConfigText("", 936), L"");
    // Cut-off marks are ANSI text too: the first zero byte ends a short 00 00 FF body.
    EXPECT_EQ(DecodeConfigText(std::string("\x00\x00\xFF", 3), 1252), L"");
    EXPECT_EQ(DecodeConfigText("\xEF\xBB", 1252), L"ï»");
    EXPECT_EQ(DecodeConfigText("\xFF", 1252), L"ÿ");
}

TEST(EncryptedFileLayout, HeaderSplitsKeyBlockAndBody) {
    auto parts = SplitEncryptedFile(std::string("\x03\x00\x00\x00"
                                                "ABCbody",
                                                11));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->keyBlock, "ABC");
    EXPECT_EQ(parts->body, "body");

    parts = SplitEncryptedFile(std::string("\x03\x00\x00\x00"
                                           "ABC",
                                           7));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->body, "");

    for (const std::string& bad : {std::string(), std::string("\x01", 1), std::string(3, '\0'),
                                   std::string("\x04\x00\x00\x00"
                                               "ABC",
                                               7),
                                   std::string("\xFF\xFF\xFF\xFF"
                                               "ABC",
                                               7),
                                   std::string("\x00\x01\x00\x00"
                                               "ABC",
                                               7)})
        EXPECT_FALSE(SplitEncryptedFile(bad).has_value()) << bad.size();

    EXPECT_EQ(Rc4KeyFromFileKey(std::string("\x11\x22\x00\x33", 4)), "\x11\x22");
    EXPECT_EQ(Rc4KeyFromFileKey("\x11\x22"), "\x11\x22");
}

TEST(CDravikRSA, RecoversTheFileKeyFromItsKeyBlock) {
    CDravikRSA rsa(TestPublicKey());
    ASSERT_TRUE(rsa.IsValid());
    const std::string fileKey = "\x9A\x01\x7F\x80\xFF\x10\x20\x30\x40\x50\x60\x70\x80\x90\xA0\xB0";
    std::string block = MakeKeyBlock(TestPrivateKey(), fileKey);
    EXPECT_EQ(rsa.RecoverFileKey(block), fileKey);
    std::string lower = block;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(rsa.RecoverFileKey(lower), fileKey); // hexadecimal of either case
    // A NUL ends the key block text, as a stored terminator would.
    EXPECT_EQ(rsa.RecoverFileKey(block + std::string("\0junk", 5)), fileKey);
    EXPECT_FALSE(rsa.RecoverFileKey("").has_value());
    EXPECT_FALSE(rsa.RecoverFileKey("12 34").has_value());
    EXPECT_FALSE(rsa.RecoverFileKey("XYZ").has_value());

    EXPECT_FALSE(CDravikRSA(RsaPublicKey{"", "10001"}).IsValid());
    EXPECT_FALSE(CDravikRSA(RsaPublicKey{"1", "10001"}).IsValid());
    EXPECT_FALSE(CDravikRSA(RsaPublicKey{TestPublicKey().modulusHex, "ten"}).IsValid());
    EXPECT_FALSE(CDravikRSA(RsaPublicKey{"G00D", "10001"}).RecoverFileKey(block).has_value());
}

TEST(CDravikCrypto, DecryptsEveryEncodingThePackerWrites) {
    CDravikCrypto crypto(TestPublicKey());
    const std::wstring text = L"<Root a=\"网上银行 😀\">ünïcødé &amp; text</Root>";
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(text, BodyEncoding::Utf8)), text);
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(text, BodyEncoding::Utf16)), text);
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(text, BodyEncoding::Utf32Marker)), L"");
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(kChinese, BodyEncoding::Ansi, 936), 936),
              kChinese);
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(L"café", BodyEncoding::Ansi, 1252), 1252),
              L"café");
    EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(L"", BodyEncoding::Utf8)), L"");

    // Without a code page the thread's ANSI code page decodes.
    unsigned acp = GetACP();
    std::wstring local = acp == 936 ? kChinese : L"caf\u00E9";
    if (FromCodePage(ToCodePage(local, acp), acp) == local) {
        EXPECT_EQ(crypto.DecryptBuffer(EncryptForTest(local, BodyEncoding::Ansi, acp)), local);
    }
}

TEST(CDravikCrypto, OneObjectDecryptsFilesInARow) {
    CDravikCrypto crypto(TestPublicKey());
    std::string first = EncryptForTest(L"<first/>");
    std::string second = EncryptForTest(L"<second/>", BodyEncoding::Utf16);
    EXPECT_EQ(crypto.DecryptBuffer(first), L"<first/>");
    EXPECT_EQ(crypto.DecryptBuffer(second), L"<second/>");
    EXPECT_EQ(crypto.DecryptBuffer(first), L"<first/>");
}

TEST(CDravikCrypto, FileKeyIsCutAtItsFirstZeroByte) {
    const std::string fileKey("\x5A\xA5\x00\x33\x44\x55\x66\x77", 8);
    const std::string body = "\xEF\xBB\xBF<cut/>";
    const std::string keyBlock = MakeKeyBlock(TestPrivateKey(), fileKey);
    auto fileWith = [&](const std::string& rc4Key) {
        return Header(keyBlock.size()) + keyBlock + Rc4Transform(rc4Key, body);
    };
    CDravikCrypto crypto(TestPublicKey());
    // Only the two bytes before the zero key the body.
    EXPECT_EQ(crypto.DecryptBuffer(fileWith("\x5A\xA5")), L"<cut/>");
    EXPECT_NE(crypto.DecryptBuffer(fileWith(fileKey)), L"<cut/>");
    // The packer's own entry for given keys agrees, also for leading zero bytes.
    EXPECT_EQ(crypto.DecryptBuffer(BuildEncryptedFile(TestPrivateKey(), fileKey, body)), L"<cut/>");
    EXPECT_EQ(crypto.DecryptBuffer(
                  BuildEncryptedFile(TestPrivateKey(), std::string("\x00\x00\x42\x43", 4), body)),
              L"<cut/>");
}

TEST(CDravikCrypto, DamagedFilesFailWithoutReadingFurther) {
    CDravikCrypto crypto(TestPublicKey());
    std::string good = EncryptForTest(L"<x/>");
    size_t length = KeyBlockLength(good);

    EXPECT_FALSE(crypto.DecryptBuffer("").has_value());
    EXPECT_FALSE(crypto.DecryptBuffer(good.substr(0, 3)).has_value());
    EXPECT_FALSE(crypto.DecryptBuffer(good.substr(0, 4 + length - 1)).has_value());
    EXPECT_FALSE(crypto.DecryptBuffer(WithHeader(good, good.size() - 3)).has_value());
    EXPECT_FALSE(crypto.DecryptBuffer(WithHeader(good, 0xFFFFFFFF)).has_value());
    EXPECT_FALSE(crypto.DecryptBuffer(std::string("\x00\x00\x00\x00", 4)).has_value());
    std::string notHex = good;
    notHex[4] = 'Q';
    EXPECT_FALSE(crypto.DecryptBuffer(notHex).has_value());
    // A key block of value 0 leaves no RC4 key.
    EXPECT_FALSE(crypto.DecryptBuffer(Header(1) + "0body").has_value());
    // The header alone with the whole key block: empty body, empty text.
    EXPECT_EQ(crypto.DecryptBuffer(good.substr(0, 4 + length)), L"");
}

// Model: a file fed in any blocks deciphers as the whole file does, damaged
// and cut files included, whatever buffer it is written into.
TEST(BodyDecryptor, AnySplitOfAFileGivesWhatTheWholeFileGives) {
    CDravikCrypto crypto(TestPublicKey());
    const std::string good = EncryptForTest(std::wstring(3000, L'x') + kChinese);
    const size_t front = 4 + KeyBlockLength(good);
    std::string notHex = good;
    notHex[5] = 'Q';
    const std::string files[] = {good,
                                 EncryptForTest(kChinese, BodyEncoding::Utf16),
                                 good.substr(0, 3),
                                 good.substr(0, front - 1),
                                 good.substr(0, front),
                                 good.substr(0, front + 1),
                                 WithHeader(good, good.size()),
                                 WithHeader(good, 0),
                                 Header(1) + "0body",
                                 notHex,
                                 ""};
    std::mt19937 random(7);
    for (const std::string& file : files) {
        for (int split = 0; split < 20; ++split) {
            BodyDecryptor decryptor(crypto);
            // Half of them write into a buffer a previous body left behind.
            if (split % 2)
                decryptor.Reuse(std::string(split * 100, 'z'));
            size_t at = 0;
            while (at < file.size()) {
                // Empty blocks and blocks that end inside the header or key block too.
                const size_t block =
                    std::min<size_t>(file.size() - at, random() % (split < 10 ? 9 : 700));
                decryptor.Add(file.data() + at, block);
                at += block;
            }
            EXPECT_EQ(decryptor.TakeBody(), crypto.DecryptBody(file))
                << "file of " << file.size() << " bytes, split " << split;
        }
    }
}

TEST(CDravikCrypto, WrongKeyGivesGarbageNotACrash) {
    RsaPrivateKey other = GenerateRsaKey(1024, SeededRandom(99));
    std::string file = EncryptForTest(kChinese, BodyEncoding::Utf8);
    for (unsigned codePage : {936u, 1252u, 65001u}) {
        auto text = CDravikCrypto(other.PublicKey()).DecryptBuffer(file, codePage);
        ASSERT_TRUE(text.has_value());
        EXPECT_NE(*text, kChinese);
    }
}

TEST(CDravikCrypto, DecryptsFilesOnDisk) {
    TempFolder dir;
    WriteBytes(dir / L"Utility Chs.cfg", EncryptForTest(kChinese, BodyEncoding::Utf16));
    WriteBytes(dir / L"short.cfg", "ab");
    EXPECT_EQ(CDravikCrypto(TestPublicKey()).DecryptFromFile(dir / L"Utility Chs.cfg"), kChinese);
    EXPECT_EQ(DecryptConfigFile(dir / L"Utility Chs.cfg", TestPublicKey()), kChinese);
    EXPECT_FALSE(DecryptConfigFile(dir / L"missing.cfg", TestPublicKey()).has_value());
    EXPECT_FALSE(DecryptConfigFile(dir / L"short.cfg", TestPublicKey()).has_value());
    EXPECT_FALSE(DecryptConfigFile(dir.path(), TestPublicKey()).has_value()); // a folder
    EXPECT_EQ(CDravikCrypto::ReadWholeFile(dir / L"short.cfg"), "ab");
}

TEST(BuiltInPublicKey, IsA1024BitKeyWithExponent65537) {
    const RsaPublicKey& key = BuiltInPublicKey();
    EXPECT_EQ(key.modulusHex.size(), 256u);
    EXPECT_EQ(key.exponentHex, "10001");
    std::optional<BigUint> modulus = BigUint::FromHex(key.modulusHex);
    ASSERT_TRUE(modulus.has_value());
    EXPECT_EQ(modulus->BitLength(), 1024u);
    EXPECT_TRUE(modulus->IsOdd());
    std::string setting = TOVRAL_PUBLIC_KEY_SETTING;
    if (setting.ends_with("tests/fixtures/keys/test.pub")) {
        EXPECT_EQ(key.modulusHex, TestPublicKey().modulusHex);
    }
}

} // namespace
