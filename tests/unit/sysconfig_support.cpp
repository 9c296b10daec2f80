#include "tests/unit/sysconfig_support.h"

#include <cstring>

std::optional<RawValue> ReadRawValue(HKEY root, const std::wstring& key, const wchar_t* name) {
    RegKey opened = OpenRegKey(root, key);
    if (!opened)
        return std::nullopt;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(opened.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value{type, std::vector<BYTE>(size)};
    if (RegQueryValueExW(opened.get(), name, nullptr, &type, value.data.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

void WriteRawValue(HKEY root, const std::wstring& key, const wchar_t* name,
                   const std::optional<RawValue>& value) {
    RegKey opened = CreateRegKey(root, key);
    if (!value) {
        RegDeleteValueW(opened.get(), name);
        return;
    }
    RegSetValueExW(opened.get(), name, 0, value->type, value->data.data(),
                   static_cast<DWORD>(value->data.size()));
}

RawValue DwordValue(DWORD value) {
    RawValue raw{REG_DWORD, std::vector<BYTE>(sizeof(value))};
    std::memcpy(raw.data.data(), &value, sizeof(value));
    return raw;
}

PreservedValue::PreservedValue(HKEY root, std::wstring key, const wchar_t* name)
    : root_(root), key_(std::move(key)), name_(name), saved_(ReadRawValue(root_, key_, name_)) {}

PreservedValue::~PreservedValue() {
    WriteRawValue(root_, key_, name_, saved_);
}
