// The per-user folder layout of the control: everything lives under the data
// folder (application data + "\Zelmor\"), in a fixed set of subfolders.
#pragma once

#include <string>

struct SettingsPaths {
    std::wstring dataFolder;            // ends with a backslash
    std::wstring logFolder;             // trace and crash logs
    std::wstring selfUpdateFolder;      // server version list, updater files
    std::wstring appDownloadFolder;     // every component download
    std::wstring controlDownloadFolder; // computed with the others, not used for downloads
    std::wstring settingsFolder;        // Default.cfg and the encrypted configuration files
    std::wstring versionListFile;
    std::wstring updateListFile;
    std::wstring userSettingsFile; // Default.cfg

    static SettingsPaths ForDataFolder(const std::wstring& dataFolder);

    std::wstring TraceLogFile() const { return logFolder + L"VeyrantTrace.log"; }
    std::wstring CrashLogFile() const { return logFolder + L"BankVeyrant_Exception.log"; }
    // The highest serial of a version list this PC accepted (decimal text).
    std::wstring VersionSerialFile() const { return settingsFolder + L"VersionSerial.txt"; }
};
