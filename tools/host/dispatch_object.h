// A by-name IDispatch for the host's small scriptable objects, with the value
// conversions their methods need. Wine calls Invoke with DISPATCH_METHOD where
// Windows passes DISPATCH_METHOD | DISPATCH_PROPERTYGET: both are calls.
#pragma once

#include "common/com_types.h"
#include "common/text.h"

#include <span>
#include <string>

// Arguments of one call, in call order; an absent argument reads as VT_EMPTY.
class DispArguments {
public:
    explicit DispArguments(const DISPPARAMS* params) : params_(params) {}
    UINT count() const { return params_ ? params_->cArgs : 0; }
    const VARIANT& operator[](UINT i) const;

private:
    const DISPPARAMS* params_;
};

// Not given, undefined or null.
bool IsMissingArgument(const VARIANT& value);
// JavaScript's ToInt32: numbers wrap modulo 2^32, so 0xFFFFFFFF arrives as -1.
HRESULT VariantToInt32(const VARIANT& value, int* out);
// Any value as text; a missing one is "".
HRESULT VariantToText(const VARIANT& value, std::wstring* out);

void SetBoolResult(VARIANT* result, bool value);
void SetIntResult(VARIANT* result, int value);
HRESULT SetTextResult(VARIANT* result, const std::wstring& text);

// Self lists its members in a static `Members()` returning std::span<const Member>;
// the DISPID of a member is its position plus one.
template <typename Self> class NamedDispatch : public IDispatch {
public:
    struct Member {
        const wchar_t* name;
        HRESULT (Self::*method)(const DispArguments& args, VARIANT* result);
        bool isProperty; // may be read with a property get; other members need a call
    };

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids || count == 0)
            return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        if (count > 1 || !names[0])
            return DISP_E_UNKNOWNNAME; // no named arguments
        const std::span<const Member> members = Self::Members();
        for (size_t i = 0; i < members.size(); ++i) {
            if (EqualsNoCase(names[0], members[i].name)) {
                ids[0] = static_cast<DISPID>(i + 1);
                return S_OK;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT* argError) override {
        const std::span<const Member> members = Self::Members();
        if (id < 1 || static_cast<size_t>(id) > members.size())
            return DISP_E_MEMBERNOTFOUND;
        const Member& member = members[static_cast<size_t>(id) - 1];
        const bool called = (flags & DISPATCH_METHOD) != 0;
        const bool read = (flags & DISPATCH_PROPERTYGET) != 0;
        if (!called && !(read && member.isProperty))
            return DISP_E_MEMBERNOTFOUND;
        if (params && params->cNamedArgs > 0)
            return DISP_E_NONAMEDARGS;
        if (result)
            VariantInit(result);
        if (argError)
            *argError = 0;
        return (static_cast<Self*>(this)->*member.method)(DispArguments(params), result);
    }
};
