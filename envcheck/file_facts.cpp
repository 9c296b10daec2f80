#include "envcheck/file_facts.h"

#include "common/text.h"

#include <vector>

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
