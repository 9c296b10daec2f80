#include "tools/host/script_engine.h"

#include "common/com_types.h"
#include "common/text.h"
#include "common/com_object.h"
#include "tools/host/console_output.h"

#include <objsafe.h>

namespace {

// Missing from mingw's headers and libraries.
const CLSID kClsidJScript = {
    0xF414C260, 0x6AC0, 0x11CF, {0xB6, 0xD1, 0x00, 0xAA, 0x00, 0xBB, 0xBB, 0x58}};
const wchar_t kHostItemName[] = L"host";
// What the browser sets: the engine then asks the site's security manager
// before it creates and scripts an ActiveX object.
const DWORD kBrowserSafetyOptions =
    INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_DISPEX | INTERFACE_USES_SECURITY_MANAGER;

class ScriptSite final : public IActiveScriptSite,
                         public IActiveScriptSiteWindow,
                         public IServiceProvider {
public:
    ScriptSite(ScriptEngine* engine, IDispatch* hostObject, IServiceProvider* services, HWND window)
        : engine_(engine), hostObject_(hostObject), services_(services), window_(window) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(
            riid, ppv,
            {{IID_IUnknown, static_cast<IActiveScriptSite*>(this)},
             {IID_IActiveScriptSite, static_cast<IActiveScriptSite*>(this)},
             {IID_IActiveScriptSiteWindow, static_cast<IActiveScriptSiteWindow*>(this)},
             {IID_IServiceProvider, static_cast<IServiceProvider*>(this)}});
    }
    REFCOUNTED_IUNKNOWN

    // IActiveScriptSite
    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** typeInfo) override;
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
        if (engine_)
            engine_->OnError(error);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

    // IActiveScriptSiteWindow
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        if (!window)
            return E_POINTER;
        *window = window_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

    // IServiceProvider: the browser's services, also for the page's ActiveX
    // objects, whose site the engine makes forward here.
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override {
        if (!services_) {
            if (ppv)
                *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return services_->QueryService(service, riid, ppv);
    }

    void Detach() {
        engine_ = nullptr;
        hostObject_.Reset();
        services_.Reset();
    }

private:
    RefCount<ScriptSite> refs_;
    ScriptEngine* engine_;
    ComPtr<IDispatch> hostObject_;
    ComPtr<IServiceProvider> services_;
    HWND window_;
};

HRESULT ScriptSite::GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** typeInfo) {
    if (mask & SCRIPTINFO_ITYPEINFO) {
        if (!typeInfo)
            return E_POINTER;
        *typeInfo = nullptr;
    }
    if (mask & SCRIPTINFO_IUNKNOWN) {
        if (!item)
            return E_POINTER;
        *item = nullptr;
    }
    if (!name || !hostObject_ || wcscmp(name, kHostItemName) != 0)
        return TYPE_E_ELEMENTNOTFOUND;
    if (!(mask & SCRIPTINFO_IUNKNOWN))
        return TYPE_E_ELEMENTNOTFOUND; // no type information to offer
    return hostObject_.CopyTo(item);
}

} // namespace

std::wstring FormatScriptError(const ScriptError& error) {
    return FormatW(L"%ls (line %ld)", error.description.c_str(), error.line);
}

ScriptError MakeScriptError(const EXCEPINFO& info, ULONG zeroBasedLine) {
    ScriptError error;
    error.description = Bstr::ToString(info.bstrDescription);
    if (error.description.empty()) {
        const HRESULT code = info.scode ? info.scode : static_cast<HRESULT>(info.wCode);
        error.description = FormatW(L"error 0x%08X", static_cast<unsigned>(code));
    }
    error.line = static_cast<long>(zeroBasedLine) + 1;
    return error;
}

ScriptEngine::~ScriptEngine() {
    Close();
}

HRESULT ScriptEngine::Start(IDispatch* hostObject, IServiceProvider* services, HWND window) {
    HRESULT hr = CoCreateInstance(kClsidJScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                  reinterpret_cast<void**>(script_.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    hr = script_->QueryInterface(__uuidof(IActiveScriptParse),
                                 reinterpret_cast<void**>(parse_.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    ComPtr<IObjectSafety> safety;
    if (SUCCEEDED(script_->QueryInterface(IID_IObjectSafety,
                                          reinterpret_cast<void**>(safety.GetAddressOf())))) {
        hr = safety->SetInterfaceSafetyOptions(__uuidof(IActiveScriptParse), kBrowserSafetyOptions,
                                               kBrowserSafetyOptions);
        if (FAILED(hr))
            return hr;
    }
    hr = parse_->InitNew();
    if (FAILED(hr))
        return hr;
    site_ = MakeCom<ScriptSite>(this, hostObject, services, window);
    hr = script_->SetScriptSite(site_.Get());
    if (FAILED(hr))
        return hr;
    hr = script_->AddNamedItem(kHostItemName, SCRIPTITEM_ISVISIBLE);
    if (FAILED(hr))
        return hr;
    return script_->SetScriptState(SCRIPTSTATE_CONNECTED);
}

HRESULT ScriptEngine::Parse(const std::wstring& text) {
    if (!parse_)
        return E_UNEXPECTED;
    ExcepInfo exception;
    return parse_->ParseScriptText(text.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                   SCRIPTTEXT_ISVISIBLE, nullptr, &exception);
}

HRESULT ScriptEngine::RunPage(const std::wstring& text) {
    pageError_.reset();
    const HRESULT hr = Parse(text);
    if (FAILED(hr) && !pageError_)
        pageError_ = ScriptError{FormatW(L"error 0x%08X", static_cast<unsigned>(hr)), 0};
    return hr;
}

HRESULT ScriptEngine::RunNested(const std::wstring& text) {
    ++nestedDepth_;
    const HRESULT hr = Parse(text);
    --nestedDepth_;
    return hr;
}

void ScriptEngine::OnError(IActiveScriptError* error) {
    ExcepInfo info;
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetExceptionInfo(&info);
    error->GetSourcePosition(&context, &line, &column);
    const ScriptError record = MakeScriptError(info, line);
    if (nestedDepth_ > 0)
        WriteLine(OutputStream::Err, L"execScript error: " + FormatScriptError(record));
    else if (!pageError_)
        pageError_ = record;
}

void ScriptEngine::Close() {
    if (script_)
        script_->Close();
    if (site_)
        static_cast<ScriptSite*>(site_.Get())->Detach();
    parse_.Reset();
    script_.Reset();
    site_.Reset();
}
