#include "common/registry.h"

#include "common/text.h"

namespace {

// Raw bytes and type of a value, whatever its size.
std::optional<std::vector<BYTE>> ReadRaw(HKEY key, const wchar_t* name, DWORD& type) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<BYTE> data(size);
        LONG result = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
        if (result == ERROR_SUCCESS) {
            data.resize(size);
            return data;
        }
        if (result != ERROR_MORE_DATA) // the value grew between the two calls: ask again
            return std::nullopt;
    }
    return std::nullopt;
}

struct NamedRoot {
    const wchar_t* name;
    HKEY key;
};

const NamedRoot kRoots[] = {
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},     {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

} // namespace

RegKey OpenRegKey(HKEY root, const std::wstring& path, REGSAM access) {
    RegKey key;
    if (!root || RegOpenKeyExW(root, path.c_str(), 0, access, key.out()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

RegKey CreateRegKey(HKEY root, const std::wstring& path, REGSAM access) {
    RegKey key;
    if (!root || RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, key.out(),
                                 nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
}

std::optional<std::wstring> ReadRegString(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    auto data = ReadRaw(key, name, type);
    if (!data || (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::wstring text(reinterpret_cast<const wchar_t*>(data->data()),
                      data->size() / sizeof(wchar_t));
    if (size_t end = text.find(L'\0'); end != std::wstring::npos)
        text.resize(end);
    return text;
}

std::optional<DWORD> ReadRegDword(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    auto data = ReadRaw(key, name, type);
    if (!data || type != REG_DWORD || data->size() != sizeof(DWORD))
        return std::nullopt;
    DWORD value = 0;
    memcpy(&value, data->data(), sizeof(value));
    return value;
}

std::optional<std::vector<BYTE>> ReadRegBinary(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    return ReadRaw(key, name, type);
}

bool WriteRegString(HKEY key, const wchar_t* name, const std::wstring& value) {
    auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          bytes) == ERROR_SUCCESS;
}

bool WriteRegDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

bool WriteRegBinary(HKEY key, const wchar_t* name, const void* data, size_t size) {
    return RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool DeleteRegValue(HKEY key, const wchar_t* name) {
    return RegDeleteValueW(key, name) == ERROR_SUCCESS;
}

HKEY PredefinedKeyByName(std::wstring_view name, NameCase match) {
    for (const NamedRoot& root : kRoots) {
        if (match == NameCase::Exact ? name == root.name : EqualsNoCase(name, root.name))
            return root.key;
    }
    return nullptr;
}
