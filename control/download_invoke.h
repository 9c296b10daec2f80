// IDispatch::Invoke of IDownLoad written out. The type library's generic
// Invoke costs several times a script host's own call under Wine; this is a
// table from DISPID to a thunk per method that converts the automation
// arguments to the method's parameter types, calls the method through the
// vtable and returns its [out, retval] in the VARIANT type the type library
// gives. It answers as the type library's Invoke does (the tests compare the
// two method by method), except that named arguments are refused.
#pragma once

#include "Tovral_h.h"

namespace download_invoke {

// `target` is called through its IDownLoad vtable. Calls need DISPATCH_METHOD
// (alone or with DISPATCH_PROPERTYGET); arguments arrive in reverse order in
// `params`; `result` may be null. A failing method gives DISP_E_EXCEPTION with
// its HRESULT in `exception->scode`; an argument that does not convert gives
// the conversion's error and its index in `params->rgvarg` in `*argError`.
HRESULT Invoke(IDownLoad* target, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* exception, UINT* argError) noexcept;

} // namespace download_invoke
