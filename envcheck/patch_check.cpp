#include "envcheck/patch_check.h"

#include "common/text.h"
#include "config/config_set.h"
#include "config/xml_node.h"
#include "config/xml_escape.h"

#include <optional>

namespace {

// What an applicable patch offers the page, from its first matching
// condition or, as its fall-back, from the patch element itself.
struct PatchOffer {
    std::wstring url;
    std::wstring kbArticles;
    std::wstring secId;
    std::wstring title;
    std::wstring subject;
    std::wstring description;
};

std::wstring Trimmed(const XmlNode& node, const wchar_t* attribute) {
    std::wstring text = node.GetAttribute(attribute, L"");
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// The trimmed "value" of the first child of `section` that `matches`.
template <typename Matches>
std::wstring FirstCode(const XmlNode& list, const wchar_t* section, Matches&& matches) {
    const XmlNode* element = list.FindChild(section); // absent: no children
    for (size_t i = 0; element && i < element->ChildCount(); ++i) {
        if (matches(*element->Child(i)))
            return Trimmed(*element->Child(i), L"value");
    }
    return {};
}

bool Same(const XmlNode& node, const wchar_t* attribute, const std::wstring& text) {
    return EqualsNoCase(Trimmed(node, attribute), text);
}

// An empty condition code means any release.
bool CodeAllows(const XmlNode& condition, const wchar_t* attribute, const std::wstring& code) {
    std::wstring wanted = condition.GetAttribute(attribute, L"");
    return wanted.empty() || EqualsNoCase(wanted, code);
}

bool ConditionMatches(const XmlNode& condition, const ReleaseCodes& codes) {
    return CodeAllows(condition, L"ie", codes.ie) && CodeAllows(condition, L"win", codes.os) &&
           CodeAllows(condition, L"lan", codes.language);
}

PatchOffer OfferFrom(const XmlNode& source, const wchar_t* urlAttribute, bool english) {
    PatchOffer offer;
    offer.url = source.GetAttribute(urlAttribute, L"");
    offer.kbArticles = source.GetAttribute(L"kbArticles", L"");
    offer.secId = source.GetAttribute(L"secId", L"");
    offer.title = source.GetAttribute(L"title", L"");
    offer.subject = source.GetAttribute(english ? L"subject_en" : L"subject_cn", L"");
    offer.description = source.GetAttribute(english ? L"desc_en" : L"desc_cn", L"");
    return offer;
}

std::optional<PatchOffer> ApplicableOffer(const XmlNode& patch, const ReleaseCodes& codes,
                                          bool english) {
    for (const auto& condition : patch.Children()) {
        if (ConditionMatches(*condition, codes))
            return OfferFrom(*condition, L"url", english);
    }
    if (EqualsNoCase(patch.GetAttribute(L"default", L""), L"true"))
        return OfferFrom(patch, L"default_url", english);
    return std::nullopt;
}

// The first identifying text the patch gives decides: the knowledge-base
// article, else the bulletin, else the title. An empty text identifies nothing.
bool RecordMatches(const PatchOffer& offer, const InstalledUpdate& record) {
    if (!offer.kbArticles.empty())
        return EqualsNoCase(offer.kbArticles, record.kbArticleId);
    if (!offer.secId.empty())
        return EqualsNoCase(offer.secId, record.bulletinId);
    return !offer.title.empty() && EqualsNoCase(offer.title, record.title);
}

bool IsInstalled(const PatchOffer& offer, const std::vector<InstalledUpdate>& installed) {
    for (const InstalledUpdate& record : installed) {
        if (RecordMatches(offer, record))
            return true;
    }
    return false;
}

// The id is escaped like the texts: a quote in it must not end the attribute.
std::wstring FilesElement(const std::wstring& id, const PatchOffer& offer) {
    return L"<files Id=\"" + EscapeXmlAttribute(id) + L"\" Subject=\"" +
           EscapeXmlAttribute(offer.subject) + L"\" Desc=\"" +
           EscapeXmlAttribute(offer.description) + L"\" Url=\"" + EscapeXmlAttribute(offer.url) +
           L"\"></files>";
}

} // namespace

ReleaseCodes MatchReleaseCodes(const XmlNode& list, const PatchEnvironment& env) {
    ReleaseCodes codes;
    codes.os = FirstCode(list, L"window", [&](const XmlNode& release) {
        return Same(release, L"remark", env.os.name) && Same(release, L"sub", env.os.edition) &&
               Same(release, L"sp", env.os.servicePack);
    });
    std::wstring servicePack = FormatW(L"%d", env.ieServicePack);
    codes.ie = FirstCode(list, L"ie", [&](const XmlNode& release) {
        return Same(release, L"remark", env.ieMajor) && Same(release, L"sp", servicePack);
    });
    codes.language = FirstCode(list, L"language", [&](const XmlNode& language) {
        return Same(language, L"remark", env.language);
    });
    return codes;
}

std::wstring MissingPatchesText(const XmlNode& list, const PatchEnvironment& env,
                                const std::vector<InstalledUpdate>& installed) {
    ReleaseCodes codes = MatchReleaseCodes(list, env);
    bool english = IsEnglishLanguage(env.language);
    std::wstring text = L"<PathUpdate>";
    const XmlNode* files = list.FindChild(L"files");
    for (size_t i = 0; files && i < files->ChildCount(); ++i) {
        const XmlNode& patch = *files->Child(i);
        std::optional<PatchOffer> offer = ApplicableOffer(patch, codes, english);
        if (offer && !IsInstalled(*offer, installed))
            text += FilesElement(patch.GetAttribute(L"id", L""), *offer);
    }
    return text + L"</PathUpdate>";
}
