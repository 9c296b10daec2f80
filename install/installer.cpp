#include "install/installer.h"

#include "common/files.h"
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

bool IsBrowserSetting(int id) {
    return id >= BrowserItem::kTrustList && id <= BrowserItem::kTrustedZonePolicies;
}

bool IsNotInstalled(int status) {
    return status == 1 || status == 4 || status == 5;
}

constexpr int kInstalled = 3;

} // namespace

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

CInstaller::CInstaller(const InstallerSetup& setup, bool lastItem)
    : setup_(setup), lastItem_(lastItem) {}

void CInstaller::Trace(const std::wstring& event) const {
    setup_.trace->Write(FormatW(L"文件号：%d", id_) + event);
}

void CInstaller::Report(LPARAM result) const {
    setup_.post(VeyrantMessage::kInstalledCompleted, static_cast<WPARAM>(id_), result);
}

int CInstaller::InstallItem(int id) {
    id_ = id;
    int result = 1;
    XmlNode catalogue;
    if (catalogue.LoadXml(setup_.catalogueText())) {
        if (IsBrowserSetting(id)) {
            setup_.services.applyBrowserSetting(id);
            Report(kReportSuccess); // whatever the setting's outcome
        } else if (id >= 4000) {
            result = InstallComponent(catalogue, L"Application");
        } else if (ClassOfItem(id) == ItemClass::RootCert) {
            setup_.services.installRootCert(id);
        } else if (ClassOfItem(id) == ItemClass::Control) {
            result = InstallComponent(catalogue, L"Control");
        }
    }
    // After the last item, whatever its kind, the page learns that installing is over.
    if (lastItem_)
        setup_.post(VeyrantMessage::kAllInstallsCompleted, 0, 0);
    return result;
}

int CInstaller::InstallComponent(const XmlNode& catalogue, const wchar_t* section) {
    const XmlNode* list = catalogue.FindChild(section);
    if (!list || list->ChildCount() == 0) {
        Report(kReportFailure);
        return 0;
    }
    const XmlNode* entry = nullptr;
    for (const auto& child : list->Children()) {
        if (child->GetIntAttribute(L"id", 0) == id_) {
            entry = child.get();
            break;
        }
    }
    if (!entry)
        return 1;
    if (ClassOfItem(id_) == ItemClass::Control)
        RemoveOldControl(*entry);
    std::wstring url = ReplaceAll(entry->GetAttribute(L"url", L""), L"/", L"\\");
    return InstallPackage(url, entry->GetAttribute(L"desturl", L""));
}

// The control's previous file is unregistered and deleted, so the new one
// does not meet a stale registration.
void CInstaller::RemoveOldControl(const XmlNode& entry) {
    HKEY root = PredefinedKeyByName(entry.GetAttribute(L"regrootkey", L""), NameCase::Ignore);
    RegKey key = OpenRegKey(root, entry.GetAttribute(L"regsubkey", L"") + L"\\InprocServer32");
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
    if (!UnregisterServerDll(path))
        Trace(L" 卸载控件检查：反注册控件失败 " + path);
    if (!DeleteFileW(path.c_str()))
        Trace(L" 卸载控件检查：删除控件失败 " + path);
}

int CInstaller::InstallPackage(const std::wstring& url, const std::wstring& desturl) {
    std::optional<std::wstring> downloaded = JoinConfined(setup_.paths.appDownloadFolder, url);
    std::optional<std::wstring> folder = ResolveDestFolder(desturl, setup_.folders);
    if (!downloaded || !folder) {
        // A name that leaves its folder, or a destination that is no local folder.
        Trace(L" 错误原因：文件路径不合法");
        Report(kReportFailure);
        return 0;
    }
    const std::wstring name = downloaded->substr(downloaded->find_last_of(L'\\') + 1);
    CreateFolderChain(*folder);
    const std::wstring extension = ExtensionOf(name);
    if (extension == L"exe" || extension == L"msi") {
        setup_.services.addAccessRights(*downloaded);
        bool started = extension == L"exe" ? RunProgram(*downloaded) : OpenWithShell(*downloaded);
        if (!started) {
            Trace(extension == L"exe" ? L" 错误原因：EXE文件打开失败"
                                      : L" 错误原因：MSI文件打开失败");
            Report(kReportFailure);
            return 0;
        }
        Trace(L" 成功事件：EXE文件打开成功");
        VerifyAfterProgram();
    } else if (extension == L"dll" || extension == L"ocx") {
        ReplaceAndRegister(*downloaded, *folder + name, name);
        FinalCheck();
    } else if (extension == L"cab") {
        setup_.services.addAccessRights(*downloaded);
        if (!CCabPackage(*setup_.trace, setup_.cabinetFolders).InstallCabinet(*downloaded)) {
            Trace(L" 错误原因：文件路径不合法"); // a name in it would leave its folder
            Report(kReportFailure);
            return 0;
        }
        FinalCheck();
    }
    return 1;
}

int CInstaller::ReplaceAndRegister(const std::wstring& source, const std::wstring& destination,
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
    return 1;
}

// Applications and controls by their identifier classes (4000 included).
int CInstaller::StatusOf(int id) const {
    switch (ClassOfItem(id)) {
    case ItemClass::Application:
        return setup_.services.applicationStatus(id);
    case ItemClass::Control:
        return setup_.services.controlStatus(id);
    default:
        return 0; // counts as not installed
    }
}

void CInstaller::VerifyAfterProgram() {
    if (IsNotInstalled(StatusOf(id_))) {
        Trace(L" 错误原因：安装失败或用户取消");
        Report(kReportFailure);
        return;
    }
    FinalCheck();
}

void CInstaller::FinalCheck() {
    if (StatusOf(id_) == kInstalled) {
        Trace(L" 检测事件：安装成功");
        Report(kReportSuccess);
    } else {
        Trace(L" 检测事件：安装失败");
        Report(kReportFailure);
    }
}
