#include "install/install_locations.h"

#include "common/safe_path.h"
#include "common/text.h"

#include <shlobj.h>
#include <windows.h>

namespace {

std::wstring WithBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder.push_back(L'\\');
    return folder;
}

} // namespace

InstallFolders InstallFolders::OfThisSystem(const std::wstring& clientFolder,
                                            const std::wstring& dataFolder) {
    wchar_t system[MAX_PATH] = {};
    wchar_t windows[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    return InstallFolders{WithBackslash(system), WithBackslash(windows), clientFolder, dataFolder};
}

std::optional<std::wstring> InstalledFolderFor(const std::wstring& location,
                                               const InstallFolders& folders) {
    if (location.empty() || EqualsNoCase(location, L"system32"))
        return folders.systemFolder;
    if (EqualsNoCase(location, L"local"))
        return folders.clientFolder;
    if (EqualsNoCase(location, L"windows"))
        return folders.windowsFolder;
    if (EqualsNoCase(location, L"data"))
        return folders.dataFolder;
    // A folder of its own (a network folder would hand the user's credentials
    // to its host); without the separator the file name would run into it.
    if (!IsLocalAbsoluteFolder(location))
        return std::nullopt;
    return WithBackslash(location);
}
