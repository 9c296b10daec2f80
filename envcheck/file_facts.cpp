#include "envcheck/file_facts.h"

#include "common/text.h"

#include <vector>

bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ExpandRegisteredPath(const std::wstring& path) {
    if (path.find(L'%') == std::wstring::npos)
        return path;
    DWORD size = ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
    if (size == 0)
        return path;
    std::wstring expanded(size, L'\0');
    DWORD written = ExpandEnvironmentStringsW(path.c_str(), expanded.data(), size);
    if (written == 0 || written > size)
        return path;
    expanded.resize(written - 1); // without the terminator
    return expanded;
}

std::wstring FormatFileVersion(DWORD versionMS, DWORD versionLS) {
    return FormatW(L"%d.%d.%d.%d", HIWORD(versionMS), LOWORD(versionMS), HIWORD(versionLS),
                   LOWORD(versionLS));
}

FileVersionFacts ReadFileVersion(const std::wstring& path) {
    FileVersionFacts facts;
    DWORD ignored = 0;
    SetLastError(0);
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    facts.sizeRead = size != 0;
    if (!facts.sizeRead) {
        facts.sizeError = GetLastError();
        return facts;
    }
    std::vector<BYTE> block(size, 0);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) &&
        fixed != nullptr && fixedSize >= sizeof(VS_FIXEDFILEINFO))
        facts.text = FormatFileVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    return facts;
}
