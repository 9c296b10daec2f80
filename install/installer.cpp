#include "install/installer.h"

#include "common/files.h"
#include "common/pe_image.h"
#include "common/registry.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/xml_node.h"
#include "install/programs.h"

#include <shlobj.h>

namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    return path;
}

// Larger files are no controls: a module is read whole to look at its exports.
constexpr unsigned long long kLargestControlFile = 256ull * 1024 * 1024;

} // namespace

// A component's package, every part of it checked before anything changes.
struct CInstaller::Package {
    std::wstring downloaded;            // the verified file in the download folder
    std::wstring folder;                // its destination folder, ending with a backslash
    std::wstring name;                  // its file name
    std::wstring extension;             // lower case
    std::optional<CabinetPlan> cabinet; // for "cab": extracted and read
};

DestinationFolders DestinationFolders::OfThisSystem(const InstallFolders& installFolders) {
    return DestinationFolders{installFolders, ShellFolder(CSIDL_PROGRAM_FILES)};
}

std::optional<std::wstring> ResolveDestFolder(const std::wstring& desturl,
                                              const DestinationFolders& folders) {
    if (EqualsNoCase(desturl, L"localcontrol"))
        return folders.programFiles + L"\\Zelmor\\Controls\\";
    return InstalledFolderFor(desturl, folders);
}

std::wstring ExtensionOf(const std::wstring& fileName) {
    size_t dot = fileName.find_last_of(L'.');
    if (dot == std::wstring::npos || dot == 0)
        return {};
    return ToLower(fileName.substr(dot + 1));
}

CInstaller::CInstaller(const InstallerSetup& setup) : setup_(setup) {}

void CInstaller::Trace(const std::wstring& event) const {
    setup_.trace->Write(FormatW(L"文件号：%d", id_) + event);
}

InstallOutcome CInstaller::InstallItem(const ItemWork& work) {
    id_ = work.id;
    const XmlNode* catalogue = work.catalogue.get();
    catalogue_ = catalogue;
    if (!catalogue)
        return InstallOutcome::Unreported; // nothing known of the item
    switch (InstallKindOf(work.id)) {
    case InstallKind::BrowserSetting:
        setup_.services.applyBrowserSetting(catalogue, work.id);
        return InstallOutcome::Installed; // whatever the setting's outcome
    case InstallKind::Application:
    case InstallKind::Control:
        return InstallComponent(*catalogue, work.entry);
    case InstallKind::RootCert:
        return setup_.services.installRootCert(catalogue, work.id) ? InstallOutcome::Installed
                                                                   : InstallOutcome::NotInstalled;
    case InstallKind::TrustedSite:
    case InstallKind::None:
        break;
    }
    return InstallOutcome::Unreported;
}

InstallOutcome CInstaller::InstallComponent(const XmlNode& catalogue, const XmlNode* entry) {
    const XmlNode* list = catalogue.FindChild(CatalogueSectionOf(id_));
    if (!list || list->ChildCount() == 0)
        return InstallOutcome::NotInstalled;
    if (!entry)
        entry = FindCatalogueItem(&catalogue, id_);
    if (!entry)
        return InstallOutcome::Unreported;
    std::optional<Package> package = CheckPackage(*entry);
    if (!package)
        return InstallOutcome::NotInstalled;
    if (package->extension.empty())
        return InstallOutcome::Unreported; // a package of no kind installs nothing
    // Only now, with everything the new package needs in hand, may the old go.
    if (ClassOfItem(id_) == ItemClass::Control)
        RemoveOldControl(*entry, package->folder);
    return InstallPackage(*package);
}

// Every name and place the package needs, or nothing (traced) when one is
// refused; a cabinet is extracted and its .inf files read already.
std::optional<CInstaller::Package> CInstaller::CheckPackage(const XmlNode& entry) {
    const std::wstring url = ReplaceAll(entry.GetAttribute(L"url", L""), L"/", L"\\");
    std::optional<std::wstring> downloaded = JoinConfined(setup_.paths.appDownloadFolder, url);
    std::optional<std::wstring> folder =
        ResolveDestFolder(entry.GetAttribute(L"desturl", L""), setup_.folders);
    if (!downloaded || !folder) {
        // A name that leaves its folder, or a destination that is no local folder.
        Trace(L" 错误原因：文件路径不合法");
        return std::nullopt;
    }
    Package package{*downloaded, *folder, FileNamePart(*downloaded), {}, std::nullopt};
    const std::wstring extension = ExtensionOf(package.name);
    if (extension == L"exe" || extension == L"msi" || extension == L"dll" || extension == L"ocx")
        package.extension = extension;
    if (extension == L"cab") {
        package.cabinet = CCabPackage(*setup_.trace, setup_.cabinetFolders).Prepare(*downloaded);
        if (!package.cabinet) {
            Trace(
                L" 错误原因：文件路径不合法"); // unreadable, or a name in it would leave its folder
            return std::nullopt;
        }
        package.extension = extension;
    }
    return package;
}

InstallOutcome CInstaller::InstallPackage(const Package& package) {
    CreateFolderChain(package.folder);
    if (package.extension == L"exe" || package.extension == L"msi") {
        setup_.services.addAccessRights(package.downloaded);
        const bool exe = package.extension == L"exe";
        if (!(exe ? RunProgram(package.downloaded) : OpenWithShell(package.downloaded))) {
            Trace(exe ? L" 错误原因：EXE文件打开失败" : L" 错误原因：MSI文件打开失败");
            return InstallOutcome::NotInstalled;
        }
        Trace(L" 成功事件：EXE文件打开成功");
        return VerifyAfterProgram();
    }
    if (package.extension == L"cab") {
        setup_.services.addAccessRights(package.downloaded);
        CCabPackage(*setup_.trace, setup_.cabinetFolders).Install(*package.cabinet);
        return FinalCheck();
    }
    ReplaceAndRegister(package.downloaded, package.folder + package.name, package.name);
    return FinalCheck();
}

// The control's previous file is unregistered and deleted, so the new one
// does not meet a stale registration: only when it is a control module that
// can unregister itself, in a folder the chain installs into, and not this
// control. Anything else the registry key names is left alone.
void CInstaller::RemoveOldControl(const XmlNode& entry, const std::wstring& destination) {
    HKEY root = PredefinedKeyByName(entry.GetAttribute(L"regrootkey", L""), NameCase::Ignore);
    const std::wstring regsubkey = entry.GetAttribute(L"regsubkey", L"");
    RegKey key = OpenRegKey(root, regsubkey + L"\\InprocServer32");
    if (!key) {
        Trace(L" 卸载控件检查：注册表项不存在");
        return;
    }
    std::optional<std::wstring> value = ReadRegString(key.get(), nullptr);
    if (!value) {
        Trace(L" 卸载控件检查：注册表键值不存在");
        return;
    }
    Trace(L" 卸载控件检查：注册表键值存在");
    DWORD error = 0;
    std::wstring path = LongPathOf(ExpandRegisteredPath(*value), error);
    if (!IsExistingFile(path)) {
        Trace(L" 卸载控件检查：文件不存在");
        return;
    }
    if (!IsRemovableControl(path, regsubkey, destination))
        return;
    if (!UnregisterServerDll(path))
        Trace(L" 卸载控件检查：反注册控件失败 " + path);
    if (!DeleteFileW(path.c_str()))
        Trace(L" 卸载控件检查：删除控件失败 " + path);
}

bool CInstaller::IsRemovableControl(const std::wstring& path, const std::wstring& regsubkey,
                                    const std::wstring& destination) const {
    DWORD error = 0;
    const bool ownClass = !setup_.ownClassId.empty() &&
                          ToUpper(regsubkey).find(ToUpper(setup_.ownClassId)) != std::wstring::npos;
    const bool ownFile = !setup_.ownModulePath.empty() &&
                         EqualsNoCase(LongPathOf(setup_.ownModulePath, error), path);
    if (ownClass || ownFile) {
        Trace(L" 卸载控件检查：不卸载本控件 " + path);
        return false;
    }
    const std::wstring folder = FolderPart(path);
    const DestinationFolders& known = setup_.folders;
    bool inInstallFolder = false;
    for (const std::wstring& candidate :
         {known.systemFolder, known.windowsFolder, known.clientFolder, known.dataFolder,
          known.programFiles + L"\\Zelmor\\Controls\\", destination})
        inInstallFolder =
            inInstallFolder || (!candidate.empty() && EqualsNoCase(folder, candidate));
    if (!inInstallFolder) {
        Trace(L" 卸载控件检查：文件不在安装目录中，保留 " + path);
        return false;
    }
    std::optional<std::string> image =
        ReadWholeDiskFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE, kLargestControlFile);
    if (!image || !DllExportsName(*image, "DllUnregisterServer")) {
        Trace(L" 卸载控件检查：文件不是可卸载的控件，保留 " + path);
        return false;
    }
    return true;
}

void CInstaller::ReplaceAndRegister(const std::wstring& source, const std::wstring& destination,
                                    const std::wstring& name) {
    // Only .dll and .ocx files come here: every one is a server to register.
    UnregisterServerDll(destination); // the old copy, if any
    SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(destination.c_str());
    // A destination on another volume (a client folder on D:) needs a copy;
    // the download is still gone from its folder afterwards.
    MoveFileExW(source.c_str(), destination.c_str(),
                MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    bool granted = setup_.services.addAccessRights(destination) != FALSE;
    setup_.trace->Write(name + (granted ? L"User权限提升成功" : L"User权限提升失败"));
    RegisterServerDll(destination); // the status check decides what the page is told
}

// Applications and controls by their identifier classes (4000 included).
int CInstaller::StatusOf(int id) const {
    switch (ClassOfItem(id)) {
    case ItemClass::Application:
        return setup_.services.applicationStatus(catalogue_, id);
    case ItemClass::Control:
        return setup_.services.controlStatus(catalogue_, id);
    default:
        return ItemStatus::kUnknown; // counts as not installed
    }
}

InstallOutcome CInstaller::VerifyAfterProgram() {
    if (NeedsInstalling(StatusOf(id_))) {
        Trace(L" 错误原因：安装失败或用户取消");
        return InstallOutcome::NotInstalled;
    }
    return FinalCheck();
}

InstallOutcome CInstaller::FinalCheck() {
    if (StatusOf(id_) == ItemStatus::kCurrent) {
        Trace(L" 检测事件：安装成功");
        return InstallOutcome::Installed;
    }
    Trace(L" 检测事件：安装失败");
    return InstallOutcome::NotInstalled;
}
