#include "control/download_engine.h"

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
      settings_(context_, languageText_,
                [&module](const std::wstring& language) { module.SetLanguage(language); }),
      installFolders_(InstallFolders::OfThisSystem(module.HostFolder(), module.DataFolder())),
      updateChecker_(context_, installFolders_), checks_(context_), diagnosis_(context_, checks_),
      patches_(context_), lists_(context_, languageText_, MakeListHooks(),
                                 [this] {
                                     return settings_.GetUserType(UserType{0, 0, 0});
                                 }),
      browser_(context_,
               [this] {
                   LowVersionCheck versions = CheckLowVersion(trace_);
                   return MajorVersions{versions.osMajor, versions.ieMajor};
               }),
      rootCerts_(context_), installerSetup_(MakeInstallerSetup()),
      chain_(
          context_,
          [this](int id, bool lastItem) { CInstaller(installerSetup_, lastItem).InstallItem(id); }),
      selfUpdate_(
          context_, installFolders_, chain_, [this] { return updateChecker_.VersionListText(); },
          [](UINT code) { ExitProcess(code); }),
      links_(context_) {
    chain_.SetSelfUpdateStep([this] { selfUpdate_.OnFileFetched(); });
}

InstallerSetup CDownLoadEngine::MakeInstallerSetup() {
    InstallerSetup setup;
    setup.paths = context_.paths;
    setup.folders = DestinationFolders::OfThisSystem(installFolders_);
    setup.cabinetFolders =
        CabinetFolders{installFolders_.systemFolder, installFolders_.windowsFolder};
    setup.catalogueText = LanguageCatalogue(context_);
    setup.trace = &trace_;
    setup.post = context_.post;
    setup.services.controlStatus = [this](int id) { return checks_.CheckControlStatus(id); };
    setup.services.applicationStatus = [this](int id) {
        return checks_.CheckApplicationStatus(id);
    };
    setup.services.applyBrowserSetting = [this](int id) { ApplyBrowserSetting(id); };
    setup.services.installRootCert = [this](int id) { rootCerts_.InstallRootCert(id); };
    setup.services.addAccessRights = AddAccessRights;
    return setup;
}

void CDownLoadEngine::ApplyBrowserSetting(int id) const {
    switch (id) {
    case BrowserItem::kTrustList:
        browser_.ApplyTrustList();
        break;
    case BrowserItem::kRefreshMode:
        browser_.ApplyRefreshMode();
        break;
    case BrowserItem::kPopupAllowList:
        browser_.ApplyPopupAllowList();
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
    return ListHooksWithFragments([this](int id) { return checks_.CheckControlStatus(id); },
                                  [this](int id) { return checks_.CheckApplicationStatus(id); });
}

CDownLoadEngine::~CDownLoadEngine() = default;

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
