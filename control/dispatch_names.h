// The name-to-DISPID table of IDownLoad, built once from the type library.
// Script engines ask for a method's DISPID on every call; the type library
// scans its members in order, so a table answers the later methods in
// constant time.
#pragma once

#include <oaidl.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

class DispatchNameTable {
public:
    // Every function of the interface described by `info`, by name.
    static DispatchNameTable FromTypeInfo(ITypeInfo* info);

    // The DISPID of a member name, compared without regard to case (as
    // automation names are); nothing for an unknown name.
    std::optional<DISPID> Find(std::wstring_view name) const;
    size_t size() const { return ids_.size(); }

private:
    std::unordered_map<std::wstring, DISPID> ids_; // keys in lower case
};
