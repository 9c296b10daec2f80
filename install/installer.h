// CInstaller: installs one downloaded (or file-less) item and tells the page.
// Controls lose their old registration first; packages are installed by
// extension (exe run, msi opened through the shell, dll/ocx moved into place
// and registered, cab extracted and installed by its .inf files); the item's
// status decides what the page is told. Browser settings and certificates are
// applied by their own components through InstallerServices.
#pragma once

#include "common/page_messages.h"
#include "common/trace_sink.h"
#include "config/settings_paths.h"
#include "install/cab_package.h"
#include "install/install_locations.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

class XmlNode;

// What the installer asks of the checks and the system configuration.
struct InstallerServices {
    std::function<int(int id)> controlStatus;
    std::function<int(int id)> applicationStatus;
    std::function<void(int id)> applyBrowserSetting; // 5051-5055
    std::function<void(int id)> installRootCert;     // reports the item itself
    std::function<BOOL(const std::wstring& path)> addAccessRights;
};

// The folders the installer knows: the product's install folders and the
// Program Files folder itself ("localcontrol" lies below it).
struct DestinationFolders : InstallFolders {
    std::wstring programFiles;
    static DestinationFolders OfThisSystem(const InstallFolders& installFolders);
};

// The folder for a "desturl" text (any case): "system32" or nothing, "windows",
// "local", "localcontrol" (Program Files\Zelmor\Controls\), "data"; any other
// text is a folder of its own, taken only when it is a local absolute path.
std::optional<std::wstring> ResolveDestFolder(const std::wstring& desturl,
                                              const DestinationFolders& folders);

// The extension of a file name, lower case: the text after its last dot;
// none when there is no dot or the dot is the first character.
std::wstring ExtensionOf(const std::wstring& fileName);

struct InstallerSetup {
    SettingsPaths paths;
    DestinationFolders folders;
    CabinetFolders cabinetFolders;
    std::function<std::wstring()> catalogueText; // the current language's catalogue
    const TraceSink* trace = nullptr;
    PagePoster post;
    InstallerServices services;
};

class CInstaller {
public:
    // `lastItem`: the item is the batch's last, so all installs have completed after it.
    CInstaller(const InstallerSetup& setup, bool lastItem);

    // Installs the item and reports it; 1, or 0 when the catalogue has no
    // section of the item's kind.
    int InstallItem(int id);

    int InstallPackage(const std::wstring& url, const std::wstring& desturl);
    int ReplaceAndRegister(const std::wstring& source, const std::wstring& destination,
                           const std::wstring& name);

private:
    int InstallComponent(const XmlNode& catalogue, const wchar_t* section);
    void RemoveOldControl(const XmlNode& entry);
    void VerifyAfterProgram();
    void FinalCheck();
    int StatusOf(int id) const;
    void Report(LPARAM result) const;
    void Trace(const std::wstring& event) const;

    const InstallerSetup& setup_;
    const bool lastItem_;
    int id_ = 0;
};
