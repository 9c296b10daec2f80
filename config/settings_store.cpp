#include "config/settings_store.h"

#include "config/xml_escape.h"

namespace {

// Language codes are a few letters; anything near this length is not one.
constexpr size_t kLongestLanguage = 64;

} // namespace

bool IsStorableLanguage(std::wstring_view language) {
    return language.size() <= kLongestLanguage && IsXmlText(language);
}

SettingsStore::SettingsStore(const ComponentContext& context, LanguageSetter setLanguage)
    : trace_(context.Trace()), userSettings_(context.paths.userSettingsFile),
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
    return stored ? 1 : 0;
}

short SettingsStore::SaveUserType(int user, int cert, int usb) {
    return userSettings_.StoreUserType(UserType{user, cert, usb}) ? 1 : 0;
}

UserType SettingsStore::GetUserType(const UserType& unreadable) const {
    return userSettings_.LoadUserType(unreadable);
}
