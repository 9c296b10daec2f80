// The bank's web sites and language-dependent links for the page, from the
// decrypted resource text, and the address of the server's version list.
#pragma once

#include "config/component_context.h"

#include <string>

// "<Websites>\n", one "<Website id name url></Website>\n" per site of the
// language, "</Websites>"; the bare frame when the text does not parse; ""
// when it has no "websites" element.
std::wstring FormatBankLinks(const std::wstring& resourceText, const std::wstring& language);
// Root URL + the language's "dynamiclink" text; "" when either is missing.
std::wstring FormatDynamicLink(const std::wstring& resourceText, const std::wstring& language,
                               const std::wstring& rootUrl);

class BankLinks {
public:
    explicit BankLinks(const ComponentContext& context);

    std::wstring GetQelLinks() const;
    std::wstring GetDynamicLink() const;
    // Root URL + "VeyrantSettingV2/Version.cfg" (a forward slash, whatever the platform).
    std::wstring InternetConnAddress() const;

private:
    const ConfigurationTexts& texts_;
    const std::function<std::wstring()> language_;
    const std::wstring rootUrl_;
};
