// TovralHostProbe.dll: a test-only in-process COM object ("TovralHost.Probe")
// that uses the page host the way the bank's control does, so the host's side
// of that contract is tested on its own: it takes the window that is active
// when the DLL is loaded and subclasses it, walks its site to the page window
// and the navigator, runs texts through IHTMLWindow2::execScript (directly and
// from its window procedure, on messages posted by a worker thread) and can
// install a crash filter that shows a message box.
//
// Members: loadWindowClass, chain, address, lastCallbackResult (properties);
// run(code[, language]) -> HRESULT; postFromThread(msg, wParam, lParam);
// quit(); installCrashFilter().
// Messages of the subclassed window: 0x054D runs "try{OnProbe(wParam,lParam);}
// catch(ex){}", 0x054E runs a text that does not compile; others pass on.
// Registered by regsvr32 (HKEY_CLASSES_ROOT). When TOVRAL_PROBE_UNLOAD_MARKER names a file,
// the DLL writes it when it is unloaded.

#include "common/handles.h"
#include "common/text.h"
#include "common/com_object.h"
#include "tools/host/dispatch_object.h"

#include <mshtml.h>
#include <exdisp.h>
#include <ocidl.h>

#include <iterator>

namespace {

// {0205F2E6-7B0B-4293-9D06-ABC9A65AC849}
const CLSID kProbeClsid = {
    0x0205f2e6, 0x7b0b, 0x4293, {0x9d, 0x06, 0xab, 0xc9, 0xa6, 0x5a, 0xc8, 0x49}};
const wchar_t kProbeClsidText[] = L"{0205F2E6-7B0B-4293-9D06-ABC9A65AC849}";
const wchar_t kProbeProgId[] = L"TovralHost.Probe";
const UINT kCallbackMessage = 0x054D;
const UINT kBrokenCallbackMessage = 0x054E;

HMODULE g_module = nullptr;
LONG g_objects = 0;

// What the probe learnt, process-wide like the control's module state.
struct ProbeState {
    bool loaded = false;
    std::wstring loadWindowClass;
    HWND window = nullptr;
    WNDPROC previous = nullptr;
    ComPtr<IHTMLWindow2> pageWindow; // of the most recent probe object
    bool haveCallbackResult = false;
    HRESULT lastCallbackResult = S_OK;
};
ProbeState g_state;

HRESULT RunInPage(const std::wstring& code, const wchar_t* language) {
    if (!g_state.pageWindow)
        return E_UNEXPECTED;
    Bstr text(code), lang(language);
    Variant result;
    return g_state.pageWindow->execScript(text.get(), lang.get(), result.out());
}

void RunCallback(const std::wstring& code) {
    g_state.lastCallbackResult = RunInPage(code, L"JSCRIPT");
    g_state.haveCallbackResult = true;
}

LRESULT CALLBACK ProbeWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kCallbackMessage) {
        RunCallback(FormatW(L"try{OnProbe(%d,%d);}catch(ex){}", static_cast<int>(wParam),
                            static_cast<int>(lParam)));
        return 0;
    }
    if (message == kBrokenCallbackMessage) {
        RunCallback(L"try{OnProbe(';}catch(ex){}");
        return 0;
    }
    const WNDPROC previous = g_state.previous;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        g_state.window = nullptr;
    }
    return CallWindowProcW(previous, hwnd, message, wParam, lParam);
}

// Done once, when the page first creates a probe: the DLL was loaded just now.
void OnLoadedByPage() {
    if (g_state.loaded)
        return;
    g_state.loaded = true;
    HWND active = GetActiveWindow();
    if (!IsWindow(active))
        return;
    wchar_t name[128] = {};
    GetClassNameW(active, name, 128);
    g_state.loadWindowClass = name;
    g_state.window = active;
    g_state.previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(active, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProbeWindowProc)));
}

void RestoreWindow() {
    if (g_state.window && GetWindowLongPtrW(g_state.window, GWLP_WNDPROC) ==
                              reinterpret_cast<LONG_PTR>(&ProbeWindowProc))
        SetWindowLongPtrW(g_state.window, GWLP_WNDPROC,
                          reinterpret_cast<LONG_PTR>(g_state.previous));
    g_state.window = nullptr;
}

void WriteUnloadMarker() {
    wchar_t path[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"TOVRAL_PROBE_UNLOAD_MARKER", path, MAX_PATH))
        return;
    FileHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

struct PostRequest {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

DWORD WINAPI PostThread(void* param) {
    PostRequest* request = static_cast<PostRequest*>(param);
    PostMessageW(request->window, request->message, request->wParam, request->lParam);
    delete request;
    return 0;
}

LONG WINAPI ProbeCrashFilter(EXCEPTION_POINTERS* info) {
    const std::wstring text = FormatW(L"probe crash filter\r\ncode 0x%08X",
                                      static_cast<unsigned>(info->ExceptionRecord->ExceptionCode));
    MessageBoxW(GetActiveWindow(), text.c_str(), L"probe crash", MB_OK);
    ExitProcess(1);
}

class Probe final : public NamedDispatch<Probe>, public IObjectWithSite {
public:
    Probe() { InterlockedIncrement(&g_objects); }
    ~Probe() {
        InterlockedDecrement(&g_objects);
        OutputDebugStringA("probe destroyed");
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, static_cast<IDispatch*>(this)},
                            {IID_IDispatch, static_cast<IDispatch*>(this)},
                            {IID_IObjectWithSite, static_cast<IObjectWithSite*>(this)}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return site_ ? site_->QueryInterface(riid, ppv) : E_FAIL;
    }

    static std::span<const Member> Members() {
        static const Member members[] = {
            {L"loadWindowClass", &Probe::LoadWindowClass, true},
            {L"chain", &Probe::Chain, true},
            {L"address", &Probe::Address, true},
            {L"lastCallbackResult", &Probe::LastCallbackResult, true},
            {L"run", &Probe::Run, false},
            {L"postFromThread", &Probe::PostFromThread, false},
            {L"quit", &Probe::Quit, false},
            {L"installCrashFilter", &Probe::InstallCrashFilter, false},
        };
        return members;
    }

private:
    HRESULT LoadWindowClass(const DispArguments&, VARIANT* result) {
        return SetTextResult(result, g_state.loadWindowClass);
    }
    HRESULT Chain(const DispArguments&, VARIANT* result) { return SetTextResult(result, chain_); }
    HRESULT Address(const DispArguments&, VARIANT* result) {
        return SetTextResult(result, address_);
    }
    HRESULT LastCallbackResult(const DispArguments&, VARIANT* result) {
        if (g_state.haveCallbackResult)
            SetIntResult(result, g_state.lastCallbackResult);
        return S_OK;
    }
    HRESULT Run(const DispArguments& args, VARIANT* result);
    HRESULT PostFromThread(const DispArguments& args, VARIANT* result);
    HRESULT Quit(const DispArguments&, VARIANT*) {
        PostQuitMessage(0);
        return S_OK;
    }
    HRESULT InstallCrashFilter(const DispArguments&, VARIANT*) {
        SetUnhandledExceptionFilter(ProbeCrashFilter);
        return S_OK;
    }

    RefCount<Probe> refs_;
    ComPtr<IUnknown> site_;
    std::wstring chain_;
    std::wstring address_;
};

// "[text]" of a URL getter, or "fails" when it does.
template <typename Getter> std::wstring UrlText(Getter get) {
    Bstr url;
    return SUCCEEDED(get(url.out())) ? L"[" + url.str() + L"]" : L"fails";
}

// The walk the control makes: site -> IWebBrowserApp -> document -> window -> navigator.
HRESULT Probe::SetSite(IUnknown* site) {
    site_ = site;
    chain_.clear();
    address_.clear();
    if (!site)
        return S_OK;
    ComPtr<IServiceProvider> services;
    ComPtr<IWebBrowserApp> browser;
    if (FAILED(site->QueryInterface(IID_IServiceProvider,
                                    reinterpret_cast<void**>(services.GetAddressOf()))) ||
        FAILED(services->QueryService(IID_IWebBrowserApp, IID_IWebBrowserApp,
                                      reinterpret_cast<void**>(browser.GetAddressOf())))) {
        chain_ = L"no browser";
        return S_OK;
    }
    ComPtr<IDispatch> documentDispatch;
    ComPtr<IHTMLDocument2> document;
    ComPtr<IHTMLWindow2> window;
    if (FAILED(browser->get_Document(documentDispatch.GetAddressOf())) || !documentDispatch ||
        FAILED(documentDispatch->QueryInterface(
            IID_IHTMLDocument2, reinterpret_cast<void**>(document.GetAddressOf()))) ||
        FAILED(document->get_parentWindow(window.GetAddressOf())) || !window) {
        chain_ = L"browser without page window";
        return S_OK;
    }
    // The page's address as the control reads it: document.URL, browser.LocationURL.
    address_ = UrlText([&](BSTR* url) { return document->get_URL(url); }) + L" " +
               UrlText([&](BSTR* url) { return browser->get_LocationURL(url); });
    g_state.pageWindow = window;
    ComPtr<IOmNavigator> navigator;
    Bstr minor;
    if (FAILED(window->get_navigator(navigator.GetAddressOf())) || !navigator ||
        FAILED(navigator->get_appMinorVersion(minor.out()))) {
        chain_ = L"page window without navigator";
        return S_OK;
    }
    chain_ = L"page window, minor version " + minor.str();
    return S_OK;
}

HRESULT Probe::Run(const DispArguments& args, VARIANT* result) {
    std::wstring code, language = L"JSCRIPT";
    HRESULT hr = VariantToText(args[0], &code);
    if (SUCCEEDED(hr) && args.count() > 1)
        hr = VariantToText(args[1], &language);
    if (FAILED(hr))
        return hr;
    SetIntResult(result, RunInPage(code, language.c_str()));
    return S_OK;
}

HRESULT Probe::PostFromThread(const DispArguments& args, VARIANT* result) {
    int numbers[3] = {};
    for (UINT i = 0; i < 3; ++i) {
        const HRESULT hr = VariantToInt32(args[i], &numbers[i]);
        if (FAILED(hr))
            return hr;
    }
    auto* request =
        new PostRequest{g_state.window, static_cast<UINT>(numbers[0]),
                        static_cast<WPARAM>(numbers[1]), static_cast<LPARAM>(numbers[2])};
    KernelHandle thread(CreateThread(nullptr, 0, PostThread, request, 0, nullptr));
    if (!thread)
        delete request;
    SetBoolResult(result, static_cast<bool>(thread));
    return S_OK;
}

class ProbeFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv, {{IID_IUnknown, this}, {IID_IClassFactory, this}});
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; } // static object
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv)
            *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        ComPtr<Probe> probe = MakeCom<Probe>();
        return probe->QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
ProbeFactory g_factory;

LONG SetKeyText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by COM: the window must not keep routing through this DLL.
        RestoreWindow();
        g_state.pageWindow.Reset();
        WriteUnloadMarker();
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!IsEqualCLSID(clsid, kProbeClsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    OnLoadedByPage();
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    OutputDebugStringA(g_objects ? "canunload: no" : "canunload: yes");
    return g_objects == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    const std::wstring classKey = std::wstring(L"CLSID\\") + kProbeClsidText;
    const std::wstring progIdKey = kProbeProgId;
    const LONG failures =
        SetKeyText(classKey, nullptr, L"Page host probe") |
        SetKeyText(classKey + L"\\InprocServer32", nullptr, path) |
        SetKeyText(classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment") |
        SetKeyText(classKey + L"\\ProgID", nullptr, kProbeProgId) |
        SetKeyText(progIdKey + L"\\CLSID", nullptr, kProbeClsidText);
    return failures == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kProbeClsidText).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProbeProgId);
    return S_OK;
}
