#include "sysconfig/item_fragments.h"

#include "common/text.h"
#include "config/catalogue.h"
#include "config/item_ids.h"
#include "config/xml_node.h"
#include "config/xml_escape.h"
#include "sysconfig/root_cert_entries.h"

#include <utility>
#include <vector>

namespace {

using Attributes = std::vector<std::pair<const wchar_t*, std::wstring>>;

// <tag name="value" ...></tag>: every value escaped, so a catalogue or page
// text with a quote cannot break the list the page parses.
std::wstring Element(const wchar_t* tag, const Attributes& attributes) {
    std::wstring text = std::wstring(L"<") + tag;
    for (const auto& [name, value] : attributes)
        text += std::wstring(L" ") + name + L"=\"" + EscapeXmlAttribute(value) + L"\"";
    return text + L"></" + tag + L">";
}

std::wstring IdText(int id) {
    return FormatW(L"%d", id);
}
std::wstring FileType(int id) {
    return std::wstring(1, FileTypeDigit(id));
}

} // namespace

std::wstring TrustListFragment(const XmlNode* catalogue, int id) {
    const XmlNode* entry = FindFirstCatalogueItem(catalogue, L"TrustList", id);
    if (!entry)
        return {};
    return Element(L"site", {{L"id", IdText(id)},
                             {L"FileType", FileType(id)},
                             {L"info", entry->GetAttribute(L"info", L"")},
                             {L"url", entry->GetAttribute(L"url", L"")},
                             {L"Oper", entry->GetAttribute(L"action", L"")}}) +
           L"\n";
}

std::wstring PopupSiteFragment(const XmlNode* catalogue, int id, const std::wstring& type) {
    const XmlNode* entry = FindFirstCatalogueItem(catalogue, L"OpenWindowSite", id);
    if (!entry)
        return {};
    return Element(L"site", {{L"id", IdText(id)},
                             {L"strType", type},
                             {L"FileType", FileType(id)},
                             {L"info", entry->GetAttribute(L"info", L"")}}) +
           L"\n";
}

std::wstring OptimizerFragment(const XmlNode* catalogue, int id, const std::wstring& type,
                               const std::wstring& flag) {
    const XmlNode* entry = FindFirstCatalogueItem(catalogue, L"IEOptimizer", id);
    if (!entry)
        return {};
    return Element(L"site", {{L"id", IdText(id)},
                             {L"Type", type},
                             {L"falg", flag},
                             {L"FileType", FileType(id)},
                             {L"name", entry->GetAttribute(L"name", L"")},
                             {L"info", entry->GetAttribute(L"info", L"")}}) +
           L"\n";
}

std::wstring CertFragment(const XmlNode* catalogue, int id, const std::wstring& type,
                          const std::wstring& flag) {
    std::optional<CertificateEntry> entry =
        FindCertificate(catalogue, id, CertListLookup::Descendant);
    if (!entry)
        return {};
    return Element(L"cert", {{L"id", IdText(id)},
                             {L"Type", type},
                             {L"falg", flag},
                             {L"FileType", FileType(id)},
                             {L"name", entry->name},
                             {L"info", entry->info}});
}

ListHooks
ListHooksWithFragments(std::function<int(const XmlNode* catalogue, int id)> controlStatus,
                       std::function<int(const XmlNode* catalogue, int id)> applicationStatus) {
    ListHooks hooks;
    hooks.controlStatus = std::move(controlStatus);
    hooks.applicationStatus = std::move(applicationStatus);
    hooks.rootCertStatus = RootCertStatusIn;
    hooks.trustedSite = TrustListFragment;
    hooks.popupSite = PopupSiteFragment;
    hooks.optimization = OptimizerFragment;
    hooks.rootCert = CertFragment;
    return hooks;
}
