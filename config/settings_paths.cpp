#include "config/settings_paths.h"

SettingsPaths SettingsPaths::ForDataFolder(const std::wstring& dataFolder) {
    SettingsPaths p;
    p.dataFolder = dataFolder;
    p.logFolder = dataFolder + L"VeyrantLog\\";
    p.selfUpdateFolder = dataFolder + L"AssemblyUpdate\\";
    p.appDownloadFolder = dataFolder + L"AppsDownload\\";
    p.controlDownloadFolder = dataFolder + L"ControlsDownload\\";
    p.settingsFolder = dataFolder + L"VeyrantSetting\\";
    p.versionListFile = p.settingsFolder + L"Version.cfg";
    p.updateListFile = p.settingsFolder + L"Update.cfg";
    p.userSettingsFile = p.settingsFolder + L"Default.cfg";
    return p;
}
