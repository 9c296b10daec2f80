// IDownLoad's dispatch written out: one table of the interface's methods in
// DISPID order, each with its name and a thunk. Script engines look a name up
// and then invoke it on every call, and the type library's generic answers
// cost several times a script host's own under Wine. A thunk converts the
// automation arguments to the method's parameter types, calls the method
// through the vtable and returns its [out, retval] in the VARIANT type the type
// library gives; it answers as the type library's Invoke does (the tests
// compare the two method by method), except that named arguments are refused.
#pragma once

#include "Tovral_h.h"

#include <optional>
#include <string_view>

namespace download_dispatch {

// The DISPID of a method name, compared without regard to (ASCII) case as
// automation names are; nothing for any other name.
std::optional<DISPID> DispIdOf(std::wstring_view name) noexcept;

// `target` is called through its IDownLoad vtable. Calls need DISPATCH_METHOD
// (alone or with DISPATCH_PROPERTYGET); arguments arrive in reverse order in
// `params`; `result` may be null. A failing method gives DISP_E_EXCEPTION with
// its HRESULT in `exception->scode`; an argument that does not convert gives
// the conversion's error and its index in `params->rgvarg` in `*argError`.
HRESULT Invoke(IDownLoad* target, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* exception, UINT* argError) noexcept;

} // namespace download_dispatch
