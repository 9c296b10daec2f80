// Where the product's installed files live, by the "local" location names of
// the update lists, and the file-name part of a list's "url".
#pragma once

#include "common/files.h" // FileNamePart

#include <optional>
#include <string>

struct InstallFolders {
    std::wstring systemFolder;  // ends with a backslash
    std::wstring windowsFolder; // ends with a backslash
    std::wstring clientFolder;  // the client application's folder
    std::wstring dataFolder;

    static InstallFolders OfThisSystem(const std::wstring& clientFolder,
                                       const std::wstring& dataFolder);
};

// "system32" or "" → system folder, "local" → client application folder,
// "windows" → Windows folder, "data" → data folder (names in any case); any
// other text is a folder path of its own, taken only when it is a local
// absolute path (nothing otherwise). The result ends with a backslash.
std::optional<std::wstring> InstalledFolderFor(const std::wstring& location,
                                               const InstallFolders& folders);
