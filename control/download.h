// CDownLoad: the scriptable object the page creates as "Tovral.DownLoad".
// Each method converts its automation arguments and hands the work to the
// process-wide engine; long work reports later through page call-backs.
#pragma once

#include "Tovral_h.h"
#include "common/com_object.h"
#include "common/com_types.h"
#include "common/handles.h"

#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Result texts written by worker threads and read on the page's thread when
// their message arrives; shared with the workers so a worker that outlives
// its control object writes into memory that is still alive.
class WorkerResults {
public:
    void SetReport(std::wstring text);
    std::wstring Report() const;
    void SetPatch(std::wstring text);
    std::wstring Patch() const;

private:
    mutable std::mutex lock_;
    std::wstring report_;
    std::wstring patch_;
};

class CDownLoad final : public IDownLoad, public IObjectWithSite {
public:
    static HRESULT CreateInstance(REFIID riid, void** object);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    REFCOUNTED_IUNKNOWN

    // IDispatch: type information from the type library; names and calls
    // from the method table of control/download_dispatch.h
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

    // IDownLoad
    STDMETHODIMP StartDownLoad(LONG nid) override;
    STDMETHODIMP DetectFile(LONG nid) override;
    STDMETHODIMP SetLanguage(BSTR language, VARIANT_BOOL* result) override;
    STDMETHODIMP GetLanguage(BSTR* language) override;
    STDMETHODIMP SaveUserType(LONG user, LONG cert, LONG usb, VARIANT_BOOL* result) override;
    STDMETHODIMP GetUserType(BSTR* result) override;
    STDMETHODIMP GetClientType(BSTR* result) override;
    STDMETHODIMP GetIEVersion(BSTR* result) override;
    STDMETHODIMP GetSystemVersion(BSTR* result) override;
    STDMETHODIMP GetSysInfoList(BSTR* result) override;
    STDMETHODIMP SetDownLoadList(BSTR list, VARIANT_BOOL* result) override;
    STDMETHODIMP GetDownLoadList(BSTR* result) override;
    STDMETHODIMP GetStatuBySurrId(LONG nid, LONG* result) override;
    STDMETHODIMP GetStatuByXML(BSTR* result) override;
    STDMETHODIMP SaveIDList(BSTR list, VARIANT_BOOL* result) override;
    STDMETHODIMP EBankDownLoad(BSTR xml, VARIANT_BOOL* result) override;
    STDMETHODIMP GetQelLinks(BSTR* result) override;
    STDMETHODIMP GetPatchFile(LONG symbol, BSTR* result) override;
    STDMETHODIMP GetSystemInfo(BSTR* result) override;
    STDMETHODIMP GetSysInfoResult(BSTR* result) override;
    STDMETHODIMP OpenSysInfoFile(VARIANT_BOOL* result) override;
    STDMETHODIMP QueryUpdate(LONG* result) override;
    STDMETHODIMP UpdateSymbol(VARIANT_BOOL* result) override;
    STDMETHODIMP GetDynamicLink(BSTR* result) override;
    STDMETHODIMP GetLowVersionSymbol(VARIANT_BOOL* result) override;
    STDMETHODIMP UpdateBankVeyr(VARIANT_BOOL* result) override;
    STDMETHODIMP GetPatchResult(BSTR* result) override;
    STDMETHODIMP QuitBankVeyr() override;
    STDMETHODIMP InternetConnAddress(BSTR* result) override;
    STDMETHODIMP UpdateCancel(LONG* result) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

    // Runs one script text in the page; false without a page window or when
    // the page's script engine rejected it.
    BOOL RunScript(const std::wstring& text);
    std::wstring ReportResult() const { return results_->Report(); }

private:
    friend class RefCount<CDownLoad>; // deletes the object on the last Release
    CDownLoad();
    ~CDownLoad();

    // Every scripting method's whole body runs through one of these: inside
    // the guard, a page this control does not serve gets the failure value.
    template <typename Body> HRESULT Guarded(const wchar_t* method, Body&& body) noexcept;
    template <typename Fn> HRESULT TextMethod(const wchar_t* method, BSTR* out, Fn&& text) noexcept;
    template <typename Fn>
    HRESULT BoolMethod(const wchar_t* method, VARIANT_BOOL* out, Fn&& value) noexcept;
    template <typename Fn>
    HRESULT LongMethod(const wchar_t* method, LONG* out, Fn&& value) noexcept;
    void RequireServedPage() const;
    void SetServed(bool served);

    // SetSite's work; may throw (out of memory).
    void AttachToSite(IUnknown* site);
    void FindPageWindow(IHTMLDocument2* document);
    void StartPatchWorker();
    void StartReportWorker();

    ComPtr<IUnknown> site_;
    RefCount<CDownLoad> refs_;
    KernelHandle patchThread_;
    KernelHandle reportThread_;
    ComPtr<IHTMLWindow2> pageWindow_;
    std::optional<std::wstring> pageUrl_; // the page's address, when the site chain gave one
    bool served_;                         // whether the site lock lets this page use the control
    std::shared_ptr<WorkerResults> results_ = std::make_shared<WorkerResults>();
};
