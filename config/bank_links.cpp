#include "config/bank_links.h"

#include "config/xml_escape.h"
#include "config/xml_node.h"

namespace {

std::wstring EscapedAttribute(const wchar_t* name, const std::wstring& value) {
    return std::wstring(L" ") + name + L"=\"" + EscapeXmlAttribute(value) + L"\"";
}

} // namespace

std::wstring FormatBankLinks(const std::wstring& resourceText, const std::wstring& language) {
    std::wstring text = L"<Websites>\n";
    XmlNode resource;
    if (!resource.LoadXml(resourceText))
        return text + L"</Websites>";
    const XmlNode* websites = resource.FindChild(L"websites");
    if (!websites)
        return {};
    if (const XmlNode* sites = websites->FindChild(language.c_str())) {
        for (const auto& site : sites->Children()) {
            // The id is escaped too: a quote in it must not break the page's list.
            text += L"<Website" + EscapedAttribute(L"id", site->GetAttribute(L"id", L"")) +
                    EscapedAttribute(L"name", site->GetAttribute(L"filename", L"")) +
                    EscapedAttribute(L"url", site->GetAttribute(L"url", L"")) + L"></Website>\n";
        }
    }
    return text + L"</Websites>";
}

std::wstring FormatDynamicLink(const std::wstring& resourceText, const std::wstring& language,
                               const std::wstring& rootUrl) {
    XmlNode resource;
    if (!resource.LoadXml(resourceText))
        return {};
    const XmlNode* links = resource.FindChild(L"dynamiclink");
    const XmlNode* link = links ? links->FindChild(language.c_str()) : nullptr;
    return link ? rootUrl + link->GetText() : std::wstring();
}

BankLinks::BankLinks(const ComponentContext& context)
    : texts_(*context.texts), language_(context.language), rootUrl_(context.rootUrl) {}

std::wstring BankLinks::GetQelLinks() const {
    return FormatBankLinks(texts_.Get(ConfigText::Resource), language_());
}

std::wstring BankLinks::GetDynamicLink() const {
    return FormatDynamicLink(texts_.Get(ConfigText::Resource), language_(), rootUrl_);
}

std::wstring BankLinks::InternetConnAddress() const {
    return rootUrl_ + L"VeyrantSettingV2/Version.cfg";
}
