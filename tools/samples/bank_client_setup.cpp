// Sample installer of the bank's client application as the control starts it: no window and
// no questions. Writes a small file into %LOCALAPPDATA%\Zelmor\BankClient and records the
// product under HKCU\Software\Zelmor\BankClient ("Version", "InstallDir"). The cancel build
// (SETUP_CANCELLED=1) ends as an installer whose user cancelled: 1602, nothing changed.
#include "sample_handles.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace {

constexpr bool kCancelled = SETUP_CANCELLED;
const wchar_t kVersion[] = SETUP_VERSION;
const wchar_t kProductKey[] = L"Software\\Zelmor\\BankClient";

std::wstring InstallFolder() {
    wchar_t base[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, base)))
        return {};
    return std::wstring(base) + L"\\Zelmor\\BankClient";
}

DWORD WriteSettingsFile(const std::wstring& folder) {
    std::wstring path = folder + L"\\BankClient.ini";
    if (!WritePrivateProfileStringW(L"BankClient", L"Version", kVersion, path.c_str()))
        return GetLastError();
    return ERROR_SUCCESS;
}

LONG WriteProductKey(const std::wstring& folder) {
    SampleKey key;
    LONG error = key.Create(HKEY_CURRENT_USER, kProductKey);
    if (error == ERROR_SUCCESS)
        error = key.SetText(L"InstallDir", folder.c_str());
    if (error == ERROR_SUCCESS)
        error = key.SetText(L"Version", kVersion);
    return error;
}

DWORD Install() {
    std::wstring folder = InstallFolder();
    if (folder.empty())
        return ERROR_PATH_NOT_FOUND;
    int created = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS)
        return static_cast<DWORD>(created);
    DWORD error = WriteSettingsFile(folder);
    if (error == ERROR_SUCCESS)
        error = static_cast<DWORD>(WriteProductKey(folder));
    return error;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (kCancelled)
        return ERROR_INSTALL_USEREXIT;
    // The caller sees only the exit code, as with msiexec: 0, or 1603 for a failed install.
    return Install() == ERROR_SUCCESS ? 0 : ERROR_INSTALL_FAILURE;
}
