// The guard around every scripting method's whole body: nothing it throws
// reaches the page's script engine. A failure leaves the method's failure
// value in its result and a trace line naming the method; only a failed
// allocation becomes an HRESULT (E_OUTOFMEMORY), as automation callers expect.
#pragma once

#include "common/com_types.h"
#include "common/guard.h"
#include "common/trace_sink.h"

#include <windows.h>
#include <oleauto.h>

namespace script_call {

// Call inside a catch block.
inline HRESULT Failed(const TraceSink* trace, const wchar_t* method) noexcept {
    if (CurrentExceptionIsOutOfMemory())
        return E_OUTOFMEMORY;
    if (trace)
        TraceCurrentException(*trace, method);
    return S_OK;
}

template <typename Body>
HRESULT Guarded(const TraceSink* trace, const wchar_t* method, Body&& body) noexcept {
    try {
        body();
        return S_OK;
    } catch (...) {
        return Failed(trace, method);
    }
}

// Result texts: an empty (null) BSTR on failure.
template <typename Fn>
HRESULT Text(const TraceSink* trace, const wchar_t* method, BSTR* out, Fn&& text) noexcept {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return Guarded(trace, method, [&] { *out = Bstr(text()).Detach(); });
}

// Bool results carry the engine's value unchanged (1, not VARIANT_TRUE); 0 on failure.
template <typename Fn>
HRESULT Bool(const TraceSink* trace, const wchar_t* method, VARIANT_BOOL* out,
             Fn&& value) noexcept {
    if (!out)
        return E_POINTER;
    *out = 0;
    return Guarded(trace, method, [&] { *out = static_cast<VARIANT_BOOL>(value()); });
}

// Long results from 16-bit engine values, sign-extended; 0 on failure.
template <typename Fn>
HRESULT Long(const TraceSink* trace, const wchar_t* method, LONG* out, Fn&& value) noexcept {
    if (!out)
        return E_POINTER;
    *out = 0;
    return Guarded(trace, method, [&] { *out = static_cast<short>(value()); });
}

} // namespace script_call
