#include "envcheck/ie_version.h"

#include "common/text.h"

#include <vector>

std::wstring IeMajorFromFileVersion(DWORD fileVersionMS) {
    return FormatW(L"%d", static_cast<int>(HIWORD(fileVersionMS)));
}

std::wstring GetIeMajorVersion() {
    const wchar_t* file = L"mshtml.dll";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file, &handle);
    if (size == 0)
        return L"0";
    std::vector<BYTE> block(size, 0);
    if (!GetFileVersionInfoW(file, 0, size, block.data()))
        return L"0";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO))
        return L"0";
    return IeMajorFromFileVersion(fixed->dwFileVersionMS);
}

int ParseIeServicePack(std::wstring_view appMinorVersion) {
    std::wstring upper = ToUpper(std::wstring(appMinorVersion));
    for (size_t at = upper.find(L"SP"); at != std::wstring::npos; at = upper.find(L"SP", at + 1)) {
        // A bare "SP" (at the end, or before a non-digit) carries no number.
        if (at + 2 < upper.size() && upper[at + 2] >= L'0' && upper[at + 2] <= L'9')
            return upper[at + 2] - L'0';
    }
    return 0;
}

std::wstring FormatIeVersion(const std::wstring& ieMajor, int ieServicePack) {
    if (ieServicePack > 0)
        return ieMajor + FormatW(L" SP%d", ieServicePack);
    return ieMajor;
}
