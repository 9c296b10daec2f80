#include "control/module.h"

#include "Tovral_h.h"
#include "common/files.h"
#include "config/settings_paths.h"
#include "config/user_settings.h"
#include "control/download_engine.h"
#include "control/veyrant_window.h"
#include "tovral_public_key.h"

#include <shlobj.h>

#include <cstdlib>

namespace {

std::wstring HostFolderOfProcess() {
    return FolderPart(ModuleFilePath(nullptr));
}

std::wstring DataFolderOfUser() {
    wchar_t appData[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
    return std::wstring(appData) + L"\\Zelmor\\";
}

} // namespace

CTovralModule& CTovralModule::Instance() {
    static CTovralModule module;
    return module;
}

void CTovralModule::OnProcessAttach(HINSTANCE instance, std::wstring_view siteLock,
                                    SignaturePolicy signaturePolicy) {
    instance_ = instance;
    siteLock_ = siteLock;
    signaturePolicy_ = signaturePolicy;
}

void CTovralModule::OnProcessDetach(bool processTerminating) {
    if (!processTerminating) {
        Shutdown();
        return;
    }
    // The process is ending: other threads are gone and the host window may be
    // too, so nothing is torn down.
    (void)window_.release();
    (void)engine_.release();
}

void CTovralModule::EnsureStarted() {
    std::call_once(started_, [this] {
        window_ = std::make_unique<CVeyrantWindow>();
        HWND active = GetActiveWindow();
        if (IsWindow(active))
            window_->SubclassWindow(active);
        hostFolder_ = HostFolderOfProcess();
        dataFolder_ = DataFolderOfUser();
        rootUrl_ = ReadRootUrl(hostFolder_);
        language_ = ReadStartupLanguage(SettingsPaths::ForDataFolder(dataFolder_).userSettingsFile,
                                        SystemLanguageNumber);
        keyModulus_ = kBuiltInModulusHex;
        keyExponent_ = kBuiltInExponentHex;
        try {
            engine_ = std::make_unique<CDownLoadEngine>(*this);
        } catch (const std::bad_alloc&) {
            engine_.reset(); // the methods then answer with empty results
        }
    });
}

void CTovralModule::Shutdown() {
    window_.reset();
    engine_.reset();
}

bool CTovralModule::CanUnloadNow() const {
    return lockCount_ == 0 && (!window_ || window_->CanUnload());
}

std::wstring CTovralModule::ModulePath() const {
    return ModuleFilePath(instance_);
}

std::wstring CTovralModule::Language() const {
    std::lock_guard guard(languageLock_);
    return language_;
}

void CTovralModule::SetLanguage(const std::wstring& language) {
    std::lock_guard guard(languageLock_);
    language_ = language;
}

HRESULT CTovralModule::DownLoadTypeInfo(ITypeInfo** info) {
    std::lock_guard guard(typeInfoLock_);
    if (!typeInfo_) {
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
        if (FAILED(hr))
            return hr;
        hr = library->GetTypeInfoOfGuid(IID_IDownLoad, &typeInfo_);
        if (FAILED(hr))
            return hr;
    }
    return typeInfo_.CopyTo(info);
}
