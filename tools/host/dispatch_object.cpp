#include "tools/host/dispatch_object.h"

#include <cmath>

const VARIANT& DispArguments::operator[](UINT i) const {
    static const VARIANT empty = {}; // VT_EMPTY
    if (i >= count())
        return empty;
    return params_->rgvarg[params_->cArgs - 1 - i]; // rgvarg holds the arguments in reverse
}

bool IsMissingArgument(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL ||
           (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND);
}

HRESULT VariantToInt32(const VARIANT& value, int* out) {
    Variant number;
    const HRESULT hr = VariantChangeType(number.out(), const_cast<VARIANT*>(&value), 0, VT_R8);
    if (FAILED(hr))
        return hr;
    const double d = number->dblVal;
    if (!std::isfinite(d)) {
        *out = 0;
        return S_OK;
    }
    double wrapped = std::fmod(std::trunc(d), 4294967296.0);
    if (wrapped < 0)
        wrapped += 4294967296.0;
    *out = static_cast<int>(static_cast<unsigned>(static_cast<long long>(wrapped)));
    return S_OK;
}

HRESULT VariantToText(const VARIANT& value, std::wstring* out) {
    if (IsMissingArgument(value)) {
        out->clear();
        return S_OK;
    }
    if (value.vt == VT_BOOL) { // as the script itself writes it
        *out = value.boolVal ? L"true" : L"false";
        return S_OK;
    }
    // Numbers in a fixed notation (a decimal point), whatever the user's locale.
    const LCID kEnglish = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    Variant text;
    const HRESULT hr =
        VariantChangeTypeEx(text.out(), const_cast<VARIANT*>(&value), kEnglish, 0, VT_BSTR);
    if (FAILED(hr))
        return hr;
    *out = Bstr::ToString(text->bstrVal);
    return S_OK;
}

void SetBoolResult(VARIANT* result, bool value) {
    if (!result)
        return;
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetIntResult(VARIANT* result, int value) {
    if (!result)
        return;
    result->vt = VT_I4;
    result->lVal = value;
}

HRESULT SetTextResult(VARIANT* result, const std::wstring& text) {
    if (!result)
        return S_OK;
    BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!value)
        return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    result->bstrVal = value;
    return S_OK;
}
