#include "config/config_set.h"

#include "common/text.h"
#include "config/xml_node.h"
#include "common/trace_sink.h"

#include <cerrno>
#include <cwchar>

namespace {

struct SetMember {
    const wchar_t* fileName;
    ConfigText text;
};

// The order matters: a failure stops the run and leaves later texts as they were.
constexpr SetMember kSetMembers[] = {
    {L"UtilityChs.cfg", ConfigText::Chinese}, {L"UtilityEn.cfg", ConfigText::English},
    {L"Update.cfg", ConfigText::Update},      {L"Resource.cfg", ConfigText::Resource},
    {L"EnvPatch.cfg", ConfigText::Patch},
};

std::optional<long long> ParseSigned64(const std::wstring& text) {
    if (text.empty() || std::iswspace(text[0]))
        return std::nullopt;
    wchar_t* end = nullptr;
    errno = 0;
    long long value = std::wcstoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != L'\0')
        return std::nullopt;
    return value;
}

} // namespace

std::wstring ConfigurationTexts::Get(ConfigText which) const {
    std::lock_guard lock(mutex_);
    return texts_[static_cast<size_t>(which)];
}

ConfigurationTexts::Revised ConfigurationTexts::GetRevised(ConfigText which) const {
    std::lock_guard lock(mutex_);
    const size_t index = static_cast<size_t>(which);
    return Revised{which, revisions_[index], texts_[index]};
}

unsigned long long ConfigurationTexts::Revision(ConfigText which) const {
    std::lock_guard lock(mutex_);
    return revisions_[static_cast<size_t>(which)];
}

unsigned long long ConfigurationTexts::Set(ConfigText which, std::wstring text) {
    std::lock_guard lock(mutex_);
    const size_t index = static_cast<size_t>(which);
    if (texts_[index] == text)
        return revisions_[index]; // the same text again keeps what readers parsed of it
    texts_[index] = std::move(text);
    return ++revisions_[index];
}

std::wstring ConfigurationTexts::LanguageText(std::wstring_view language) const {
    return Get(LanguageTextFor(language));
}

bool IsEnglishLanguage(std::wstring_view language) {
    return EqualsNoCase(language, L"eng");
}

ConfigText LanguageTextFor(std::wstring_view language) {
    return IsEnglishLanguage(language) ? ConfigText::English : ConfigText::Chinese;
}

std::vector<std::wstring> ConfigurationSetFileNames() {
    std::vector<std::wstring> names;
    for (const SetMember& member : kSetMembers)
        names.push_back(member.fileName);
    return names;
}

namespace {

// The settings folder's files, each decrypted as the run asks for it.
class FolderSource final : public SetMemberSource {
public:
    FolderSource(const std::wstring& folder, const CDravikCrypto& crypto, unsigned codePage)
        : folder_(folder), crypto_(crypto), codePage_(codePage) {}
    std::optional<std::wstring> MemberText(const std::wstring& fileName) override {
        return crypto_.DecryptFromFile(folder_ + fileName, codePage_);
    }
    bool Holds(const std::wstring&, unsigned long long) override { return false; }
    void Stored(const std::wstring&, unsigned long long) override {}

private:
    const std::wstring& folder_;
    const CDravikCrypto& crypto_;
    const unsigned codePage_;
};

} // namespace

bool DecryptConfigurationSet(const std::wstring& settingsFolder, const CDravikCrypto& crypto,
                             const TraceSink& trace, ConfigurationTexts& texts,
                             unsigned ansiCodePage) {
    FolderSource source(settingsFolder, crypto, ansiCodePage);
    return StoreConfigurationSet(source, trace, texts);
}

bool StoreConfigurationSet(SetMemberSource& source, const TraceSink& trace,
                           ConfigurationTexts& texts) {
    for (const SetMember& member : kSetMembers) {
        unsigned long long revision = texts.Revision(member.text);
        if (!source.Holds(member.fileName, revision)) {
            std::optional<std::wstring> text = source.MemberText(member.fileName);
            if (!text) {
                trace.Write(std::wstring(L"失败事件：") + member.fileName + L"解密失败");
                return false;
            }
            revision = texts.Set(member.text, std::move(*text));
        }
        source.Stored(member.fileName, revision);
    }
    trace.Write(L"成功事件：配置文件解密成功");
    return true;
}

long long FileVersionFromText(const std::wstring& text) {
    XmlNode document;
    if (!document.LoadXml(text))
        return kUnknownFileVersion;
    return FileVersionOf(document);
}

long long FileVersionOf(const XmlNode& document) {
    const XmlNode* element = EqualsNoCase(document.GetName(), L"FileVersion")
                                 ? &document
                                 : document.FindDescendant(L"FileVersion");
    if (!element)
        return kUnknownFileVersion;
    return ParseSigned64(element->GetAttribute(L"value", L"")).value_or(kUnknownFileVersion);
}

long long ReadEncryptedFileVersion(const std::wstring& path, const CDravikCrypto& crypto,
                                   unsigned ansiCodePage) {
    std::optional<std::wstring> text = crypto.DecryptFromFile(path, ansiCodePage);
    return text ? FileVersionFromText(*text) : kUnknownFileVersion;
}
