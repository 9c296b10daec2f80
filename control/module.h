// CTovralModule: the one module object of the DLL. It starts up on the
// loading thread when the first class object is requested (not inside
// DllMain, where loading other libraries and COM servers may deadlock),
// subclasses the host's active window for the page call-backs, reads the
// root URL and language, and owns the message window and the engine.
#pragma once

#include "common/com_types.h"
#include "crypto/signature.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CVeyrantWindow;
class CDownLoadEngine;

class CTovralModule {
public:
    static CTovralModule& Instance();

    // DllMain hooks. `siteLock` is this DLL's build setting (control/site_lock.h).
    void OnProcessAttach(HINSTANCE instance, std::wstring_view siteLock,
                         SignaturePolicy signaturePolicy);
    void OnProcessDetach(bool processTerminating);

    // Start-up steps, once per process, on the calling (loading) thread.
    void EnsureStarted();
    // Shut-down: message window first, then the engine.
    void Shutdown();

    // Standard in-process server bookkeeping.
    void Lock() { ++lockCount_; }
    void Unlock() { --lockCount_; }
    LONG LockCount() const { return lockCount_; }
    bool CanUnloadNow() const;

    HINSTANCE ModuleHandle() const { return instance_; }
    std::wstring_view SiteLock() const { return siteLock_; }
    std::wstring ModulePath() const;

    const std::wstring& RootUrl() const { return rootUrl_; }
    const char* KeyModulus() const { return keyModulus_; }
    const char* KeyExponent() const { return keyExponent_; }
    SignaturePolicy Signatures() const { return signaturePolicy_; }
    const std::wstring& HostFolder() const { return hostFolder_; }
    const std::wstring& DataFolder() const { return dataFolder_; }
    std::wstring Language() const;
    void SetLanguage(const std::wstring& language);
    CVeyrantWindow* MessageWindow() const { return window_.get(); }
    CDownLoadEngine* Engine() const { return engine_.get(); }

    // Process-wide values of the scripting surface.
    std::atomic<short>& UpdateSymbol() { return updateSymbol_; }
    std::atomic<int>& IeServicePack() { return ieServicePack_; }

    // The IDownLoad description from the embedded type library (cached).
    HRESULT DownLoadTypeInfo(ITypeInfo** info);

private:
    CTovralModule() = default;

    HINSTANCE instance_ = nullptr;
    std::wstring_view siteLock_;
    SignaturePolicy signaturePolicy_ = SignaturePolicy::Required; // set by DllMain
    std::atomic<LONG> lockCount_{0};
    std::once_flag started_;

    std::wstring rootUrl_;
    const char* keyModulus_ = "";
    const char* keyExponent_ = "";
    std::wstring hostFolder_;
    std::wstring dataFolder_;
    mutable std::mutex languageLock_;
    std::wstring language_;
    std::unique_ptr<CVeyrantWindow> window_;
    std::unique_ptr<CDownLoadEngine> engine_;

    std::atomic<short> updateSymbol_{1};
    std::atomic<int> ieServicePack_{-1};
    std::mutex typeInfoLock_;
    ComPtr<ITypeInfo> typeInfo_;
};
