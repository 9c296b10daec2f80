#include "tools/host/host_object.h"

#include "common/handles.h"
#include "tools/host/browser.h"
#include "tools/host/console_output.h"
#include "tools/host/host_window.h"

#include <ocidl.h>

#include <iterator>

namespace {

// A time limit in milliseconds; absent or negative means none.
HRESULT ToTimeout(const VARIANT& value, DWORD* out) {
    *out = INFINITE;
    if (IsMissingArgument(value))
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

std::span<const HostObject::Member> HostObject::Members() {
    static const Member members[] = {
        {L"echo", &HostObject::Echo, false},
        {L"pump", &HostObject::Pump, false},
        {L"stop", &HostObject::Stop, false},
        {L"quitReceived", &HostObject::QuitReceived, true},
        {L"post", &HostObject::Post, false},
        {L"received", &HostObject::Received, false},
        {L"destroyWindow", &HostObject::DestroyWindow, false},
        {L"arg", &HostObject::Arg, false},
        {L"argCount", &HostObject::ArgCount, true},
        {L"processId", &HostObject::ProcessId, true},
        {L"sleep", &HostObject::Sleep, false},
        {L"exit", &HostObject::Exit, false},
        {L"crash", &HostObject::Crash, false},
        {L"noop", &HostObject::Noop, false},
        {L"clock", &HostObject::Clock, false},
        {L"setDocumentUrl", &HostObject::SetDocumentUrl, false},
        {L"embed", &HostObject::Embed, false},
    };
    return members;
}

HostObject::HostObject(HostWindow& window, MessagePump& pump, BrowserServices& browser,
                       std::vector<std::wstring> pageArguments)
    : window_(window), pump_(pump), browser_(browser), pageArguments_(std::move(pageArguments)) {}

HRESULT HostObject::Echo(const DispArguments& args, VARIANT*) {
    std::wstring text;
    const HRESULT hr = VariantToText(args[0], &text);
    if (FAILED(hr))
        return hr;
    WriteLine(OutputStream::Out, text);
    return S_OK;
}

HRESULT HostObject::Pump(const DispArguments& args, VARIANT* result) {
    DWORD timeout = INFINITE;
    const HRESULT hr = ToTimeout(args[0], &timeout);
    if (FAILED(hr))
        return hr;
    SetBoolResult(result, pump_.Run(timeout) != PumpEnd::TimedOut);
    return S_OK;
}

HRESULT HostObject::Stop(const DispArguments&, VARIANT*) {
    pump_.Stop();
    return S_OK;
}

HRESULT HostObject::QuitReceived(const DispArguments&, VARIANT* result) {
    SetBoolResult(result, pump_.quitReceived());
    return S_OK;
}

HRESULT HostObject::Post(const DispArguments& args, VARIANT* result) {
    int numbers[3] = {};
    for (UINT i = 0; i < 3; ++i) {
        if (IsMissingArgument(args[i]))
            continue;
        const HRESULT hr = VariantToInt32(args[i], &numbers[i]);
        if (FAILED(hr))
            return hr;
    }
    const bool posted =
        window_.handle() != nullptr &&
        PostMessageW(window_.handle(), static_cast<UINT>(numbers[0]),
                     static_cast<WPARAM>(numbers[1]), static_cast<LPARAM>(numbers[2]));
    SetBoolResult(result, posted);
    return S_OK;
}

HRESULT HostObject::Received(const DispArguments&, VARIANT* result) {
    return SetTextResult(result, window_.ReceivedMessages());
}

HRESULT HostObject::DestroyWindow(const DispArguments&, VARIANT* result) {
    SetBoolResult(result, window_.Destroy());
    return S_OK;
}

HRESULT HostObject::Arg(const DispArguments& args, VARIANT* result) {
    int index = 0;
    const HRESULT hr = VariantToInt32(args[0], &index);
    if (FAILED(hr))
        return hr;
    if (index < 0 || static_cast<size_t>(index) >= pageArguments_.size())
        return S_OK; // undefined
    return SetTextResult(result, pageArguments_[static_cast<size_t>(index)]);
}

HRESULT HostObject::ArgCount(const DispArguments&, VARIANT* result) {
    SetIntResult(result, static_cast<int>(pageArguments_.size()));
    return S_OK;
}

HRESULT HostObject::ProcessId(const DispArguments&, VARIANT* result) {
    SetIntResult(result, static_cast<int>(GetCurrentProcessId()));
    return S_OK;
}

HRESULT HostObject::Sleep(const DispArguments& args, VARIANT*) {
    int ms = 0;
    const HRESULT hr = VariantToInt32(args[0], &ms);
    if (FAILED(hr))
        return hr;
    ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
    return S_OK;
}

HRESULT HostObject::Exit(const DispArguments& args, VARIANT*) {
    int code = 0;
    if (!IsMissingArgument(args[0])) {
        const HRESULT hr = VariantToInt32(args[0], &code);
        if (FAILED(hr))
            return hr;
    }
    // Output is unbuffered, so nothing is lost by ending here.
    ExitProcess(static_cast<UINT>(code));
}

HRESULT HostObject::Crash(const DispArguments&, VARIANT*) {
    KernelHandle thread(CreateThread(nullptr, 0, CrashThread, nullptr, 0, nullptr));
    if (!thread)
        return HRESULT_FROM_WIN32(GetLastError());
    // The process's crash handling ends the process; this thread only waits.
    WaitForSingleObject(thread.get(), INFINITE);
    return E_UNEXPECTED;
}

// The cheapest call the host answers: the yardstick of benchmark pages.
HRESULT HostObject::Noop(const DispArguments&, VARIANT*) {
    return S_OK;
}

// Milliseconds from the performance counter: JScript's Date is too coarse to
// time short loops.
HRESULT HostObject::Clock(const DispArguments&, VARIANT* result) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    if (result) {
        result->vt = VT_R8;
        result->dblVal = double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
    }
    return S_OK;
}

HRESULT HostObject::SetDocumentUrl(const DispArguments& args, VARIANT*) {
    std::wstring url;
    const HRESULT hr = VariantToText(args[0], &url);
    if (FAILED(hr))
        return hr;
    browser_.SetDocumentUrl(std::move(url));
    return S_OK;
}

HRESULT HostObject::Embed(const DispArguments& args, VARIANT* result) {
    std::wstring progId;
    HRESULT hr = VariantToText(args[0], &progId);
    if (FAILED(hr))
        return hr;
    std::optional<std::wstring> frameUrl;
    if (!IsMissingArgument(args[1])) {
        std::wstring url;
        if (FAILED(hr = VariantToText(args[1], &url)))
            return hr;
        frameUrl = std::move(url);
    }
    CLSID clsid;
    if (FAILED(hr = CLSIDFromProgID(progId.c_str(), &clsid)))
        return hr;
    ComPtr<IDispatch> object;
    if (FAILED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(object.GetAddressOf()))))
        return hr;
    ComPtr<IObjectWithSite> withSite;
    if (SUCCEEDED(object.As(&withSite)))
        withSite->SetSite(browser_.MakeElementSite(std::move(frameUrl)).Get());
    if (result) {
        result->vt = VT_DISPATCH;
        result->pdispVal = object.Detach();
    }
    return S_OK;
}
