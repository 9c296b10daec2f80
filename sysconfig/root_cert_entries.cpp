#include "sysconfig/root_cert_entries.h"

#include "common/registry.h"
#include "config/xml_node.h"

#include <cwchar>

namespace {

std::wstring ChildText(const XmlNode& element, const wchar_t* name) {
    const XmlNode* child = element.FindChild(name);
    return child ? child->GetText() : std::wstring();
}

// A description of the certificate: its attribute, else a child element.
std::wstring Described(const XmlNode& element, const wchar_t* name) {
    std::wstring value = element.GetAttribute(name, L"");
    return value.empty() ? ChildText(element, name) : value;
}

} // namespace

std::optional<CertificateEntry> FindCertificate(const XmlNode* catalogue, int id,
                                                CertListLookup lookup) {
    if (!catalogue)
        return std::nullopt;
    const XmlNode* list = lookup == CertListLookup::Descendant
                              ? catalogue->FindDescendant(L"RootCert")
                              : catalogue->FindChild(L"RootCert");
    if (!list)
        return std::nullopt;
    for (const auto& element : list->Children()) {
        if (_wtoi(ChildText(*element, L"Id").c_str()) != id)
            continue;
        return CertificateEntry{id,
                                Described(*element, L"name"),
                                Described(*element, L"info"),
                                ChildText(*element, L"Root"),
                                ChildText(*element, L"Key"),
                                ChildText(*element, L"SubKey"),
                                ChildText(*element, L"Data")};
    }
    return std::nullopt;
}

HKEY CertificateRoot(const std::wstring& root) {
    if (root == L"HKEY_LOCAL_MACHINE")
        return HKEY_LOCAL_MACHINE;
    if (root == L"HKEY_CURRENT_USER")
        return HKEY_CURRENT_USER;
    return nullptr;
}

int RootCertStatusIn(const XmlNode* catalogue, int id) {
    std::optional<CertificateEntry> entry =
        FindCertificate(catalogue, id, CertListLookup::DirectChild);
    if (!entry)
        return CertStatus::kUnknown;
    RegKey key = OpenRegKey(CertificateRoot(entry->root), entry->key + L"\\" + entry->subKey);
    return key ? CertStatus::kPresent : CertStatus::kAbsent;
}
