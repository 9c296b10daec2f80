// Small wide-text helpers shared by every subsystem.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// printf-style formatting into a wide string.
std::wstring FormatW(const wchar_t* format, ...);
std::string FormatA(const char* format, ...);

bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// Equal when only the case of ASCII letters differs: for names and URL parts,
// which no locale may fold (and usable where a constant is checked at build time).
constexpr bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    const auto lower = [](wchar_t c) {
        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    };
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}
std::wstring ToLower(std::wstring text);
std::wstring ToUpper(std::wstring text);

// Replaces every occurrence of `from` (non-empty) by `to`, scanning left to right.
std::wstring ReplaceAll(std::wstring text, std::wstring_view from, std::wstring_view to);

// Conversions between UTF-16 and a Windows code page (CP_ACP, CP_UTF8...).
std::string ToCodePage(std::wstring_view text, unsigned codePage);
std::wstring FromCodePage(std::string_view bytes, unsigned codePage);
