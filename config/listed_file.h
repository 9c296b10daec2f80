// A downloaded or installed file against what a list says of it: the CRC-32
// text "mac" that every list carries and, where the list has one, "sha256".
// The CRC only catches damage: anyone can append four bytes that give a file
// of their own the listed CRC. The SHA-256 of a signed list holds against that.
#pragma once

#include "crypto/sha256.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class XmlNode;

struct ListedChecksums {
    std::wstring mac;
    std::wstring sha256; // lower-case hexadecimal; empty when the list has none
};

// The "mac" and "sha256" attributes of a list element.
ListedChecksums ListedChecksumsOf(const XmlNode& element);

// What a file actually has, in the same texts; "" for what could not be
// computed (both when the file cannot be read).
struct FileChecksums {
    std::wstring mac;
    std::wstring sha256; // only when asked for
};

// Both sums over the same bytes, handed over in parts as they are read or
// arrive. A SHA-256 that cannot be made leaves its text empty but the CRC
// text stands, as when each was computed alone.
class ChecksumPass {
public:
    explicit ChecksumPass(bool withSha256);
    void Add(const void* data, std::size_t size);
    // Once, after the last part.
    FileChecksums Texts() const;
    // The SHA-256 behind the text (the digest a signature signs), when asked for and made.
    std::optional<Sha256Digest> Digest() const;

private:
    std::uint32_t crc_ = 0;
    std::optional<Sha256Stream> sha256_;
};

// Both texts from one read of the file, the SHA-256 only `withSha256`.
FileChecksums FileChecksumsOf(const std::wstring& path, bool withSha256);
// The same of bytes already in memory.
FileChecksums ChecksumsOfBytes(std::string_view bytes, bool withSha256);

// The checksum text equals "mac" and, when listed, the SHA-256 equals
// "sha256" (both without regard to case). Nothing computed never matches.
bool ChecksumsMatchListed(const FileChecksums& actual, const ListedChecksums& listed);
// The same of a file (read once) and of bytes; a file that cannot be read never matches.
bool FileMatchesListed(const std::wstring& path, const ListedChecksums& listed);
bool BytesMatchListed(std::string_view bytes, const ListedChecksums& listed);
