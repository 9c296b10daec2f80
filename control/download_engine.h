// CDownLoadEngine: the one facade behind every scripting method. It composes
// the components, one per concern, and gives each only what it needs through
// a ComponentContext; each operation here is a one-line delegation.
//
// Threads: the engine is created and destroyed on the loading thread and its
// operations are called on the page's thread. Workers started by components
// reach only what the component handed them: the trace log, the decrypted
// texts and the catalogue cache (own locks), the work queue and the reporter
// (own locks) and the page poster.
#pragma once

#include "config/component_context.h"
#include "config/bank_links.h"
#include "config/component_lists.h"
#include "config/config_set.h"
#include "config/settings_paths.h"
#include "config/settings_store.h"
#include "config/catalogue.h"
#include "config/trace_log.h"
#include "config/user_settings.h"
#include "envcheck/component_checker.h"
#include "envcheck/diagnosis.h"
#include "envcheck/patch_checker.h"
#include "install/download_chain.h"
#include "install/download_reporter.h"
#include "install/installer.h"
#include "install/self_update.h"
#include "install/update_check.h"
#include "install/work_queue.h"
#include "sysconfig/browser_settings.h"
#include "sysconfig/root_certificates.h"

#include <windows.h>

#include <string>

class CTovralModule;

class CDownLoadEngine {
public:
    explicit CDownLoadEngine(CTovralModule& module);
    ~CDownLoadEngine();
    CDownLoadEngine(const CDownLoadEngine&) = delete;
    CDownLoadEngine& operator=(const CDownLoadEngine&) = delete;

    const SettingsPaths& Paths() const { return context_.paths; }
    const TraceSink& Trace() const { return trace_; }
    const ConfigurationTexts& Texts() const { return texts_; }

    // Trace log: one line when Default.cfg switches tracing on.
    void TraceLog(const std::wstring& text, int level = 1) const { trace_.Write(text, level); }
    // Posts one of the call-back messages to the message window (any thread).
    void PostToPage(UINT message, WPARAM wParam, LPARAM lParam) const;

    // Settings.
    short SetLanguage(const std::wstring& language) { return settings_.SetLanguage(language); }
    short SaveUserType(int user, int cert, int usb) {
        return settings_.SaveUserType(user, cert, usb);
    }
    UserType GetUserType(const UserType& unreadable) const {
        return settings_.GetUserType(unreadable);
    }
    std::wstring InternetConnAddress() const { return links_.InternetConnAddress(); }

    // Versions.
    std::wstring GetSystemVersion() const;
    std::wstring GetIEVersion(int browserServicePack) const;
    short GetLowVersionSymbol() const;

    // Update check.
    bool QueryUpdate() { return updateChecker_.StartQueryUpdate(); }
    short UpdateCancel() { return updateChecker_.UpdateCancel(); }

    // Component list, statuses and the download chain.
    short StartDownLoad(int id) { return chain_.StartDownLoad(id); }
    short GetStatuBySurrId(int id) { return static_cast<short>(lists_.StatusOf(id)); }
    std::wstring GetSysInfoList(const std::wstring&) { return lists_.GetSysInfoList(); }
    short SetDownLoadList(const std::wstring& list) { return lists_.SetDownLoadList(list); }
    std::wstring GetDownLoadList() { return lists_.GetDownLoadList(); }
    std::wstring GetStatuByXML() { return lists_.GetStatuByXML(); }
    short EBankDownLoad(const std::wstring& xml) { return chain_.EBankDownLoad(xml); }

    // Bank links.
    std::wstring GetQelLinks() const { return links_.GetQelLinks(); }
    std::wstring GetDynamicLink() const { return links_.GetDynamicLink(); }

    // Diagnosis report and patch check.
    std::wstring GetSystemInfo() { return diagnosis_.GetSystemInfo(); }
    std::wstring DiagnosisResult() { return diagnosis_.RunCheck(); }
    short OpenSysInfoFile() { return diagnosis_.OpenReport(); }
    std::wstring PatchCheck(int mode);

    // Self-update hand-off.
    short UpdateBankVeyr() { return selfUpdate_.UpdateBankVeyr(); }

private:
    static ComponentContext MakeContext(CTovralModule& module, const ::TraceLog& trace,
                                        ConfigurationTexts& texts);
    ListHooks MakeListHooks();
    InstallerSetup MakeInstallerSetup();
    void ApplyBrowserSetting(const XmlNode* catalogue, int id) const;

    CTovralModule& module_;
    const ::TraceLog trace_;
    ConfigurationTexts texts_; // written by the update worker and UpdateCancel; own lock
    const ComponentContext context_;
    CatalogueCache catalogue_; // the one parsed catalogue; own lock
    SettingsStore settings_;
    const InstallFolders installFolders_; // the system's and the product's folders
    UpdateChecker updateChecker_;
    ComponentChecker checks_; // controls and applications: status and report text
    DiagnosisReporter diagnosis_;
    PatchChecker patches_;
    ComponentLists lists_;
    BrowserSettings browser_;
    RootCertificates rootCerts_;
    const InstallerSetup installerSetup_;
    WorkQueue queue_;           // the page's long work, one job at a time; closed first
    DownloadReporter reporter_; // the one poster of 1357-1360 and 1364
    DownloadChain chain_;
    SelfUpdate selfUpdate_;
    BankLinks links_;
};
