#include "crypto/checksum.h"
#include "common/handles.h"
#include "common/text.h"
#include "config/listed_file.h"
#include "crypto/sha256.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// Bit at a time, straight from the definition: the reference for the fast methods.
std::uint32_t ReferenceCrc(std::string_view bytes) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        reg ^= c;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

TEST(Crc32, KnownVectors) {
    EXPECT_EQ(Crc32Update(0, ""), 0u);
    EXPECT_EQ(Crc32Update(0, "a"), 0xE8B7BE43u);
    EXPECT_EQ(Crc32Update(0, "abc"), 0x352441C2u);
    EXPECT_EQ(Crc32Update(0, "123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32Update(0, "The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(Crc32Update(0, std::string(32, '\0')), 0x190A55ADu);
    EXPECT_EQ(Crc32Update(0, std::string(32, '\xFF')), 0xFF6CAB0Bu);
}

TEST(Crc32, ContinuesAcrossPieces) {
    std::string data = RandomBytes(1000, 1);
    std::uint32_t whole = Crc32Update(0, data);
    for (std::size_t cut : {0u, 1u, 15u, 64u, 129u, 999u, 1000u}) {
        std::uint32_t first = Crc32Update(0, data.data(), cut);
        EXPECT_EQ(Crc32Update(first, data.data() + cut, data.size() - cut), whole) << cut;
    }
}

// Every length around the block sizes of the fast loops, at every alignment,
// starting from no bytes and from a CRC of earlier bytes.
void ExpectMatchesReference(std::uint32_t (*update)(std::uint32_t, const void*, std::size_t)) {
    const std::string earlier = "earlier";
    const std::uint32_t earlierCrc = ReferenceCrc(earlier);
    std::string data = RandomBytes(600, 2);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t size = 0; size + offset <= 400; ++size) {
            std::string_view piece(data.data() + offset, size);
            ASSERT_EQ(update(0, piece.data(), size), ReferenceCrc(piece))
                << "offset " << offset << " size " << size;
            ASSERT_EQ(update(earlierCrc, piece.data(), size),
                      ReferenceCrc(earlier + std::string(piece)))
                << "offset " << offset << " size " << size;
        }
    }
    std::string big = RandomBytes((1 << 20) + 13, 3);
    std::string_view unaligned = std::string_view(big).substr(3);
    EXPECT_EQ(update(0, unaligned.data(), unaligned.size()), ReferenceCrc(unaligned));
}

TEST(Crc32, TableMethodMatchesReference) {
    ExpectMatchesReference(Crc32UpdateTable);
}

TEST(Crc32, FoldingMethodMatchesReference) {
    if (!Crc32FoldingSupported())
        GTEST_SKIP() << "no PCLMULQDQ on this processor";
    ExpectMatchesReference(Crc32UpdateFolding);
}

TEST(Crc32, TextIsLowercaseHexWithoutLeadingZeros) {
    EXPECT_EQ(ChecksumText(0), L"0");
    EXPECT_EQ(ChecksumText(0xABCD), L"abcd");
    EXPECT_EQ(ChecksumText(0x0F00000Au), L"f00000a");
    EXPECT_EQ(ChecksumText(0xFFFFFFFFu), L"ffffffff");
}

TEST(FileChecksum, SmallFiles) {
    TempFolder dir;
    WriteBytes(dir / L"abc.bin", "abc");
    WriteBytes(dir / L"empty.bin", "");
    EXPECT_EQ(FileChecksumText(dir / L"abc.bin"), L"352441c2");
    EXPECT_EQ(FileChecksumText(dir / L"empty.bin"), L"0");
    EXPECT_EQ(FileChecksumText(dir / L"missing.bin"), L"");
    EXPECT_EQ(FileChecksumText(dir.path()), L""); // a folder is not a file
}

TEST(FileChecksum, FilesLongerThanOneBlock) {
    TempFolder dir;
    // Several read blocks with an odd tail, so blocks end at unaligned places.
    std::string data = RandomBytes(3 * 256 * 1024 + 77, 4);
    WriteBytes(dir / L"big.bin", data);
    EXPECT_EQ(FileChecksumText(dir / L"big.bin"), ChecksumText(ReferenceCrc(data)));
}

TEST(FileChecksum, ReadsAFileAnotherProgramIsWriting) {
    TempFolder dir;
    std::wstring path = dir / L"open.bin";
    WriteBytes(path, "abc");
    FileHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(FileChecksumText(path), L"352441c2");
}

// --- SHA-256 and the checksums a list gives --------------------------------------

const wchar_t kAbc[] = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownVectorsInMemoryAndFromFiles) {
    EXPECT_EQ(Sha256Text(*Sha256Of("abc")), kAbc);
    EXPECT_EQ(Sha256Text(*Sha256Of("")),
              L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    TempFolder dir;
    WriteBytes(dir / L"abc", "abc");
    WriteBytes(dir / L"million", std::string(1000000, 'a')); // read in several blocks
    EXPECT_EQ(FileSha256Text(dir / L"abc"), kAbc);
    EXPECT_EQ(FileSha256Text(dir / L"million"),
              L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(FileSha256Text(dir / L"missing"), L"");
    EXPECT_EQ(FileSha256Text(dir.path()), L""); // a folder
}

TEST(Sha256, PartsGiveTheDigestOfTheWhole) {
    Sha256Stream stream;
    stream.Update("a", 1);
    stream.Update("", 0);
    stream.Update("bc", 2);
    EXPECT_EQ(Sha256Text(*stream.Finish()), kAbc);
}

// --- the processor's method and CryptoAPI's ----------------------------------------

std::vector<Sha256Method> MethodsOfThisProcessor() {
    std::vector<Sha256Method> methods{Sha256Method::CryptoApi};
    if (Sha256ProcessorSupported())
        methods.push_back(Sha256Method::Processor);
    return methods;
}

// The published vectors: no bytes, one block, the padding spilling into a
// second block (56 bytes), two blocks, and many blocks in one part.
TEST(Sha256, StandardVectorsByEveryMethod) {
    const struct {
        std::string input;
        const wchar_t* digest;
    } vectors[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", kAbc},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "m"
         "nopqrsmnopqrstnopqrstu",
         L"cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (Sha256Method method : MethodsOfThisProcessor()) {
        for (const auto& vector : vectors) {
            std::optional<Sha256Digest> digest = Sha256Of(vector.input, method);
            ASSERT_TRUE(digest) << Sha256MethodName(method);
            EXPECT_EQ(Sha256Text(*digest), vector.digest)
                << Sha256MethodName(method) << ", " << vector.input.size() << " bytes";
        }
    }
}

// CryptoAPI's digest of bytes through one provider: a stream of that method
// takes a provider of its own, which costs milliseconds each under Wine.
std::wstring CryptoApiSha256Text(const CryptProvider& provider, std::string_view bytes) {
    CryptHash hash = CreateSha256Hash(provider);
    Sha256Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!hash || !HashBytes(hash, bytes.data(), bytes.size()) ||
        !CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0))
        return L"";
    return Sha256Text(digest);
}

std::wstring StreamSha256Text(Sha256Method method, std::string_view bytes,
                              const std::vector<std::size_t>& parts) {
    Sha256Stream stream(method);
    std::size_t at = 0;
    for (std::size_t part : parts) {
        stream.Update(bytes.data() + at, part);
        at += part;
    }
    std::optional<Sha256Digest> digest = stream.Finish();
    return digest ? Sha256Text(*digest) : L"";
}

// The processor's method against CryptoAPI's on thousands of random inputs of
// random lengths (a third of them short, around the padding's boundaries), at
// unaligned addresses, each handed over in random parts (empty ones too);
// every 25th input goes through a CryptoAPI stream in the same parts as well.
TEST(Sha256, ProcessorMethodMatchesCryptoApi) {
    if (!Sha256ProcessorSupported())
        GTEST_SKIP() << "no SHA extensions on this processor";
    const CryptProvider provider = AcquireRsaAesProvider();
    ASSERT_TRUE(provider);
    std::mt19937 random(11);
    const std::string pool = RandomBytes(5000, 12);
    for (int input = 0; input < 3000; ++input) {
        const std::size_t size = random() % (input % 3 == 0 ? 200 : 4900);
        const std::string_view bytes(pool.data() + random() % 64, size);
        const std::size_t largestPart = random() % 2 ? 70 : 2000;
        std::vector<std::size_t> parts;
        for (std::size_t at = 0; at < size; at += parts.back())
            parts.push_back(std::min<std::size_t>(size - at, random() % (largestPart + 1)));
        const std::wstring reference = CryptoApiSha256Text(provider, bytes);
        ASSERT_EQ(reference.size(), 64u);
        ASSERT_EQ(StreamSha256Text(Sha256Method::Processor, bytes, parts), reference)
            << "input " << input << ", " << size << " bytes in " << parts.size() << " parts";
        if (input % 25 == 0) {
            ASSERT_EQ(StreamSha256Text(Sha256Method::CryptoApi, bytes, parts), reference)
                << "input " << input;
        }
    }
}

TEST(ListedFile, OneReadGivesBothTexts) {
    std::string bytes(600 * 1024 + 7, '\0'); // several read blocks, the last one short
    std::mt19937 random(7);
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    TempFolder dir;
    const std::wstring path = dir / L"app.exe";
    WriteBytes(path, bytes);
    const std::wstring crc = ChecksumText(ReferenceCrc(bytes));
    const std::wstring sha256 = Sha256Text(*Sha256Of(bytes));
    const FileChecksums both = FileChecksumsOf(path, true);
    EXPECT_EQ(both.mac, crc);
    EXPECT_EQ(both.sha256, sha256);
    EXPECT_EQ(FileChecksumsOf(path, false).sha256, L"");
    EXPECT_EQ(ChecksumsOfBytes(bytes, true).mac, crc);
    EXPECT_EQ(ChecksumsOfBytes(bytes, true).sha256, sha256);
    EXPECT_TRUE(BytesMatchListed(bytes, {crc, sha256}));
    EXPECT_FALSE(BytesMatchListed(bytes.substr(1), {crc, L""}));
    const FileChecksums missing = FileChecksumsOf(dir / L"missing", true);
    EXPECT_EQ(missing.mac, L"");
    EXPECT_EQ(missing.sha256, L"");
    EXPECT_FALSE(ChecksumsMatchListed(missing, {L"", L""}));
}

TEST(ListedFile, TheChecksumAndAListedSha256MustBothMatch) {
    TempFolder dir;
    const std::wstring path = dir / L"control.dll";
    WriteBytes(path, "abc");
    const std::wstring crc = FileChecksumText(path);
    EXPECT_TRUE(FileMatchesListed(path, {ToUpper(crc), L""})); // no sha256 listed: the CRC
    EXPECT_TRUE(FileMatchesListed(path, {crc, ToUpper(kAbc)}));
    EXPECT_FALSE(FileMatchesListed(path, {crc, Sha256Text(*Sha256Of("abd"))}));
    EXPECT_FALSE(FileMatchesListed(path, {crc, std::wstring(kAbc).substr(1)}));
    EXPECT_FALSE(FileMatchesListed(path, {L"0", kAbc}));
    EXPECT_FALSE(FileMatchesListed(dir / L"missing.dll", {L"", L""}));
}

} // namespace
