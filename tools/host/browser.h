// The browser as the control sees it from its site: a host security manager
// that lets the page create and script the bank's trusted controls, and the
// chain IWebBrowserApp -> document (IHTMLDocument2) -> window (IHTMLWindow2,
// with execScript and the navigator's minor version).
#pragma once

#include "common/com_types.h"
#include "common/com_object.h"

#include <servprov.h>

#include <memory>
#include <optional>
#include <string>

// What the page window needs from the script engine: running call-back texts.
class ScriptRunner {
public:
    virtual HRESULT RunNested(const std::wstring& code) = 0;

protected:
    ~ScriptRunner() = default;
};

struct BrowserSettings {
    bool offerBrowser = true;     // false: the IWebBrowserApp service is refused
    std::wstring appMinorVersion; // the navigator's appMinorVersion
    // The page's address (document.URL and the browser's LocationURL); none:
    // both calls fail, as for a browser that does not tell it.
    std::optional<std::wstring> documentUrl;
};

// True for the language names IHTMLWindow2::execScript accepts: JScript and its
// aliases in any case, and no name at all (the browser's default language).
bool IsJScriptLanguage(const std::wstring& language);

class PageWindow;

// The services the site offers: SID_SInternetHostSecurityManager and IWebBrowserApp.
class BrowserServices final : public IServiceProvider {
public:
    BrowserServices(const BrowserSettings& settings, ScriptRunner* runner);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv, {{IID_IUnknown, this}, {IID_IServiceProvider, this}});
    }
    REFCOUNTED_IUNKNOWN
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override;

    // After the engine is gone, execScript fails instead of reaching it.
    void DetachRunner();
    // The site the browser gives an <object> element in a frame whose document
    // has the address `frameUrl` (none: the element is in the page itself).
    ComPtr<IUnknown> MakeElementSite(std::optional<std::wstring> frameUrl);
    // The page's address from now on, as after a navigation of the same browser.
    void SetDocumentUrl(std::optional<std::wstring> url) { *documentUrl_ = std::move(url); }

private:
    RefCount<BrowserServices> refs_;
    bool offerBrowser_;
    ComPtr<IUnknown> securityManager_;
    ComPtr<IUnknown> browser_;
    ComPtr<IUnknown> window_;
    PageWindow* pageWindow_ = nullptr; // kept alive by window_
    // Shared with the document and the browser, which answer it.
    std::shared_ptr<std::optional<std::wstring>> documentUrl_;
};
