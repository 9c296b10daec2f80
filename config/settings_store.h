// The page's settings operations: the display language and the user type
// triple, stored in Default.cfg. Runs on the page's thread.
#pragma once

#include "config/component_context.h"
#include "config/user_settings.h"

#include <functional>
#include <string>
#include <string_view>

// Whether a language text can be stored: XML must be able to carry every
// character (no control characters but tab and line ends, no U+FFFE/U+FFFF,
// no unpaired surrogates) and the text is no longer than a sane code.
bool IsStorableLanguage(std::wstring_view language);

class SettingsStore {
public:
    using LanguageSetter = std::function<void(const std::wstring&)>;

    // `setLanguage` makes a language current; the catalogue follows it by
    // itself (it is parsed for the language it is asked in).
    SettingsStore(const ComponentContext& context, LanguageSetter setLanguage);

    // 1 when Default.cfg was saved, 0 otherwise; a text that cannot be
    // stored changes nothing and is traced.
    short SetLanguage(const std::wstring& language);
    short SaveUserType(int user, int cert, int usb);
    UserType GetUserType(const UserType& unreadable) const;

private:
    const TraceSink& trace_;
    const UserSettings userSettings_;
    LanguageSetter setLanguage_;
};
