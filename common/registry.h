// Typed access to registry values through RegKey owners. Reads grow their
// buffer to the value's size, so a long value is read whole, never taken as
// missing; strings need not be NUL-terminated in the registry.
#pragma once

#include "common/handles.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

RegKey OpenRegKey(HKEY root, const std::wstring& path, REGSAM access = KEY_READ);
// Opens the key, creating it and its missing parents.
RegKey CreateRegKey(HKEY root, const std::wstring& path, REGSAM access = KEY_READ | KEY_WRITE);

// Readers answer nullopt when the value is missing or of another type.
std::optional<std::wstring> ReadRegString(HKEY key, const wchar_t* name);
std::optional<DWORD> ReadRegDword(HKEY key, const wchar_t* name);
std::optional<std::vector<BYTE>> ReadRegBinary(HKEY key, const wchar_t* name);

bool WriteRegString(HKEY key, const wchar_t* name, const std::wstring& value);
bool WriteRegDword(HKEY key, const wchar_t* name, DWORD value);
bool WriteRegBinary(HKEY key, const wchar_t* name, const void* data, size_t size);
bool DeleteRegValue(HKEY key, const wchar_t* name);

// The predefined root named "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
// "HKEY_LOCAL_MACHINE", "HKEY_USERS" or "HKEY_CURRENT_CONFIG"; null for any
// other text. Lists differ in whether the name's case matters.
enum class NameCase { Exact, Ignore };
HKEY PredefinedKeyByName(std::wstring_view name, NameCase match);
