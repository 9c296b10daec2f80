#include "config/user_settings.h"

#include "common/text.h"
#include "config/folder_chain.h"
#include "config/xml_node.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <vector>

namespace {

const wchar_t kNewUserSettings[] = L"<User>\n</User>";

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    return path;
}

} // namespace

std::wstring ReadRootUrl(const std::wstring& hostFolder) {
    XmlNode config;
    if (!config.LoadFile(hostFolder + L"Quellmark.exe.config"))
        return {};
    XmlNode* rootUrl = config.FindChild(L"RootUrl");
    return rootUrl ? rootUrl->GetAttribute(L"Value", L"") + L"/" : L"";
}

std::wstring SystemLanguageNumber() {
    std::wstring explorer = ShellFolder(CSIDL_WINDOWS) + L"\\explorer.exe";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(explorer.c_str(), &ignored);
    std::vector<BYTE> block(size);
    WORD* translation = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(explorer.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < sizeof(WORD))
        return L"2052";
    return FormatW(L"%d", translation[0]);
}

std::wstring LanguageForSystemNumber(const std::wstring& number) {
    return EqualsNoCase(number, L"1033") ? L"eng" : L"chs";
}

std::wstring ReadStartupLanguage(const std::wstring& defaultCfgPath,
                                 const std::function<std::wstring()>& systemNumber) {
    XmlNode settings;
    if (settings.LoadFile(defaultCfgPath)) {
        if (XmlNode* language = settings.FindChild(L"Language"))
            return language->GetAttribute(L"value", L"");
    }
    return LanguageForSystemNumber(systemNumber());
}

void UserSettings::CreateIfUnloadable() const {
    XmlNode probe;
    if (probe.LoadFile(path_))
        return;
    // The settings folder may not exist yet on a new PC; without it the
    // setting would be silently lost.
    CreateFolderChain(path_);
    XmlNode fresh;
    if (fresh.LoadXml(kNewUserSettings))
        fresh.Save(path_);
}

XmlNode* UserSettings::FindOrAddChild(XmlNode& root, const wchar_t* name) const {
    if (XmlNode* child = root.FindChild(name))
        return child;
    root.AddChild(name);
    root.Save(L"");
    return root.FindChild(name);
}

bool UserSettings::StoreLanguage(const std::wstring& language) const {
    CreateIfUnloadable();
    XmlNode root;
    if (!root.LoadFile(path_))
        return false;
    XmlNode* element = FindOrAddChild(root, L"Language");
    return element && element->SetAttribute(L"value", language) && root.Save(L"");
}

bool UserSettings::StoreUserType(const UserType& type) const {
    CreateIfUnloadable();
    XmlNode root;
    if (!root.LoadFile(path_))
        return false;
    XmlNode* element = FindOrAddChild(root, L"UserType");
    if (!element)
        return false;
    element->SetAttribute(L"user", FormatW(L"%d", type.user));
    element->SetAttribute(L"cert", FormatW(L"%d", type.cert));
    element->SetAttribute(L"usb", FormatW(L"%d", type.usb));
    return root.Save(L"");
}

UserType UserSettings::LoadUserType(const UserType& unreadable) const {
    if (!PathFileExistsW(path_.c_str()))
        return UserType{};
    XmlNode root;
    if (!root.LoadFile(path_))
        return unreadable;
    XmlNode* element = root.FindChild(L"UserType");
    if (!element) {
        root.AddChild(L"UserType");
        element = root.FindChild(L"UserType");
        if (!element)
            return unreadable;
        const UserType defaults;
        element->SetIntAttribute(L"user", defaults.user);
        element->SetIntAttribute(L"cert", defaults.cert);
        element->SetIntAttribute(L"usb", defaults.usb);
        root.Save(L"");
    }
    return UserType{element->GetIntAttribute(L"user", 0), element->GetIntAttribute(L"cert", 0),
                    element->GetIntAttribute(L"usb", 0)};
}

bool UserSettings::ApplicationCheckDisabled() const {
    XmlNode root;
    if (!root.LoadFile(path_))
        return false;
    XmlNode* check = root.FindChild(L"CheckVeyr");
    return check && ToLower(check->GetText()) == L"false";
}
