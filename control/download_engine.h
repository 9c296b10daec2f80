// CDownLoadEngine: the one facade behind every scripting method. It owns the
// process-wide state of the work (paths, settings, decrypted texts, the item
// in work) and delegates each concern to its own component.
#pragma once

#include "common/handles.h"
#include "config/config_set.h"
#include "config/settings_paths.h"
#include "config/user_settings.h"
#include "config/xml_node.h"
#include "control/trace_log.h"
#include "install/http_fetch.h"
#include "install/update_check.h"

#include <windows.h>

#include <mutex>
#include <string>

class CTovralModule;

class CDownLoadEngine {
public:
    explicit CDownLoadEngine(CTovralModule& module);
    ~CDownLoadEngine();
    CDownLoadEngine(const CDownLoadEngine&) = delete;
    CDownLoadEngine& operator=(const CDownLoadEngine&) = delete;

    const SettingsPaths& Paths() const { return paths_; }
    CTovralModule& Module() const { return module_; }

    // The decrypted configuration texts (empty until the update check or
    // UpdateCancel has decrypted them).
    const ConfigurationTexts& Texts() const { return texts_; }

    // Trace log: one line when Default.cfg switches tracing on.
    void TraceLog(const std::wstring& text, int level = 1) const;
    // Posts one of the call-back messages to the message window.
    void PostToPage(UINT message, WPARAM wParam, LPARAM lParam) const;

    // Settings.
    short SetLanguage(const std::wstring& language);
    short SaveUserType(int user, int cert, int usb);
    UserType GetUserType(const UserType& callerValues);
    std::wstring InternetConnAddress() const;

    // Versions.
    std::wstring GetSystemVersion() const;
    std::wstring GetIEVersion(int browserServicePack) const;
    short GetLowVersionSymbol() const;

    // Update check.
    bool QueryUpdate();
    short UpdateCancel();

    // Component list, statuses and the download chain.
    short StartDownLoad(int id);
    short GetStatuBySurrId(int id);
    std::wstring GetSysInfoList(const std::wstring& filter);
    short SetDownLoadList(const std::wstring& list);
    std::wstring GetDownLoadList();
    std::wstring GetStatuByXML();
    short EBankDownLoad(const std::wstring& xml);

    // Bank links.
    std::wstring GetQelLinks() const;
    std::wstring GetDynamicLink() const;

    // Diagnosis report and patch check.
    std::wstring GetSystemInfo();
    std::wstring DiagnosisResult();
    short OpenSysInfoFile();
    std::wstring PatchCheck(int mode);

    // Self-update hand-off.
    short UpdateBankVeyr();

private:
    // Loads the language text of `language` into the language-text node.
    void LoadLanguageText(const std::wstring& language);

    CTovralModule& module_;
    const SettingsPaths paths_;
    const ::TraceLog trace_;
    const UserSettings userSettings_;
    ConfigurationTexts texts_;
    FetchTarget currentFetch_; // the item in work: URL, local path, id
    UpdateChecker updateChecker_;
    KernelHandle updateThread_;

    XmlNode languageText_; // the catalogue of the current language
    bool languageTextLoaded_ = false;

    std::mutex userTypeLock_;
    UserType userType_;
    std::wstring downloadListText_;
};
