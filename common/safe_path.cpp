#include "common/safe_path.h"

#include "common/text.h"

#include <array>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// Longer names are refused rather than cut: MAX_PATH bounds the whole path anyway.
constexpr size_t kLongestName = 255;

bool HasForbiddenCharacter(std::wstring_view name) {
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c))
            return true;
    }
    return false;
}

std::vector<std::wstring_view> SplitComponents(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'/' || path[i] == L'\\') {
            if (i > start)
                parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

} // namespace

bool IsDeviceName(std::wstring_view name) {
    // Windows maps these names to devices in every folder, whatever the extension.
    std::wstring stem = ToUpper(std::wstring(name.substr(0, name.find(L'.'))));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    static const std::array<const wchar_t*, 6> kPlain = {L"CON", L"PRN",    L"AUX",
                                                         L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kPlain) {
        if (stem == device)
            return true;
    }
    if (stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")))
        return stem[3] >= L'0' && stem[3] <= L'9';
    return false;
}

bool IsSafeFileName(std::wstring_view name) {
    if (name.empty() || name.size() > kLongestName || name == L"." || name == L"..")
        return false;
    if (name.back() == L'.' || name.back() == L' ')
        return false; // Windows strips them, so the name would mean another file
    return !HasForbiddenCharacter(name) && !IsDeviceName(name);
}

std::optional<std::wstring> JoinConfined(const std::wstring& folder, std::wstring_view relative) {
    std::vector<std::wstring_view> parts = SplitComponents(relative);
    if (parts.empty())
        return std::nullopt;
    std::wstring path = folder;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!IsSafeFileName(parts[i]))
            return std::nullopt;
        path.append(parts[i]);
        if (i + 1 < parts.size())
            path.push_back(L'\\');
    }
    return path;
}

bool IsLocalAbsoluteFolder(std::wstring_view folder) {
    if (folder.size() < 3 || !std::iswalpha(folder[0]) || folder[1] != L':' ||
        (folder[2] != L'\\' && folder[2] != L'/'))
        return false;
    // Every further component must be an ordinary name: no "..", no device.
    std::wstring_view rest = folder.substr(3);
    size_t start = 0;
    for (size_t i = 0; i <= rest.size(); ++i) {
        if (i == rest.size() || rest[i] == L'\\' || rest[i] == L'/') {
            if (i > start && !IsSafeFileName(rest.substr(start, i - start)))
                return false;
            start = i + 1;
        }
    }
    return true;
}
