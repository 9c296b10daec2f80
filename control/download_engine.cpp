#include "control/download_engine.h"

#include "Tovral_h.h"
#include "common/text.h"
#include "control/module.h"
#include "control/veyrant_window.h"
#include "envcheck/ie_version.h"
#include "envcheck/low_version.h"
#include "envcheck/os_version.h"
#include "install/http_fetch.h"
#include "config/item_ids.h"
#include "sysconfig/access_rights.h"
#include "sysconfig/component_inputs.h"
#include "sysconfig/item_fragments.h"

ComponentContext CDownLoadEngine::MakeContext(CTovralModule& module, const ::TraceLog& trace,
                                              ConfigurationTexts& texts) {
    ComponentContext context;
    context.paths = SettingsPaths::ForDataFolder(module.DataFolder());
    context.rootUrl = module.RootUrl();
    context.clientFolder = module.HostFolder();
    context.key = RsaPublicKey{module.KeyModulus(), module.KeyExponent()};
    context.signatures = SignatureCheck{module.Signatures(), BuiltInSigningKey()};
    context.trace = &trace;
    context.texts = &texts;
    context.language = [&module] { return module.Language(); };
    context.post = [&module](UINT message, WPARAM wParam, LPARAM lParam) {
        CVeyrantWindow* window = module.MessageWindow();
        PostMessageW(window ? window->Handle() : nullptr, message, wParam, lParam);
    };
    // A failing call of a fetch is traced with its code (a certificate that
    // is not trusted, a refused connection...), so a failed download explains itself.
    context.fetch = [&trace](const FetchRequest& request) {
        return FetchUrlToFile(request, [&](const wchar_t* call, DWORD error) {
            trace.Write(FormatW(L"失败事件：%ls 错误值：%lu ", call, error) + request.url);
        });
    };
    return context;
}

CDownLoadEngine::CDownLoadEngine(CTovralModule& module)
    : module_(module),
      trace_(::TraceLog::ForPaths(SettingsPaths::ForDataFolder(module.DataFolder()))),
      context_(MakeContext(module, trace_, texts_)),
      catalogue_(texts_, [&module] { return module.Language(); }),
      settings_(context_,
                [&module](const std::wstring& language) { module.SetLanguage(language); }),
      installFolders_(InstallFolders::OfThisSystem(module.HostFolder(), module.DataFolder())),
      updateChecker_(context_, installFolders_), checks_(context_, catalogue_.Source()),
      diagnosis_(context_, checks_), patches_(context_),
      lists_(catalogue_.Source(), MakeListHooks(),
             [this] {
                 return settings_.GetUserType(UserType{0, 0, 0});
             }),
      browser_(context_,
               [this] {
                   LowVersionCheck versions = CheckLowVersion(trace_);
                   return MajorVersions{versions.osMajor, versions.ieMajor};
               }),
      rootCerts_(trace_), installerSetup_(MakeInstallerSetup()), queue_(trace_),
      reporter_(context_.post, trace_),
      chain_(
          context_, queue_, reporter_, catalogue_.Source(),
          [this](const ItemWork& work) { return CInstaller(installerSetup_).InstallItem(work); }),
      selfUpdate_(
          context_, installFolders_, queue_, reporter_,
          [this] { return updateChecker_.AcceptedVersionList(); },
          updateChecker_.SelfUpdateFolderLock(), [](UINT code) { ExitProcess(code); }),
      links_(context_) {}

InstallerSetup CDownLoadEngine::MakeInstallerSetup() {
    InstallerSetup setup;
    setup.paths = context_.paths;
    setup.folders = DestinationFolders::OfThisSystem(installFolders_);
    setup.cabinetFolders =
        CabinetFolders{installFolders_.systemFolder, installFolders_.windowsFolder};
    setup.trace = &trace_;
    setup.services.controlStatus = [this](const XmlNode* catalogue, int id) {
        return checks_.CheckControlStatus(catalogue, id);
    };
    setup.services.applicationStatus = [this](const XmlNode* catalogue, int id) {
        return checks_.CheckApplicationStatus(catalogue, id);
    };
    setup.services.applyBrowserSetting = [this](const XmlNode* catalogue, int id) {
        ApplyBrowserSetting(catalogue, id);
    };
    setup.services.installRootCert = [this](const XmlNode* catalogue, int id) {
        return rootCerts_.InstallRootCert(catalogue, id);
    };
    setup.services.addAccessRights = AddAccessRights;
    wchar_t classId[64] = {};
    StringFromGUID2(CLSID_DownLoad, classId, 64);
    setup.ownClassId = classId;
    setup.ownModulePath = module_.ModulePath();
    return setup;
}

void CDownLoadEngine::ApplyBrowserSetting(const XmlNode* catalogue, int id) const {
    switch (id) {
    case BrowserItem::kTrustList:
        browser_.ApplyTrustList(catalogue);
        break;
    case BrowserItem::kRefreshMode:
        browser_.ApplyRefreshMode();
        break;
    case BrowserItem::kPopupAllowList:
        browser_.ApplyPopupAllowList(catalogue);
        break;
    case BrowserItem::kPopupBlockerLevel:
        browser_.ApplyPopupBlockerLevel();
        break;
    case BrowserItem::kTrustedZonePolicies:
        browser_.ApplyTrustedZonePolicies();
        break;
    }
}

ListHooks CDownLoadEngine::MakeListHooks() {
    return ListHooksWithFragments(
        [this](const XmlNode* catalogue, int id) {
            return checks_.CheckControlStatus(catalogue, id);
        },
        [this](const XmlNode* catalogue, int id) {
            return checks_.CheckApplicationStatus(catalogue, id);
        });
}

// The queue's jobs use the components declared after it: it is closed first.
CDownLoadEngine::~CDownLoadEngine() {
    queue_.Close();
}

void CDownLoadEngine::PostToPage(UINT message, WPARAM wParam, LPARAM lParam) const {
    context_.post(message, wParam, lParam);
}

// --- Versions --------------------------------------------------------------

std::wstring CDownLoadEngine::GetSystemVersion() const {
    OsDescription os;
    QueryOsVersion(os); // a failed query leaves the texts empty, which the page still gets
    return FormatSystemVersion(os);
}

std::wstring CDownLoadEngine::GetIEVersion(int browserServicePack) const {
    return FormatIeVersion(GetIeMajorVersion(), browserServicePack);
}

short CDownLoadEngine::GetLowVersionSymbol() const {
    return static_cast<short>(CheckLowVersion(trace_).tooOld);
}

// --- Diagnosis and patches ------------------------------------------------

std::wstring CDownLoadEngine::PatchCheck(int mode) {
    return patches_.Check(mode, module_.IeServicePack());
}
