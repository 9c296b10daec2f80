// The root certificates of the catalogue: entries of its "RootCert" element,
// whose child elements ("Id", "Root", "Key", "SubKey", "Data") hold the facts
// as text, and the installed state of one.
#pragma once

#include "config/item_ids.h"

#include <windows.h>

#include <optional>
#include <string>

class XmlNode;

struct CertificateEntry {
    int id = 0;
    std::wstring name; // attribute, else child element of that name
    std::wstring info; // likewise
    std::wstring root; // "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER", case as written
    std::wstring key;
    std::wstring subKey;
    std::wstring data; // the blob as comma-separated hexadecimal bytes
};

// How the "RootCert" element is found: the installer and the page fragments
// search the whole catalogue, the status looks among the root's children.
enum class CertListLookup { Descendant, DirectChild };

// The first certificate entry whose "Id" text is `id` (decimal, text that is
// not a number counts as 0); nothing without the list or such an entry.
std::optional<CertificateEntry> FindCertificate(const XmlNode* catalogue, int id,
                                                CertListLookup lookup);

// The store root of an entry: only the two names, with their case; null else.
HKEY CertificateRoot(const std::wstring& root);

// A certificate's status: its key exists (installed and current) or not.
namespace CertStatus {
constexpr int kUnknown = ItemStatus::kUnknown; // no catalogue, list or entry
constexpr int kPresent = ItemStatus::kCurrent;
constexpr int kAbsent = ItemStatus::kNotInstalled;
} // namespace CertStatus

// 3 when the entry's key exists, 4 when not, 0 without an entry.
int RootCertStatusIn(const XmlNode* catalogue, int id);
