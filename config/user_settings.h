// The small settings of the control: the client application's
// Quellmark.exe.config (server root URL, read only) and the user's
// Default.cfg (language, user type triple, trace and check switches).
#pragma once

#include <functional>
#include <string>

class XmlNode;

// The root URL from <host folder>Quellmark.exe.config: the "Value" of the
// root's "RootUrl" child followed by "/"; empty when the file or element is missing.
std::wstring ReadRootUrl(const std::wstring& hostFolder);

// The Windows language number from explorer.exe's version resource ("1033",
// "2052"...); "2052" when the file has no translation table.
std::wstring SystemLanguageNumber();

// "eng" for the number 1033, "chs" for anything else.
std::wstring LanguageForSystemNumber(const std::wstring& number);

// The language at start-up: Default.cfg's "Language" value (even empty) when
// the file has that element, otherwise the system language decides.
std::wstring ReadStartupLanguage(const std::wstring& defaultCfgPath,
                                 const std::function<std::wstring()>& systemNumber);

struct UserType {
    int user = 0;
    int cert = 1;
    int usb = 0;
    bool operator==(const UserType&) const = default;
};

// Default.cfg, read from disk on every call. A missing or malformed file is
// recreated as "<User>\n</User>" by the writers.
class UserSettings {
public:
    explicit UserSettings(std::wstring path) : path_(std::move(path)) {}

    // Stores "value" of the "Language" element; true when the file was saved.
    bool StoreLanguage(const std::wstring& language) const;
    // Stores "user", "cert", "usb" of "UserType"; true when the file was saved.
    bool StoreUserType(const UserType& type) const;
    // The stored triple: defaults (0, 1, 0) without a file, `unreadable` when
    // the file does not load; adds a default "UserType" element when missing.
    UserType LoadUserType(const UserType& unreadable) const;
    // The "CheckVeyr" switch: its text "false" in any case turns the
    // application file check off.
    bool ApplicationCheckDisabled() const;

    const std::wstring& path() const { return path_; }

private:
    void CreateIfUnloadable() const;
    // Loads the file and returns the child `name`, adding it when missing.
    XmlNode* FindOrAddChild(XmlNode& root, const wchar_t* name) const;

    std::wstring path_;
};
