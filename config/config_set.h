// The configuration set: the five encrypted files of the settings folder that
// the update check decrypts into module-wide texts, and the file-version probe.
#pragma once

#include "config/crypto.h"

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TraceSink;
class XmlNode;

enum class ConfigText { Chinese, English, Update, Resource, Patch };

// The decrypted texts, empty until the first decryption. The update check
// replaces them on its worker thread while the page's thread reads them, so
// every access takes the lock and readers get their own copy.
class ConfigurationTexts {
public:
    // A text with its revision: the revision changes whenever a different
    // text is stored, so a reader can tell it has one parsed already.
    struct Revised {
        ConfigText which;
        unsigned long long revision;
        std::wstring text;
    };

    std::wstring Get(ConfigText which) const;
    Revised GetRevised(ConfigText which) const;
    unsigned long long Revision(ConfigText which) const;
    // Returns the revision the text is stored as.
    unsigned long long Set(ConfigText which, std::wstring text);
    // The language text for a language code: English for "eng" (any case),
    // Chinese for everything else.
    std::wstring LanguageText(std::wstring_view language) const;

private:
    mutable std::mutex mutex_;
    std::array<std::wstring, 5> texts_;
    std::array<unsigned long long, 5> revisions_{};
};

bool IsEnglishLanguage(std::wstring_view language);
ConfigText LanguageTextFor(std::wstring_view language);

// The set's file names, in the order it is decrypted.
std::vector<std::wstring> ConfigurationSetFileNames();

// Decrypts UtilityChs.cfg, UtilityEn.cfg, Update.cfg, Resource.cfg and
// EnvPatch.cfg of the settings folder (ending with a backslash) in that order
// and stores each text as it succeeds. The first failure is traced and ends
// the run: that text and the ones after it keep their previous values.
bool DecryptConfigurationSet(const std::wstring& settingsFolder, const CDravikCrypto& crypto,
                             const TraceSink& trace, ConfigurationTexts& texts,
                             unsigned ansiCodePage = CP_THREAD_ACP);
// The same run for a caller that holds the files already read and checked,
// and may know a member's text to be in the store already.
class SetMemberSource {
public:
    // The file's text; nullopt when it failed.
    virtual std::optional<std::wstring> MemberText(const std::wstring& fileName) = 0;
    // Whether the store's text at `revision` is the file's own (it is then
    // neither decrypted nor stored again).
    virtual bool Holds(const std::wstring& fileName, unsigned long long revision) = 0;
    // The revision the member's text was left as.
    virtual void Stored(const std::wstring& fileName, unsigned long long revision) = 0;

protected:
    ~SetMemberSource() = default;
};
bool StoreConfigurationSet(SetMemberSource& source, const TraceSink& trace,
                           ConfigurationTexts& texts);

// The installed version written in an encrypted list: the "value" attribute of
// its "FileVersion" element (the root itself or the first one below it) as a
// signed 64-bit decimal number.
constexpr long long kUnknownFileVersion = 999999999999ll;
long long ReadEncryptedFileVersion(const std::wstring& path, const CDravikCrypto& crypto,
                                   unsigned ansiCodePage = CP_THREAD_ACP);
// The same from decrypted text; kUnknownFileVersion when it does not parse as
// XML, has no such element or attribute, or the value is not a number.
long long FileVersionFromText(const std::wstring& text);
// The same of a document already parsed.
long long FileVersionOf(const XmlNode& document);
