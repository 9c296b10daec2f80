// A downloaded or installed file against what a list says of it: the CRC-32
// text "mac" that every list carries and, where the list has one, "sha256".
// The CRC only catches damage: anyone can append four bytes that give a file
// of their own the listed CRC. The SHA-256 of a signed list holds against that.
#pragma once

#include <string>

class XmlNode;

struct ListedChecksums {
    std::wstring mac;
    std::wstring sha256; // lower-case hexadecimal; empty when the list has none
};

// The "mac" and "sha256" attributes of a list element.
ListedChecksums ListedChecksumsOf(const XmlNode& element);

// The file's checksum text equals "mac" and, when listed, its SHA-256 equals
// "sha256" (both without regard to case). A file that cannot be read never matches.
bool FileMatchesListed(const std::wstring& path, const ListedChecksums& listed);
