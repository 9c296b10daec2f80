// CInstaller: installs one downloaded (or file-less) item and says how it
// went; the download chain's reporter tells the page. Everything the item
// needs (its package path, destination, cabinet and .inf names) is checked
// before anything on the PC changes: only then does a control lose its old
// registration, and a package installs by extension (exe run, msi opened
// through the shell, dll/ocx moved into place and registered, cab extracted
// and installed by its .inf files); the item's status decides the outcome.
// Browser settings and certificates are applied by their own components
// through InstallerServices.
//
// Threads: the work queue's worker; one item at a time.
#pragma once

#include "common/trace_sink.h"
#include "config/catalogue.h"
#include "config/settings_paths.h"
#include "install/cab_package.h"
#include "install/install_locations.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

class XmlNode;

// What the installer asks of the checks and the system configuration; each
// reads the item's own catalogue snapshot.
struct InstallerServices {
    std::function<int(const XmlNode* catalogue, int id)> controlStatus;
    std::function<int(const XmlNode* catalogue, int id)> applicationStatus;
    std::function<void(const XmlNode* catalogue, int id)> applyBrowserSetting; // 5051-5055
    // True when the certificate was written and found installed.
    std::function<bool(const XmlNode* catalogue, int id)> installRootCert;
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
    const TraceSink* trace = nullptr;
    InstallerServices services;
    // Never removed as an old control: the control's own class and file.
    std::wstring ownClassId;
    std::wstring ownModulePath;
};

// What the page is to be told of an item: installed, not installed, or
// nothing (the cases where no install report is made: a trusted site, no
// catalogue, no entry, a package of another kind).
enum class InstallOutcome { Installed, NotInstalled, Unreported };

// One item's work as the chain hands it over: the id, the catalogue snapshot
// the item was looked up in, and for controls and applications the entry.
struct ItemWork {
    int id = 0;
    CatalogueSnapshot catalogue;
    const XmlNode* entry = nullptr; // inside `catalogue`; null: looked up here
};

class CInstaller {
public:
    explicit CInstaller(const InstallerSetup& setup);

    InstallOutcome InstallItem(const ItemWork& work);

private:
    struct Package; // what a component's installation needs, all checked
    InstallOutcome InstallComponent(const XmlNode& catalogue, const XmlNode* entry);
    std::optional<Package> CheckPackage(const XmlNode& entry);
    InstallOutcome InstallPackage(const Package& package);
    void RemoveOldControl(const XmlNode& entry, const std::wstring& destination);
    bool IsRemovableControl(const std::wstring& path, const std::wstring& regsubkey,
                            const std::wstring& destination) const;
    void ReplaceAndRegister(const std::wstring& source, const std::wstring& destination,
                            const std::wstring& name);
    InstallOutcome VerifyAfterProgram();
    InstallOutcome FinalCheck();
    int StatusOf(int id) const;
    void Trace(const std::wstring& event) const;

    const InstallerSetup& setup_;
    int id_ = 0;
    const XmlNode* catalogue_ = nullptr; // the item's snapshot, while InstallItem runs
};
