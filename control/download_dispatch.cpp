#include "control/download_dispatch.h"

#include "common/com_types.h"
#include "common/text.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

namespace download_dispatch {
namespace {

// [in] parameter types: the VARIANT type an argument is converted to, and the
// value the method receives (borrowed from the argument or its conversion).
template <typename T> struct In;
template <> struct In<LONG> {
    static constexpr VARTYPE kType = VT_I4;
    static LONG From(const VARIANT& value) { return value.lVal; }
};
template <> struct In<BSTR> {
    static constexpr VARTYPE kType = VT_BSTR;
    static BSTR From(const VARIANT& value) { return value.bstrVal; }
};

// [out, retval] types: the VARIANT type of the result and the field the method writes.
template <typename T> struct Out;
template <> struct Out<BSTR*> {
    static constexpr VARTYPE kType = VT_BSTR;
    static BSTR* Field(VARIANT& value) { return &value.bstrVal; }
};
template <> struct Out<VARIANT_BOOL*> {
    static constexpr VARTYPE kType = VT_BOOL;
    static VARIANT_BOOL* Field(VARIANT& value) { return &value.boolVal; }
};
template <> struct Out<LONG*> {
    static constexpr VARTYPE kType = VT_I4;
    static LONG* Field(VARIANT& value) { return &value.lVal; }
};

template <typename T>
concept Retval = requires {
    Out<T>::kType;
};

template <typename Params> constexpr bool EndsWithRetval() {
    constexpr size_t count = std::tuple_size_v<Params>;
    if constexpr (count == 0)
        return false;
    else
        return Retval<std::tuple_element_t<count - 1, Params>>;
}

// The [in] arguments of one call, in parameter order. An argument of the
// parameter's type is used as it is; any other goes through VariantChangeType,
// which also dereferences VT_BYREF and VT_VARIANT|VT_BYREF, as the type
// library's Invoke does.
class Arguments {
public:
    static constexpr size_t kMax = 3;

    HRESULT Take(const DISPPARAMS& params, std::span<const VARTYPE> types, bool hasRetval,
                 UINT* argError) {
        for (size_t i = 0; i < types.size(); ++i) {
            if (i >= params.cArgs)
                return DISP_E_BADPARAMCOUNT; // what the type library answers for a missing one
            const HRESULT hr = TakeOne(params, i, types[i], argError);
            if (FAILED(hr))
                return hr;
        }
        // Arguments beyond the parameters are refused before a retval, ignored otherwise.
        return hasRetval && params.cArgs > types.size() ? DISP_E_BADPARAMCOUNT : S_OK;
    }

    const VARIANT& operator[](size_t index) const { return *args_[index]; }

private:
    HRESULT TakeOne(const DISPPARAMS& params, size_t index, VARTYPE type, UINT* argError) {
        const UINT position = params.cArgs - 1 - static_cast<UINT>(index); // rgvarg is reversed
        VARIANT& given = params.rgvarg[position];
        if (given.vt == type) {
            args_[index] = &given;
            return S_OK;
        }
        const HRESULT hr = VariantChangeType(converted_[index].out(), &given, 0, type);
        if (FAILED(hr)) {
            if (argError)
                *argError = position;
            return hr;
        }
        args_[index] = &converted_[index].get();
        return S_OK;
    }

    const VARIANT* args_[kMax] = {};
    Variant converted_[kMax];
};

// A method's failure, as the type library reports it: DISP_E_EXCEPTION with
// the method's HRESULT in the exception information.
HRESULT MethodOutcome(HRESULT hr, EXCEPINFO* exception) {
    if (SUCCEEDED(hr))
        return S_OK;
    if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = hr;
    }
    return DISP_E_EXCEPTION;
}

template <typename M> struct Signature;
template <typename... P> struct Signature<HRESULT (STDMETHODCALLTYPE IDownLoad::*)(P...)> {
    using Params = std::tuple<P...>;
};

// The thunk of one IDownLoad method, shaped by the method's own signature.
template <auto Method> struct Thunk {
    using Params = typename Signature<decltype(Method)>::Params;
    static constexpr bool kHasRetval = EndsWithRetval<Params>();
    static constexpr size_t kIn = std::tuple_size_v<Params> - (kHasRetval ? 1 : 0);
    static_assert(kIn <= Arguments::kMax);
    template <size_t I> using InParam = In<std::tuple_element_t<I, Params>>;

    static constexpr auto kInTypes = []<size_t... I>(std::index_sequence<I...>) {
        return std::array<VARTYPE, kIn>{InParam<I>::kType...};
    }
    (std::make_index_sequence<kIn>());

    static HRESULT Run(IDownLoad* target, const DISPPARAMS& params, VARIANT* result,
                       EXCEPINFO* exception, UINT* argError) {
        Arguments args;
        const HRESULT hr = args.Take(params, kInTypes, kHasRetval, argError);
        if (FAILED(hr))
            return hr;
        return MethodOutcome(Call(target, args, result, std::make_index_sequence<kIn>()),
                             exception);
    }

    // The method writes its retval straight into the result (into a scratch
    // VARIANT that frees it when the caller wants none); one it leaves
    // unwritten is an empty value of the retval's type.
    template <size_t... I>
    static HRESULT Call(IDownLoad* target, const Arguments& args, VARIANT* result,
                        std::index_sequence<I...>) {
        if constexpr (kHasRetval) {
            using Result = Out<std::tuple_element_t<kIn, Params>>;
            Variant scratch;
            VARIANT* value = result ? result : scratch.out();
            VariantInit(value);
            value->llVal = 0;
            value->vt = Result::kType;
            return (target->*Method)(InParam<I>::From(args[I])..., Result::Field(*value));
        } else {
            if (result)
                VariantInit(result);
            return (target->*Method)(InParam<I>::From(args[I])...);
        }
    }
};

using ThunkFn = HRESULT (*)(IDownLoad*, const DISPPARAMS&, VARIANT*, EXCEPINFO*, UINT*);

struct Method {
    std::wstring_view name;
    ThunkFn run;
};

// In DISPID order, 1 to 30, named as in the type library.
constexpr Method kMethods[] = {
    {L"StartDownLoad", &Thunk<&IDownLoad::StartDownLoad>::Run},
    {L"DetectFile", &Thunk<&IDownLoad::DetectFile>::Run},
    {L"SetLanguage", &Thunk<&IDownLoad::SetLanguage>::Run},
    {L"GetLanguage", &Thunk<&IDownLoad::GetLanguage>::Run},
    {L"SaveUserType", &Thunk<&IDownLoad::SaveUserType>::Run},
    {L"GetUserType", &Thunk<&IDownLoad::GetUserType>::Run},
    {L"GetClientType", &Thunk<&IDownLoad::GetClientType>::Run},
    {L"GetIEVersion", &Thunk<&IDownLoad::GetIEVersion>::Run},
    {L"GetSystemVersion", &Thunk<&IDownLoad::GetSystemVersion>::Run},
    {L"GetSysInfoList", &Thunk<&IDownLoad::GetSysInfoList>::Run},
    {L"SetDownLoadList", &Thunk<&IDownLoad::SetDownLoadList>::Run},
    {L"GetDownLoadList", &Thunk<&IDownLoad::GetDownLoadList>::Run},
    {L"GetStatuBySurrId", &Thunk<&IDownLoad::GetStatuBySurrId>::Run},
    {L"GetStatuByXML", &Thunk<&IDownLoad::GetStatuByXML>::Run},
    {L"SaveIDList", &Thunk<&IDownLoad::SaveIDList>::Run},
    {L"EBankDownLoad", &Thunk<&IDownLoad::EBankDownLoad>::Run},
    {L"GetQelLinks", &Thunk<&IDownLoad::GetQelLinks>::Run},
    {L"GetPatchFile", &Thunk<&IDownLoad::GetPatchFile>::Run},
    {L"GetSystemInfo", &Thunk<&IDownLoad::GetSystemInfo>::Run},
    {L"GetSysInfoResult", &Thunk<&IDownLoad::GetSysInfoResult>::Run},
    {L"OpenSysInfoFile", &Thunk<&IDownLoad::OpenSysInfoFile>::Run},
    {L"QueryUpdate", &Thunk<&IDownLoad::QueryUpdate>::Run},
    {L"UpdateSymbol", &Thunk<&IDownLoad::UpdateSymbol>::Run},
    {L"GetDynamicLink", &Thunk<&IDownLoad::GetDynamicLink>::Run},
    {L"GetLowVersionSymbol", &Thunk<&IDownLoad::GetLowVersionSymbol>::Run},
    {L"UpdateBankVeyr", &Thunk<&IDownLoad::UpdateBankVeyr>::Run},
    {L"GetPatchResult", &Thunk<&IDownLoad::GetPatchResult>::Run},
    {L"QuitBankVeyr", &Thunk<&IDownLoad::QuitBankVeyr>::Run},
    {L"InternetConnAddress", &Thunk<&IDownLoad::InternetConnAddress>::Run},
    {L"UpdateCancel", &Thunk<&IDownLoad::UpdateCancel>::Run},
};
static_assert(std::size(kMethods) == 30);

} // namespace

HRESULT Invoke(IDownLoad* target, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* exception, UINT* argError) noexcept {
    if (!params || params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;
    if (id < 1 || id > static_cast<DISPID>(std::size(kMethods)) || !(flags & DISPATCH_METHOD))
        return DISP_E_MEMBERNOTFOUND;
    if (params->cNamedArgs > 0)
        return DISP_E_NONAMEDARGS;
    return kMethods[id - 1].run(target, *params, result, exception, argError);
}

std::optional<DISPID> DispIdOf(std::wstring_view name) noexcept {
    for (size_t i = 0; i < std::size(kMethods); ++i) {
        if (EqualsAsciiNoCase(kMethods[i].name, name))
            return static_cast<DISPID>(i + 1);
    }
    return std::nullopt;
}

} // namespace download_dispatch
