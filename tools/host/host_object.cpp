#include "tools/host/host_object.h"

#include "common/handles.h"
#include "common/text.h"
#include "tools/host/console_output.h"
#include "tools/host/host_window.h"

#include <cmath>
#include <iterator>

namespace {

const VARIANT& EmptyVariant() {
    static VARIANT empty = {}; // VT_EMPTY
    return empty;
}

void SetBool(VARIANT* result, bool value) {
    if (!result)
        return;
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetInt(VARIANT* result, int value) {
    if (!result)
        return;
    result->vt = VT_I4;
    result->lVal = value;
}

HRESULT SetText(VARIANT* result, const std::wstring& text) {
    if (!result)
        return S_OK;
    BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!value)
        return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    result->bstrVal = value;
    return S_OK;
}

bool IsMissing(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL ||
           (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND);
}

// A time limit in milliseconds; absent or negative means none.
HRESULT ToTimeout(const VARIANT& value, DWORD* out) {
    *out = INFINITE;
    if (IsMissing(value))
        return S_OK;
    int ms = 0;
    const HRESULT hr = VariantToInt32(value, &ms);
    if (SUCCEEDED(hr) && ms >= 0)
        *out = static_cast<DWORD>(ms);
    return hr;
}

DWORD WINAPI CrashThread(void*) {
    // A real access violation, as a fault in any code of the process would be.
    *static_cast<volatile int*>(nullptr) = 0;
    return 0;
}

} // namespace

HRESULT VariantToInt32(const VARIANT& value, int* out) {
    Variant number;
    HRESULT hr = VariantChangeType(&number, const_cast<VARIANT*>(&value), 0, VT_R8);
    if (FAILED(hr))
        return hr;
    const double d = number.dblVal;
    if (!std::isfinite(d)) {
        *out = 0;
        return S_OK;
    }
    const double wrapped = std::fmod(std::trunc(d), 4294967296.0);
    const auto bits = static_cast<unsigned long long>(
        static_cast<long long>(wrapped < 0 ? wrapped + 4294967296.0 : wrapped));
    *out = static_cast<int>(static_cast<unsigned>(bits));
    return S_OK;
}

HRESULT VariantToText(const VARIANT& value, std::wstring* out) {
    if (IsMissing(value)) {
        out->clear();
        return S_OK;
    }
    Variant text;
    const HRESULT hr =
        VariantChangeType(&text, const_cast<VARIANT*>(&value), VARIANT_ALPHABOOL, VT_BSTR);
    if (FAILED(hr))
        return hr;
    *out = Bstr::ToString(text.bstrVal);
    return S_OK;
}

const VARIANT& HostObject::Arguments::operator[](UINT i) const {
    if (i >= count())
        return EmptyVariant();
    return params_->rgvarg[params_->cArgs - 1 - i]; // rgvarg holds the arguments in reverse
}

const HostObject::Member HostObject::kMembers[] = {
    {L"echo", &HostObject::Echo, false},
    {L"pump", &HostObject::Pump, false},
    {L"stop", &HostObject::Stop, false},
    {L"post", &HostObject::Post, false},
    {L"exit", &HostObject::Exit, false},
    {L"arg", &HostObject::Arg, false},
    {L"argCount", &HostObject::ArgCount, true},
    {L"quitReceived", &HostObject::QuitReceived, true},
    {L"crash", &HostObject::Crash, false},
    {L"sleep", &HostObject::Sleep, false},
    {L"received", &HostObject::Received, false},
    {L"destroyWindow", &HostObject::DestroyWindow, false},
};

HostObject::HostObject(HostWindow& window, MessagePump& pump,
                       std::vector<std::wstring> pageArguments)
    : window_(window), pump_(pump), pageArguments_(std::move(pageArguments)) {}

HRESULT HostObject::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT HostObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids || count == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    if (count > 1)
        return DISP_E_UNKNOWNNAME; // no named arguments
    for (size_t i = 0; i < std::size(kMembers); ++i) {
        if (names[0] && EqualsNoCase(names[0], kMembers[i].name)) {
            ids[0] = static_cast<DISPID>(i + 1);
            return S_OK;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

HRESULT HostObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO*, UINT* argError) {
    if (id < 1 || static_cast<size_t>(id) > std::size(kMembers))
        return DISP_E_MEMBERNOTFOUND;
    const Member& member = kMembers[id - 1];
    const bool called = (flags & DISPATCH_METHOD) != 0;
    const bool read = (flags & DISPATCH_PROPERTYGET) != 0;
    if (!(called || (read && member.isProperty)))
        return DISP_E_MEMBERNOTFOUND;
    if (params && params->cNamedArgs > 0)
        return DISP_E_NONAMEDARGS;
    if (result)
        VariantInit(result);
    if (argError)
        *argError = 0;
    return (this->*member.method)(Arguments(params), result);
}

HRESULT HostObject::Echo(const Arguments& args, VARIANT*) {
    std::wstring text;
    const HRESULT hr = VariantToText(args[0], &text);
    if (FAILED(hr))
        return hr;
    WriteLine(OutputStream::Out, text);
    return S_OK;
}

HRESULT HostObject::Pump(const Arguments& args, VARIANT* result) {
    DWORD timeout = INFINITE;
    const HRESULT hr = ToTimeout(args[0], &timeout);
    if (FAILED(hr))
        return hr;
    SetBool(result, pump_.Run(timeout) != PumpEnd::TimedOut);
    return S_OK;
}

HRESULT HostObject::Stop(const Arguments&, VARIANT*) {
    pump_.Stop();
    return S_OK;
}

HRESULT HostObject::Post(const Arguments& args, VARIANT* result) {
    int numbers[3] = {};
    for (UINT i = 0; i < 3; ++i) {
        if (IsMissing(args[i]))
            continue;
        const HRESULT hr = VariantToInt32(args[i], &numbers[i]);
        if (FAILED(hr))
            return hr;
    }
    const bool posted =
        window_.handle() != nullptr &&
        PostMessageW(window_.handle(), static_cast<UINT>(numbers[0]),
                     static_cast<WPARAM>(numbers[1]), static_cast<LPARAM>(numbers[2]));
    SetBool(result, posted);
    return S_OK;
}

HRESULT HostObject::Exit(const Arguments& args, VARIANT*) {
    int code = 0;
    if (!IsMissing(args[0])) {
        const HRESULT hr = VariantToInt32(args[0], &code);
        if (FAILED(hr))
            return hr;
    }
    // Output is unbuffered, so nothing is lost by ending here.
    ExitProcess(static_cast<UINT>(code));
}

HRESULT HostObject::Arg(const Arguments& args, VARIANT* result) {
    int index = 0;
    const HRESULT hr = VariantToInt32(args[0], &index);
    if (FAILED(hr))
        return hr;
    if (index < 0 || static_cast<size_t>(index) >= pageArguments_.size())
        return S_OK; // undefined
    return SetText(result, pageArguments_[static_cast<size_t>(index)]);
}

HRESULT HostObject::ArgCount(const Arguments&, VARIANT* result) {
    SetInt(result, static_cast<int>(pageArguments_.size()));
    return S_OK;
}

HRESULT HostObject::QuitReceived(const Arguments&, VARIANT* result) {
    SetBool(result, pump_.quitReceived());
    return S_OK;
}

HRESULT HostObject::Crash(const Arguments&, VARIANT*) {
    KernelHandle thread(CreateThread(nullptr, 0, CrashThread, nullptr, 0, nullptr));
    if (!thread)
        return HRESULT_FROM_WIN32(GetLastError());
    // The process's crash handling ends the process; this thread only waits.
    WaitForSingleObject(thread.get(), INFINITE);
    return E_UNEXPECTED;
}

HRESULT HostObject::Sleep(const Arguments& args, VARIANT*) {
    int ms = 0;
    const HRESULT hr = VariantToInt32(args[0], &ms);
    if (FAILED(hr))
        return hr;
    ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
    return S_OK;
}

HRESULT HostObject::Received(const Arguments&, VARIANT* result) {
    return SetText(result, window_.ReceivedMessages());
}

HRESULT HostObject::DestroyWindow(const Arguments&, VARIANT* result) {
    SetBool(result, window_.Destroy());
    return S_OK;
}
