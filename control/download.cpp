#include "control/download.h"

#include "common/text.h"
#include "common/worker_thread.h"
#include "config/settings_paths.h"
#include "control/crash_log.h"
#include "control/download_engine.h"
#include "control/module.h"
#include "control/veyrant_window.h"
#include "envcheck/ie_version.h"

#include <new>

namespace {

CTovralModule& Module() { return CTovralModule::Instance(); }

// Runs the body of a scripting method: every outcome is S_OK except a failed
// allocation or a raised COM error; nothing escapes into the page's engine.
template <typename Body> HRESULT Guarded(Body&& body) {
    try {
        body();
        return S_OK;
    } catch (const ComError& error) {
        return error.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The engine, or null when it could not be created at start-up.
CDownLoadEngine* Engine() { return Module().Engine(); }

HRESULT ReturnText(BSTR* out, const std::wstring& text) {
    if (!out)
        return E_POINTER;
    return Guarded([&] { *out = Bstr(text).Detach(); });
}

HRESULT ReturnBool(VARIANT_BOOL* out, short value) {
    if (!out)
        return E_POINTER;
    *out = static_cast<VARIANT_BOOL>(value); // the engine's 1, not VARIANT_TRUE
    return S_OK;
}

HRESULT ReturnLong(LONG* out, short value) {
    if (!out)
        return E_POINTER;
    *out = value; // sign-extended
    return S_OK;
}

// The engine's text for a method, "" without an engine.
template <typename Fn> std::wstring EngineText(Fn&& fn) {
    CDownLoadEngine* engine = Engine();
    return engine ? fn(*engine) : std::wstring();
}

template <typename Fn> short EngineValue(Fn&& fn) {
    CDownLoadEngine* engine = Engine();
    return engine ? fn(*engine) : 0;
}

} // namespace

void WorkerResults::SetReport(std::wstring text) {
    std::lock_guard guard(lock_);
    report_ = std::move(text);
}

std::wstring WorkerResults::Report() const {
    std::lock_guard guard(lock_);
    return report_;
}

void WorkerResults::SetPatch(std::wstring text) {
    std::lock_guard guard(lock_);
    patch_ = std::move(text);
}

std::wstring WorkerResults::Patch() const {
    std::lock_guard guard(lock_);
    return patch_;
}

HRESULT CDownLoad::CreateInstance(REFIID riid, void** object) {
    auto* created = new (std::nothrow) CDownLoad();
    if (!created)
        return E_OUTOFMEMORY;
    created->AddRef();
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

CDownLoad::CDownLoad() {
    Module().Lock();
    InstallCrashFilterOnce(SettingsPaths::ForDataFolder(Module().DataFolder()).CrashLogFile(),
                           Module().ModuleHandle());
    if (CVeyrantWindow* window = Module().MessageWindow())
        window->SetCurrentControl(this);
}

CDownLoad::~CDownLoad() {
    // A message arriving after this object is gone must not reach it.
    if (CVeyrantWindow* window = Module().MessageWindow())
        window->DetachControl(this);
    Module().Unlock();
}

STDMETHODIMP CDownLoad::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDownLoad)
        *object = static_cast<IDownLoad*>(this);
    else if (riid == IID_IObjectWithSite)
        *object = static_cast<IObjectWithSite*>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CDownLoad::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) CDownLoad::Release() {
    ULONG left = InterlockedDecrement(&refs_);
    if (left == 0)
        delete this;
    return left;
}

// --- IDispatch ---------------------------------------------------------------

STDMETHODIMP CDownLoad::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CDownLoad::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    return Module().DownLoadTypeInfo(info);
}

STDMETHODIMP CDownLoad::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                      DISPID* ids) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    HRESULT hr = Module().DownLoadTypeInfo(&info);
    return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP CDownLoad::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    HRESULT hr = Module().DownLoadTypeInfo(&info);
    if (FAILED(hr))
        return hr;
    return info->Invoke(static_cast<IDownLoad*>(this), id, flags, params, result, exception,
                        argError);
}

// --- IDownLoad ----------------------------------------------------------------

STDMETHODIMP CDownLoad::StartDownLoad(LONG nid) {
    return Guarded([&] { EngineValue([&](auto& e) { return e.StartDownLoad(nid); }); });
}

STDMETHODIMP CDownLoad::DetectFile(LONG nid) {
    return Guarded([&] { EngineValue([&](auto& e) { return e.GetStatuBySurrId(nid); }); });
}

STDMETHODIMP CDownLoad::SetLanguage(BSTR language, VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded([&] {
        std::wstring text = Bstr::ToString(language);
        ReturnBool(result, EngineValue([&](auto& e) { return e.SetLanguage(text); }));
    });
}

STDMETHODIMP CDownLoad::GetLanguage(BSTR* language) {
    return ReturnText(language, Module().Language());
}

STDMETHODIMP CDownLoad::SaveUserType(LONG user, LONG cert, LONG usb, VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded([&] {
        ReturnBool(result, EngineValue([&](auto& e) { return e.SaveUserType(user, cert, usb); }));
    });
}

STDMETHODIMP CDownLoad::GetUserType(BSTR* result) {
    if (!result)
        return E_POINTER;
    UserType type{0, 0, 0}; // what the page sees when Default.cfg is unreadable
    HRESULT hr = Guarded([&] {
        if (CDownLoadEngine* engine = Engine())
            type = engine->GetUserType(type);
    });
    return FAILED(hr) ? hr
                      : ReturnText(result, FormatW(L"%i,%i,%i", type.user, type.cert, type.usb));
}

STDMETHODIMP CDownLoad::GetClientType(BSTR*) { return S_OK; }

STDMETHODIMP CDownLoad::GetIEVersion(BSTR* result) {
    int servicePack = Module().IeServicePack();
    return ReturnText(result, EngineText([&](auto& e) { return e.GetIEVersion(servicePack); }));
}

STDMETHODIMP CDownLoad::GetSystemVersion(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetSystemVersion(); }));
}

STDMETHODIMP CDownLoad::GetSysInfoList(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetSysInfoList(L""); }));
}

STDMETHODIMP CDownLoad::SetDownLoadList(BSTR list, VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded([&] {
        std::wstring text = Bstr::ToString(list);
        ReturnBool(result, EngineValue([&](auto& e) { return e.SetDownLoadList(text); }));
    });
}

STDMETHODIMP CDownLoad::GetDownLoadList(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetDownLoadList(); }));
}

STDMETHODIMP CDownLoad::GetStatuBySurrId(LONG nid, LONG* result) {
    if (!result)
        return E_POINTER;
    return Guarded(
        [&] { ReturnLong(result, EngineValue([&](auto& e) { return e.GetStatuBySurrId(nid); })); });
}

STDMETHODIMP CDownLoad::GetStatuByXML(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetStatuByXML(); }));
}

STDMETHODIMP CDownLoad::SaveIDList(BSTR, VARIANT_BOOL*) { return S_OK; }

STDMETHODIMP CDownLoad::EBankDownLoad(BSTR xml, VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded([&] {
        std::wstring text = Bstr::ToString(xml);
        ReturnBool(result, EngineValue([&](auto& e) { return e.EBankDownLoad(text); }));
    });
}

STDMETHODIMP CDownLoad::GetQelLinks(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetQelLinks(); }));
}

STDMETHODIMP CDownLoad::GetPatchFile(LONG symbol, BSTR* result) {
    switch (symbol) {
    case 0:
        return ReturnText(result, EngineText([](auto& e) { return e.PatchCheck(0); }));
    case 1:
        return Guarded([&] {
            if (!Engine())
                return;
            std::shared_ptr<WorkerResults> results = results_;
            patchThread_.reset(StartWorkerThread([results] {
                CDownLoadEngine& engine = *Module().Engine();
                results->SetPatch(engine.PatchCheck(1));
                engine.PostToPage(VeyrantMessage::kPatchCheckComplete, 0, 0);
            }));
        });
    case 2:
        return ReturnText(result, results_->Patch());
    default:
        return S_OK;
    }
}

STDMETHODIMP CDownLoad::GetSystemInfo(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetSystemInfo(); }));
}

STDMETHODIMP CDownLoad::GetSysInfoResult(BSTR*) {
    return Guarded([&] {
        if (!Engine())
            return;
        std::shared_ptr<WorkerResults> results = results_;
        reportThread_.reset(StartWorkerThread([results] {
            CDownLoadEngine& engine = *Module().Engine();
            results->SetReport(engine.DiagnosisResult());
            engine.PostToPage(VeyrantMessage::kCheckLog, 0, 0);
        }));
    });
}

STDMETHODIMP CDownLoad::OpenSysInfoFile(VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded(
        [&] { ReturnBool(result, EngineValue([](auto& e) { return e.OpenSysInfoFile(); })); });
}

STDMETHODIMP CDownLoad::QueryUpdate(LONG* result) {
    if (!result)
        return E_POINTER;
    Module().UpdateSymbol() = 0;
    return Guarded([&] {
        *result = EngineValue([](auto& e) { return static_cast<short>(e.QueryUpdate() ? 1 : 0); });
    });
}

STDMETHODIMP CDownLoad::UpdateSymbol(VARIANT_BOOL* result) {
    return ReturnBool(result, Module().UpdateSymbol());
}

STDMETHODIMP CDownLoad::GetDynamicLink(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.GetDynamicLink(); }));
}

STDMETHODIMP CDownLoad::GetLowVersionSymbol(VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    return Guarded(
        [&] { ReturnBool(result, EngineValue([](auto& e) { return e.GetLowVersionSymbol(); })); });
}

STDMETHODIMP CDownLoad::UpdateBankVeyr(VARIANT_BOOL* result) {
    if (!result)
        return E_POINTER;
    HRESULT hr = Guarded([] { EngineValue([](auto& e) { return e.UpdateBankVeyr(); }); });
    *result = VARIANT_TRUE; // the page is always told the self-update started
    return hr;
}

STDMETHODIMP CDownLoad::GetPatchResult(BSTR* result) {
    return ReturnText(result, results_->Patch());
}

STDMETHODIMP CDownLoad::QuitBankVeyr() {
    PostQuitMessage(0);
    return S_OK;
}

STDMETHODIMP CDownLoad::InternetConnAddress(BSTR* result) {
    return ReturnText(result, EngineText([](auto& e) { return e.InternetConnAddress(); }));
}

STDMETHODIMP CDownLoad::UpdateCancel(LONG* result) {
    if (!result)
        return E_POINTER;
    return Guarded(
        [&] { ReturnLong(result, EngineValue([](auto& e) { return e.UpdateCancel(); })); });
}

// --- IObjectWithSite ------------------------------------------------------------

STDMETHODIMP CDownLoad::SetSite(IUnknown* site) {
    ComPtr<IWebBrowserApp> browser;
    if (site) {
        ComPtr<IServiceProvider> services;
        if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, &services)))
            services->QueryService(IID_IWebBrowserApp, IID_IWebBrowserApp, &browser);
    }
    site_ = site;
    if (site && browser)
        FindPageWindow(site, browser.Get());
    return S_OK;
}

void CDownLoad::FindPageWindow(IUnknown*, IWebBrowserApp* browser) {
    ComPtr<IDispatch> document;
    ComPtr<IHTMLDocument2> htmlDocument;
    if (FAILED(browser->get_Document(&document)) || !document ||
        FAILED(document.As(&htmlDocument)))
        return;
    ComPtr<IHTMLWindow2> window;
    if (FAILED(htmlDocument->get_parentWindow(&window)) || !window)
        return;
    pageWindow_ = window;
    std::atomic<int>& servicePack = Module().IeServicePack();
    if (servicePack != -1)
        return;
    ComPtr<IOmNavigator> navigator;
    Bstr minorVersion;
    if (FAILED(window->get_navigator(&navigator)) || !navigator ||
        FAILED(navigator->get_appMinorVersion(minorVersion.out())))
        return;
    servicePack = ParseIeServicePack(minorVersion.str());
}

STDMETHODIMP CDownLoad::GetSite(REFIID riid, void** site) {
    if (!site)
        return E_POINTER;
    *site = nullptr;
    return site_ ? site_->QueryInterface(riid, site) : E_FAIL;
}

BOOL CDownLoad::RunScript(const std::wstring& text) {
    if (!pageWindow_)
        return FALSE;
    try {
        Bstr code(text);
        Bstr language(L"JSCRIPT");
        Variant result;
        return SUCCEEDED(pageWindow_->execScript(code.get(), language.get(), &result));
    } catch (...) {
        return FALSE; // out of memory: the call-back is lost, the page carries on
    }
}
