// The Internet Explorer version as the page and the reports show it: the major
// number of mshtml.dll, with the browser's service-pack number when it has one.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The upper 16 bits of the most significant file-version word, as "%d".
std::wstring IeMajorFromFileVersion(DWORD fileVersionMS);

// The major version of "mshtml.dll" (normal library search) as decimal text;
// "0" when the file or its version block cannot be read.
std::wstring GetIeMajorVersion();

// The service-pack number in navigator.appMinorVersion (";SP2;" gives 2): the
// digit right after the first "SP" (any case) that is followed by a digit;
// 0 when there is none.
int ParseIeServicePack(std::wstring_view appMinorVersion);

// The page's text: the major text alone, or "%s SP%d" when the browser's
// service-pack number is greater than 0 (-1, "not read yet", shows no suffix).
std::wstring FormatIeVersion(const std::wstring& ieMajor, int ieServicePack);
