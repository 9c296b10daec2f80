// Reads several registry keys, each with all its subkeys and values, in one
// program start (the tests read dozens; each start of reg.exe is a Wine
// program). Usage: registry_probe KEY...   (KEY: "HKEY_CLASSES_ROOT\A\B", the
// root by its full name). Prints in UTF-8, for each KEY:
//   ## KEY
//   then "(missing)", or the key and its subkeys as "reg query KEY /s" lays
//   them out: each key's full name, then "    NAME    TYPE    DATA" per value
//   (text in UTF-8 where reg.exe uses the console's code page).
// Exit code 0; 2 when a key could not be read for any reason but its absence.
#include "common/registry.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

std::string Hex(const BYTE* data, DWORD size) {
    std::string text;
    char digits[3];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
    }
    return text;
}

// The value's data as reg.exe shows it.
std::string ValueText(DWORD type, const std::vector<BYTE>& data, DWORD size) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        // The strings of a REG_MULTI_SZ joined by "\0", as reg.exe shows them.
        std::string shown;
        for (size_t start = 0;;) {
            size_t end = text.find(L'\0', start);
            shown += Utf8(text.substr(start, end - start));
            if (end == std::wstring::npos)
                return shown;
            shown += "\\0";
            start = end + 1;
        }
    }
    case REG_DWORD:
        if (size == sizeof(DWORD)) {
            char number[16];
            std::snprintf(number, sizeof number, "0x%lx",
                          *reinterpret_cast<const DWORD*>(data.data()));
            return number;
        }
        break;
    }
    return Hex(data.data(), size);
}

const char* TypeName(DWORD type) {
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_QWORD:
        return "REG_QWORD";
    case REG_NONE:
        return "REG_NONE";
    default:
        return "REG_BINARY";
    }
}

// Prints the key's name and its values, as reg.exe does: a subkey always, the
// queried key itself only when it has values.
LONG PrintKey(HKEY key, const std::wstring& shownName, bool queried) {
    DWORD count = 0, longestName = 0, longestData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &count, &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS || (queried && count == 0))
        return status;
    std::printf("%s\n", Utf8(shownName).c_str());
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(longestData + sizeof(wchar_t));
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = longestData, type = 0;
        status =
            RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status != ERROR_SUCCESS)
            return status;
        std::wstring shownValueName(name.data(), nameLength);
        std::printf("    %s    %s    %s\n",
                    shownValueName.empty() ? "(Default)" : Utf8(shownValueName).c_str(),
                    TypeName(type), ValueText(type, data, size).c_str());
    }
    std::printf("\n");
    return ERROR_SUCCESS;
}

std::vector<std::wstring> SubkeyNames(HKEY key, LONG& status) {
    DWORD count = 0, longest = 0;
    std::vector<std::wstring> names;
    status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    std::vector<wchar_t> name(longest + 1);
    for (DWORD i = 0; status == ERROR_SUCCESS && i < count; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        status = RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS)
            names.emplace_back(name.data(), length);
    }
    return names;
}

LONG PrintTree(HKEY key, const std::wstring& shownName, bool queried) {
    LONG status = PrintKey(key, shownName, queried);
    if (status != ERROR_SUCCESS)
        return status;
    for (const std::wstring& name : SubkeyNames(key, status)) {
        RegKey subkey;
        status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, subkey.out());
        if (status != ERROR_SUCCESS)
            return status;
        status = PrintTree(subkey.get(), shownName + L"\\" + name, false);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return status;
}

bool Query(const std::wstring& keyName) {
    std::printf("## %s\n", Utf8(keyName).c_str());
    size_t slash = keyName.find(L'\\');
    std::wstring rootName = keyName.substr(0, slash);
    HKEY root = PredefinedKeyByName(rootName, NameCase::Ignore);
    if (root == nullptr) {
        std::fprintf(stderr, "%s: unknown root key\n", Utf8(keyName).c_str());
        return false;
    }
    std::wstring path = slash == std::wstring::npos ? L"" : keyName.substr(slash + 1);
    RegKey key;
    LONG status = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.out());
    if (status == ERROR_FILE_NOT_FOUND) {
        std::printf("(missing)\n");
        return true;
    }
    if (status == ERROR_SUCCESS) {
        // Root names are upper case, as reg.exe shows them whatever was typed.
        std::wstring shown(rootName.size(), L'\0');
        std::transform(rootName.begin(), rootName.end(), shown.begin(), towupper);
        status = PrintTree(key.get(), path.empty() ? shown : shown + L"\\" + path, true);
    }
    if (status != ERROR_SUCCESS)
        std::fprintf(stderr, "%s: error %ld\n", Utf8(keyName).c_str(), status);
    return status == ERROR_SUCCESS;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool allRead = true;
    for (int i = 1; i < argc; ++i)
        allRead = Query(argv[i]) && allRead;
    return allRead ? 0 : 2;
}
