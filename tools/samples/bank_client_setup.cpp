// Sample installer of the bank's client application as the control starts it: no window and
// no questions. Writes a small file into %LOCALAPPDATA%\Zelmor\BankClient and records the
// product under HKCU\Software\Zelmor\BankClient ("Version", "InstallDir"). The cancel build
// ends as an installer whose user cancelled: 1602, nothing changed. The stuck build installs
// and then hangs, as a setup waiting behind a dialog nobody sees: it ends only once the process
// that started it has ended. Which build this is comes from bank_client_setup_variant.cpp.
#include "bank_client_setup_variant.h"
#include "sample_handles.h"

#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>

namespace {

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

DWORD ParentProcessId() {
    SampleHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self)
            return entry.th32ParentProcessID;
    }
    return 0;
}

void WaitForParent() {
    SampleHandle parent(OpenProcess(SYNCHRONIZE, FALSE, ParentProcessId()));
    if (parent)
        WaitForSingleObject(parent.get(), INFINITE);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (kSetupCancelled)
        return ERROR_INSTALL_USEREXIT;
    const DWORD result = Install();
    if (kSetupStuck)
        WaitForParent();
    // The caller sees only the exit code, as with msiexec: 0, or 1603 for a failed install.
    return result == ERROR_SUCCESS ? 0 : ERROR_INSTALL_FAILURE;
}
