#include "config/settings_store.h"

namespace {

// Language codes are a few letters; anything near this length is not one.
constexpr size_t kLongestLanguage = 64;

bool IsXmlCharacter(wchar_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD);
}

bool IsHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

bool IsStorableLanguage(std::wstring_view language) {
    if (language.size() > kLongestLanguage)
        return false;
    for (size_t i = 0; i < language.size(); ++i) {
        wchar_t c = language[i];
        if (IsHighSurrogate(c) && i + 1 < language.size() && IsLowSurrogate(language[i + 1])) {
            ++i;
            continue;
        }
        if (!IsXmlCharacter(c))
            return false;
    }
    return true;
}

SettingsStore::SettingsStore(const ComponentContext& context, SharedDocument& languageText,
                             LanguageSetter setLanguage)
    : trace_(context.Trace()), texts_(*context.texts),
      userSettings_(context.paths.userSettingsFile), languageText_(languageText),
      setLanguage_(std::move(setLanguage)) {}

short SettingsStore::SetLanguage(const std::wstring& language) {
    if (!IsStorableLanguage(language)) {
        // Stored, it would leave a Default.cfg that no longer parses, and the
        // next writer would recreate the file without the user's settings.
        trace_.Write(L"失败事件：语言设置无效，未保存");
        return 0;
    }
    bool stored = userSettings_.StoreLanguage(language);
    setLanguage_(language);
    languageText_.Replace(texts_.LanguageText(language));
    return stored ? 1 : 0;
}

short SettingsStore::SaveUserType(int user, int cert, int usb) {
    return userSettings_.StoreUserType(UserType{user, cert, usb}) ? 1 : 0;
}

UserType SettingsStore::GetUserType(const UserType& unreadable) const {
    return userSettings_.LoadUserType(unreadable);
}
