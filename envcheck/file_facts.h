// Facts about a module file on disk that the component checks and the
// diagnosis report both state: whether it is there and its file version.
#pragma once

#include "common/files.h"

#include <windows.h>

#include <string>

// "%d.%d.%d.%d": the high and low halves of the most significant word, then
// of the least significant word of a fixed file-version block.
std::wstring FormatFileVersion(DWORD versionMS, DWORD versionLS);

struct FileVersionFacts {
    bool sizeRead = false;          // the version information's size could be read
    DWORD sizeError = 0;            // the last error when it could not
    std::wstring text = L"0.0.0.0"; // from the fixed block; 0.0.0.0 when it cannot be read
};
FileVersionFacts ReadFileVersion(const std::wstring& path);
