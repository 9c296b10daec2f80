#include "control/dispatch_names.h"

#include "common/com_types.h"
#include "common/text.h"

DispatchNameTable DispatchNameTable::FromTypeInfo(ITypeInfo* info) {
    DispatchNameTable table;
    TYPEATTR* attributes = nullptr;
    if (!info || FAILED(info->GetTypeAttr(&attributes)))
        return table;
    const WORD functions = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    for (UINT index = 0; index < functions; ++index) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(index, &function)))
            continue;
        const MEMBERID id = function->memid;
        info->ReleaseFuncDesc(function);
        Bstr name;
        if (SUCCEEDED(info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr)))
            table.ids_.emplace(ToLower(name.str()), id);
    }
    return table;
}

std::optional<DISPID> DispatchNameTable::Find(std::wstring_view name) const {
    auto found = ids_.find(ToLower(std::wstring(name)));
    if (found == ids_.end())
        return std::nullopt;
    return found->second;
}
