// Registry scripts (the REGISTRY resources): a small interpreter for the
// registrar script language - keys in braces, "NoRemove", "ForceRemove" and
// "Delete" flags, default values "= s 'text'", named values "val Name = s 'x'".
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

struct RgsValue {
    wchar_t type = L's'; // 's' text, 'd' number
    std::wstring data;
    bool operator==(const RgsValue&) const = default;
};

struct RgsKey {
    enum class Flag { None, NoRemove, ForceRemove, Delete };
    std::wstring name;
    Flag flag = Flag::None;
    std::optional<RgsValue> defaultValue;
    std::vector<std::pair<std::wstring, RgsValue>> values;
    std::vector<RgsKey> subkeys;
};

struct RgsRoot {
    std::wstring rootName; // as written: HKCR, HKEY_CURRENT_USER...
    std::vector<RgsKey> keys;
};

// Replaces %NAME% by its value ("%%" is a literal percent sign). Values are
// quoted for the script's string syntax, so a path holding "'" stays one string.
std::wstring ExpandRgsReplacements(const std::wstring& script,
                                   const std::map<std::wstring, std::wstring>& replacements);

// Parses an expanded script; std::nullopt on a syntax error.
std::optional<std::vector<RgsRoot>> ParseRgs(const std::wstring& script);

enum class RegistryScope { Machine, PerUser };

// Writes (or removes) the keys of a parsed script. Per-user scope maps the
// classes root to HKEY_CURRENT_USER\Software\Classes.
HRESULT ApplyRgs(const std::vector<RgsRoot>& roots, bool registering, RegistryScope scope);
