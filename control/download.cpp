#include "control/download.h"

#include "common/com_object.h"
#include "common/guard.h"
#include "common/page_messages.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "config/settings_paths.h"
#include "control/crash_log.h"
#include "control/download_engine.h"
#include "control/download_dispatch.h"
#include "control/module.h"
#include "control/script_call.h"
#include "control/site_lock.h"
#include "control/veyrant_window.h"
#include "envcheck/ie_version.h"

#include <new>

namespace {

CTovralModule& Module() {
    return CTovralModule::Instance();
}

// Thrown when start-up could not create the engine: every method then
// answers with its failure value.
struct NoEngine {};

CDownLoadEngine& Engine() {
    CDownLoadEngine* engine = Module().Engine();
    if (!engine)
        throw NoEngine{};
    return *engine;
}

// The trace sink of the guard: the engine's, or none without an engine.
const TraceSink* EngineTrace() {
    CDownLoadEngine* engine = Module().Engine();
    return engine ? &engine->Trace() : nullptr;
}

// The page's address: its document's URL, else the browser's location;
// nothing when neither answers.
std::optional<std::wstring> PageUrl(IWebBrowserApp* browser, IHTMLDocument2* document) noexcept {
    try {
        Bstr url;
        if (document && SUCCEEDED(document->get_URL(url.out())) && url.get() && url.get()[0])
            return url.str();
        if (browser && SUCCEEDED(browser->get_LocationURL(url.out())) && url.get())
            return url.str();
    } catch (...) {
        // Out of memory: no address, which the site lock refuses.
    }
    return std::nullopt;
}

ComPtr<IHTMLDocument2> PageDocument(IWebBrowserApp* browser) {
    ComPtr<IDispatch> document;
    ComPtr<IHTMLDocument2> htmlDocument;
    if (browser && SUCCEEDED(browser->get_Document(&document)) && document)
        document.As(&htmlDocument);
    return htmlDocument;
}

// The document the control itself is in, when its site is an element's
// client site (an <object> element): in a frame, the frame's document.
ComPtr<IHTMLDocument2> ElementDocument(IUnknown* site) {
    ComPtr<IOleClientSite> clientSite;
    ComPtr<IOleContainer> container;
    ComPtr<IHTMLDocument2> document;
    if (site && SUCCEEDED(site->QueryInterface(IID_IOleClientSite, &clientSite)) &&
        SUCCEEDED(clientSite->GetContainer(&container)) && container)
        container.As(&document);
    return document;
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

template <typename Body> HRESULT CDownLoad::Guarded(const wchar_t* method, Body&& body) noexcept {
    return script_call::Guarded(EngineTrace(), method, [&] {
        RequireServedPage();
        body();
    });
}

template <typename Fn>
HRESULT CDownLoad::TextMethod(const wchar_t* method, BSTR* out, Fn&& text) noexcept {
    return script_call::Text(EngineTrace(), method, out, [&] {
        RequireServedPage();
        return text();
    });
}

template <typename Fn>
HRESULT CDownLoad::BoolMethod(const wchar_t* method, VARIANT_BOOL* out, Fn&& value) noexcept {
    return script_call::Bool(EngineTrace(), method, out, [&] {
        RequireServedPage();
        return value();
    });
}

template <typename Fn>
HRESULT CDownLoad::LongMethod(const wchar_t* method, LONG* out, Fn&& value) noexcept {
    return script_call::Long(EngineTrace(), method, out, [&] {
        RequireServedPage();
        return value();
    });
}

// Throws inside the guard, which answers the method's failure value and
// traces the reason.
void CDownLoad::RequireServedPage() const {
    if (served_)
        return;
    throw TracedFailure(L"页面不在站点锁定的来源中：" + pageUrl_.value_or(L"（无页面地址）"));
}

HRESULT CDownLoad::CreateInstance(REFIID riid, void** object) {
    ComPtr<IDownLoad> created;
    *created.GetAddressOf() = new (std::nothrow) CDownLoad(); // the first reference
    if (!created)
        return E_OUTOFMEMORY;
    return created->QueryInterface(riid, object);
}

CDownLoad::CDownLoad() : served_(site_lock::ServesPage(Module().SiteLock(), std::nullopt)) {
    Module().Lock();
    InstallCrashFilterOnce(SettingsPaths::ForDataFolder(Module().DataFolder()).CrashLogFile(),
                           Module().ModuleHandle());
    CVeyrantWindow* window = Module().MessageWindow();
    if (window && served_)
        window->SetCurrentControl(this);
}

CDownLoad::~CDownLoad() {
    // A message arriving after this object is gone must not reach it.
    if (CVeyrantWindow* window = Module().MessageWindow())
        window->DetachControl(this);
    Module().Unlock();
}

STDMETHODIMP CDownLoad::QueryInterface(REFIID riid, void** object) {
    return AnswerQuery(riid, object,
                       {{IID_IUnknown, static_cast<IDownLoad*>(this)},
                        {IID_IDispatch, static_cast<IDownLoad*>(this)},
                        {IID_IDownLoad, static_cast<IDownLoad*>(this)},
                        {IID_IObjectWithSite, static_cast<IObjectWithSite*>(this)}});
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

STDMETHODIMP CDownLoad::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids)
        return E_POINTER;
    // A method name alone (what script engines ask on every call) comes from the table.
    if (count == 1 && names[0]) {
        std::optional<DISPID> id = download_dispatch::DispIdOf(names[0]);
        ids[0] = id.value_or(DISPID_UNKNOWN);
        return id ? S_OK : DISP_E_UNKNOWNNAME;
    }
    ComPtr<ITypeInfo> info;
    HRESULT hr = Module().DownLoadTypeInfo(&info);
    return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP CDownLoad::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return download_dispatch::Invoke(static_cast<IDownLoad*>(this), id, flags, params, result,
                                     exception, argError);
}

// --- IDownLoad ----------------------------------------------------------------

STDMETHODIMP CDownLoad::StartDownLoad(LONG nid) {
    return Guarded(L"StartDownLoad", [&] { Engine().StartDownLoad(nid); });
}

STDMETHODIMP CDownLoad::DetectFile(LONG nid) {
    return Guarded(L"DetectFile", [&] { Engine().GetStatuBySurrId(nid); });
}

STDMETHODIMP CDownLoad::SetLanguage(BSTR language, VARIANT_BOOL* result) {
    return BoolMethod(L"SetLanguage", result,
                      [&] { return Engine().SetLanguage(Bstr::ToString(language)); });
}

STDMETHODIMP CDownLoad::GetLanguage(BSTR* language) {
    return TextMethod(L"GetLanguage", language, [] { return Module().Language(); });
}

STDMETHODIMP CDownLoad::SaveUserType(LONG user, LONG cert, LONG usb, VARIANT_BOOL* result) {
    return BoolMethod(L"SaveUserType", result,
                      [&] { return Engine().SaveUserType(user, cert, usb); });
}

STDMETHODIMP CDownLoad::GetUserType(BSTR* result) {
    return TextMethod(L"GetUserType", result, [] {
        // The page's own start values, kept when Default.cfg does not load.
        UserType type = Engine().GetUserType(UserType{0, 0, 0});
        return FormatW(L"%i,%i,%i", type.user, type.cert, type.usb);
    });
}

STDMETHODIMP CDownLoad::GetClientType(BSTR*) {
    return Guarded(L"GetClientType", [] {}); // the result is not written
}

STDMETHODIMP CDownLoad::GetIEVersion(BSTR* result) {
    return TextMethod(L"GetIEVersion", result,
                      [] { return Engine().GetIEVersion(Module().IeServicePack()); });
}

STDMETHODIMP CDownLoad::GetSystemVersion(BSTR* result) {
    return TextMethod(L"GetSystemVersion", result, [] { return Engine().GetSystemVersion(); });
}

STDMETHODIMP CDownLoad::GetSysInfoList(BSTR* result) {
    return TextMethod(L"GetSysInfoList", result, [] { return Engine().GetSysInfoList(L""); });
}

STDMETHODIMP CDownLoad::SetDownLoadList(BSTR list, VARIANT_BOOL* result) {
    return BoolMethod(L"SetDownLoadList", result,
                      [&] { return Engine().SetDownLoadList(Bstr::ToString(list)); });
}

STDMETHODIMP CDownLoad::GetDownLoadList(BSTR* result) {
    return TextMethod(L"GetDownLoadList", result, [] { return Engine().GetDownLoadList(); });
}

STDMETHODIMP CDownLoad::GetStatuBySurrId(LONG nid, LONG* result) {
    return LongMethod(L"GetStatuBySurrId", result, [&] { return Engine().GetStatuBySurrId(nid); });
}

STDMETHODIMP CDownLoad::GetStatuByXML(BSTR* result) {
    return TextMethod(L"GetStatuByXML", result, [] { return Engine().GetStatuByXML(); });
}

STDMETHODIMP CDownLoad::SaveIDList(BSTR, VARIANT_BOOL*) {
    return Guarded(L"SaveIDList", [] {}); // the result is not written
}

STDMETHODIMP CDownLoad::EBankDownLoad(BSTR xml, VARIANT_BOOL* result) {
    return BoolMethod(L"EBankDownLoad", result,
                      [&] { return Engine().EBankDownLoad(Bstr::ToString(xml)); });
}

STDMETHODIMP CDownLoad::GetQelLinks(BSTR* result) {
    return TextMethod(L"GetQelLinks", result, [] { return Engine().GetQelLinks(); });
}

STDMETHODIMP CDownLoad::GetPatchFile(LONG symbol, BSTR* result) {
    switch (symbol) {
    case 0:
        return TextMethod(L"GetPatchFile", result, [] { return Engine().PatchCheck(0); });
    case 1:
        return Guarded(L"GetPatchFile", [&] { StartPatchWorker(); });
    case 2:
        return TextMethod(L"GetPatchFile", result, [&] { return results_->Patch(); });
    default:
        return Guarded(L"GetPatchFile", [] {}); // the result is not written
    }
}

STDMETHODIMP CDownLoad::GetSystemInfo(BSTR* result) {
    return TextMethod(L"GetSystemInfo", result, [] { return Engine().GetSystemInfo(); });
}

STDMETHODIMP CDownLoad::GetSysInfoResult(BSTR*) {
    return Guarded(L"GetSysInfoResult", [&] { StartReportWorker(); });
}

STDMETHODIMP CDownLoad::OpenSysInfoFile(VARIANT_BOOL* result) {
    return BoolMethod(L"OpenSysInfoFile", result, [] { return Engine().OpenSysInfoFile(); });
}

STDMETHODIMP CDownLoad::QueryUpdate(LONG* result) {
    return LongMethod(L"QueryUpdate", result, [] {
        Module().UpdateSymbol() = 0; // before anything else, even without an engine
        return static_cast<short>(Engine().QueryUpdate() ? 1 : 0);
    });
}

STDMETHODIMP CDownLoad::UpdateSymbol(VARIANT_BOOL* result) {
    return BoolMethod(L"UpdateSymbol", result, [] { return Module().UpdateSymbol().load(); });
}

STDMETHODIMP CDownLoad::GetDynamicLink(BSTR* result) {
    return TextMethod(L"GetDynamicLink", result, [] { return Engine().GetDynamicLink(); });
}

STDMETHODIMP CDownLoad::GetLowVersionSymbol(VARIANT_BOOL* result) {
    return BoolMethod(L"GetLowVersionSymbol", result,
                      [] { return Engine().GetLowVersionSymbol(); });
}

STDMETHODIMP CDownLoad::UpdateBankVeyr(VARIANT_BOOL* result) {
    return BoolMethod(L"UpdateBankVeyr", result, [] {
        // The page is told the self-update started, whatever the engine did.
        const HRESULT hr = script_call::Guarded(EngineTrace(), L"UpdateBankVeyr",
                                                [] { Engine().UpdateBankVeyr(); });
        if (FAILED(hr))
            throw ComError(hr);
        return VARIANT_TRUE;
    });
}

STDMETHODIMP CDownLoad::GetPatchResult(BSTR* result) {
    return TextMethod(L"GetPatchResult", result, [&] { return results_->Patch(); });
}

STDMETHODIMP CDownLoad::QuitBankVeyr() {
    return Guarded(L"QuitBankVeyr", [] { PostQuitMessage(0); });
}

STDMETHODIMP CDownLoad::InternetConnAddress(BSTR* result) {
    return TextMethod(L"InternetConnAddress", result,
                      [] { return Engine().InternetConnAddress(); });
}

STDMETHODIMP CDownLoad::UpdateCancel(LONG* result) {
    return LongMethod(L"UpdateCancel", result, [] { return Engine().UpdateCancel(); });
}

// The two workers of this object store their text in state shared with them
// (a worker may outlive the object) and then post their message; a worker
// that throws still posts, so the page is never left waiting.
void CDownLoad::StartPatchWorker() {
    CDownLoadEngine& engine = Engine();
    std::shared_ptr<WorkerResults> results = results_;
    patchThread_.reset(StartWorkerThread([&engine, results] {
        ComApartment apartment(COINIT_MULTITHREADED);
        auto post = [&engine] { engine.PostToPage(VeyrantMessage::kPatchCheckComplete, 0, 0); };
        RunGuardedWork(
            engine.Trace(), L"GetPatchFile",
            [&] {
                results->SetPatch(engine.PatchCheck(1));
                post();
            },
            post);
    }));
}

void CDownLoad::StartReportWorker() {
    CDownLoadEngine& engine = Engine();
    std::shared_ptr<WorkerResults> results = results_;
    reportThread_.reset(StartWorkerThread([&engine, results] {
        ComApartment apartment(COINIT_MULTITHREADED);
        auto post = [&engine] { engine.PostToPage(VeyrantMessage::kCheckLog, 0, 0); };
        RunGuardedWork(
            engine.Trace(), L"GetSysInfoResult",
            [&] {
                results->SetReport(engine.DiagnosisResult());
                post();
            },
            post);
    }));
}

// --- IObjectWithSite ------------------------------------------------------------

STDMETHODIMP CDownLoad::SetSite(IUnknown* site) {
    try {
        AttachToSite(site);
        return S_OK;
    } catch (...) {
        // Out of memory while reading the page: it is treated as a page
        // without an address, which a site lock refuses.
        pageUrl_.reset();
        SetServed(site_lock::ServesPage(Module().SiteLock(), std::nullopt));
        return E_OUTOFMEMORY;
    }
}

void CDownLoad::AttachToSite(IUnknown* site) {
    ComPtr<IWebBrowserApp> browser;
    if (site) {
        ComPtr<IServiceProvider> services;
        if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, &services)))
            services->QueryService(IID_IWebBrowserApp, IID_IWebBrowserApp, &browser);
    }
    site_ = site;
    ComPtr<IHTMLDocument2> document = PageDocument(browser.Get());
    pageUrl_ = PageUrl(browser.Get(), document.Get());
    bool served = site_lock::ServesPage(Module().SiteLock(), pageUrl_);
    // A page of the bank's that frames another site must not lend it the
    // control: the element's own document is held to the lock as well.
    if (ComPtr<IHTMLDocument2> own = ElementDocument(site); own && served) {
        std::optional<std::wstring> ownUrl = PageUrl(nullptr, own.Get());
        served = site_lock::ServesPage(Module().SiteLock(), ownUrl);
        if (!served)
            pageUrl_ = std::move(ownUrl); // the address the refusal names
    }
    SetServed(served);
    if (document && served_)
        FindPageWindow(document.Get());
}

// Call-backs run only in a page the control serves: the control becomes the
// message window's current one when its page is served and leaves it when not
// (a refused page created later must not take another page's call-backs).
void CDownLoad::SetServed(bool served) {
    CVeyrantWindow* window = Module().MessageWindow();
    if (window && served && !served_)
        window->SetCurrentControl(this);
    if (window && !served && served_)
        window->DetachControl(this);
    served_ = served;
}

void CDownLoad::FindPageWindow(IHTMLDocument2* document) {
    ComPtr<IHTMLWindow2> window;
    if (FAILED(document->get_parentWindow(&window)) || !window)
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
        return SUCCEEDED(pageWindow_->execScript(code.get(), language.get(), result.out()));
    } catch (...) {
        return FALSE; // out of memory: the call-back is lost, the page carries on
    }
}
