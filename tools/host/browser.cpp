#include "tools/host/browser.h"

#include "common/text.h"
#include "html_stubs.h"

#include <urlmon.h>

namespace {

using SharedUrl = std::shared_ptr<std::optional<std::wstring>>;

HRESULT AnswerUrl(const std::optional<std::wstring>& url, BSTR* p) {
    if (!p)
        return E_POINTER;
    *p = nullptr;
    if (!url)
        return E_NOTIMPL;
    *p = SysAllocStringLen(url->data(), static_cast<UINT>(url->size()));
    return *p ? S_OK : E_OUTOFMEMORY;
}

// Declared by urlmon.h but in no mingw library.
const GUID kGuidCustomConfirmObjectSafety = {
    0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};

// The client application trusts its bank's page: the page may create and
// script ActiveX controls (the engine asks before each `new ActiveXObject`).
class HostSecurityManager final : public IInternetHostSecurityManager {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, this}, {IID_IInternetHostSecurityManager, this}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE GetSecurityId(BYTE*, DWORD*, DWORD_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessUrlAction(DWORD action, BYTE* policy, DWORD policySize, BYTE*,
                                               DWORD, DWORD, DWORD) override {
        const bool allowed = action == URLACTION_ACTIVEX_RUN;
        if (policy && policySize >= sizeof(DWORD)) {
            const DWORD value = allowed ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW;
            memcpy(policy, &value, sizeof(value));
        }
        return allowed ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE QueryCustomPolicy(REFGUID key, BYTE** policy, DWORD* policySize,
                                                BYTE*, DWORD, DWORD) override {
        if (!IsEqualGUID(key, kGuidCustomConfirmObjectSafety))
            return INET_E_DEFAULT_ACTION;
        if (!policy || !policySize)
            return E_POINTER;
        auto* value = static_cast<DWORD*>(CoTaskMemAlloc(sizeof(DWORD)));
        if (!value)
            return E_OUTOFMEMORY;
        *value = URLPOLICY_ALLOW;
        *policy = reinterpret_cast<BYTE*>(value);
        *policySize = sizeof(DWORD);
        return S_OK;
    }

private:
    RefCount<HostSecurityManager> refs_;
};

class PageNavigator final : public IOmNavigatorStubs {
public:
    explicit PageNavigator(std::wstring minorVersion) : minorVersion_(std::move(minorVersion)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(
            riid, ppv,
            {{IID_IUnknown, this}, {IID_IDispatch, this}, {__uuidof(IOmNavigator), this}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE get_appMinorVersion(BSTR* p) override {
        if (!p)
            return E_POINTER;
        *p = SysAllocStringLen(minorVersion_.data(), static_cast<UINT>(minorVersion_.size()));
        return *p ? S_OK : E_OUTOFMEMORY;
    }

private:
    RefCount<PageNavigator> refs_;
    std::wstring minorVersion_;
};

// A page's or a frame's document; as an element's container it is where
// the element's client site leads.
class PageDocument final : public IHTMLDocument2Stubs, public IOleContainer {
public:
    PageDocument(IHTMLWindow2* window, SharedUrl url) : window_(window), url_(std::move(url)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, static_cast<IHTMLDocument2*>(this)},
                            {IID_IDispatch, static_cast<IHTMLDocument2*>(this)},
                            {IID_IHTMLDocument, static_cast<IHTMLDocument2*>(this)},
                            {IID_IHTMLDocument2, static_cast<IHTMLDocument2*>(this)},
                            {IID_IParseDisplayName, static_cast<IOleContainer*>(this)},
                            {IID_IOleContainer, static_cast<IOleContainer*>(this)}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE get_parentWindow(IHTMLWindow2** p) override {
        if (!p)
            return E_POINTER;
        return window_.CopyTo(p);
    }

    HRESULT STDMETHODCALLTYPE get_URL(BSTR* p) override { return AnswerUrl(*url_, p); }

    // IOleContainer
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }

private:
    RefCount<PageDocument> refs_;
    ComPtr<IHTMLWindow2> window_;
    SharedUrl url_;
};

class PageBrowser final : public IWebBrowserAppStubs {
public:
    PageBrowser(IDispatch* document, SharedUrl url) : document_(document), url_(std::move(url)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, this},
                            {IID_IDispatch, this},
                            {IID_IWebBrowser, this},
                            {IID_IWebBrowserApp, this}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE get_Document(IDispatch** p) override {
        if (!p)
            return E_POINTER;
        return document_.CopyTo(p);
    }

    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* p) override { return AnswerUrl(*url_, p); }

private:
    RefCount<PageBrowser> refs_;
    ComPtr<IDispatch> document_;
    SharedUrl url_;
};

// What the browser gives an <object> element as its site: the element's
// client site, whose container is the element's document, and the services.
class ElementSite final : public IOleClientSite, public IServiceProvider {
public:
    ElementSite(IOleContainer* document, IServiceProvider* services)
        : document_(document), services_(services) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, static_cast<IOleClientSite*>(this)},
                            {IID_IOleClientSite, static_cast<IOleClientSite*>(this)},
                            {IID_IServiceProvider, static_cast<IServiceProvider*>(this)}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        if (moniker)
            *moniker = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
        if (!container)
            return E_POINTER;
        return document_.CopyTo(container);
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override {
        return services_->QueryService(service, riid, ppv);
    }

private:
    RefCount<ElementSite> refs_;
    ComPtr<IOleContainer> document_;
    ComPtr<IServiceProvider> services_;
};

} // namespace

// The page's script window: execScript runs call-back texts in the page's engine.
class PageWindow final : public IHTMLWindow2Stubs {
public:
    PageWindow(ScriptRunner* runner, IOmNavigator* navigator)
        : runner_(runner), navigator_(navigator) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv,
                           {{IID_IUnknown, this},
                            {IID_IDispatch, this},
                            {IID_IHTMLFramesCollection2, this},
                            {IID_IHTMLWindow2, this}});
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE get_navigator(IOmNavigator** p) override {
        if (!p)
            return E_POINTER;
        return navigator_.CopyTo(p);
    }

    HRESULT STDMETHODCALLTYPE execScript(BSTR code, BSTR language, VARIANT* result) override {
        if (result)
            VariantInit(result);
        if (!IsJScriptLanguage(Bstr::ToString(language)))
            return E_INVALIDARG;
        if (!runner_)
            return E_UNEXPECTED;
        return runner_->RunNested(Bstr::ToString(code));
    }

    void DetachRunner() { runner_ = nullptr; }

private:
    RefCount<PageWindow> refs_;
    ScriptRunner* runner_;
    ComPtr<IOmNavigator> navigator_;
};

bool IsJScriptLanguage(const std::wstring& language) {
    return language.empty() || EqualsNoCase(language, L"JScript") ||
           EqualsNoCase(language, L"javascript");
}

BrowserServices::BrowserServices(const BrowserSettings& settings, ScriptRunner* runner)
    : offerBrowser_(settings.offerBrowser),
      documentUrl_(std::make_shared<std::optional<std::wstring>>(settings.documentUrl)) {
    securityManager_ = MakeCom<HostSecurityManager>();
    ComPtr<PageWindow> window =
        MakeCom<PageWindow>(runner, MakeCom<PageNavigator>(settings.appMinorVersion).Get());
    pageWindow_ = window.Get();
    window_ = window;
    ComPtr<PageDocument> document = MakeCom<PageDocument>(window.Get(), documentUrl_);
    browser_ = MakeCom<PageBrowser>(document.Get(), documentUrl_);
}

HRESULT BrowserServices::QueryService(REFGUID service, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(service, SID_SInternetHostSecurityManager))
        return securityManager_->QueryInterface(riid, ppv);
    if (IsEqualGUID(service, IID_IWebBrowserApp) && offerBrowser_)
        return browser_->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
}

ComPtr<IUnknown> BrowserServices::MakeElementSite(std::optional<std::wstring> frameUrl) {
    SharedUrl url = frameUrl ? std::make_shared<std::optional<std::wstring>>(std::move(frameUrl))
                             : documentUrl_;
    ComPtr<IHTMLWindow2> window;
    window_.As(&window);
    ComPtr<PageDocument> document = MakeCom<PageDocument>(window.Get(), std::move(url));
    ComPtr<ElementSite> site = MakeCom<ElementSite>(document.Get(), this);
    return ComPtr<IUnknown>(static_cast<IOleClientSite*>(site.Get()));
}

void BrowserServices::DetachRunner() {
    pageWindow_->DetachRunner();
}
