#include "crypto/checksum.h"
#include "common/handles.h"
#include "common/text.h"
#include "config/listed_file.h"
#include "crypto/sha256.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>

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
