#include "control/download_engine.h"

#include "control/module.h"
#include "control/veyrant_window.h"
#include "envcheck/ie_version.h"
#include "envcheck/low_version.h"
#include "envcheck/os_version.h"
#include "install/http_fetch.h"

ComponentContext CDownLoadEngine::MakeContext(CTovralModule& module, const ::TraceLog& trace,
                                              ConfigurationTexts& texts) {
    ComponentContext context;
    context.paths = SettingsPaths::ForDataFolder(module.DataFolder());
    context.rootUrl = module.RootUrl();
    context.clientFolder = module.HostFolder();
    context.key = RsaPublicKey{module.KeyModulus(), module.KeyExponent()};
    context.trace = &trace;
    context.texts = &texts;
    context.language = [&module] { return module.Language(); };
    context.post = [&module](UINT message, WPARAM wParam, LPARAM lParam) {
        CVeyrantWindow* window = module.MessageWindow();
        PostMessageW(window ? window->Handle() : nullptr, message, wParam, lParam);
    };
    context.fetch = [](const FetchRequest& request) { return FetchUrlToFile(request); };
    return context;
}

CDownLoadEngine::CDownLoadEngine(CTovralModule& module)
    : module_(module),
      trace_(::TraceLog::ForPaths(SettingsPaths::ForDataFolder(module.DataFolder()))),
      context_(MakeContext(module, trace_, texts_)),
      settings_(context_, languageText_,
                [&module](const std::wstring& language) { module.SetLanguage(language); }),
      updateChecker_(context_,
                     InstallFolders::OfThisSystem(module.HostFolder(), module.DataFolder())),
      checks_(context_), diagnosis_(context_, checks_), patches_(context_) {}

CDownLoadEngine::~CDownLoadEngine() = default;

void CDownLoadEngine::PostToPage(UINT message, WPARAM wParam, LPARAM lParam) const {
    context_.post(message, wParam, lParam);
}

std::wstring CDownLoadEngine::InternetConnAddress() const {
    return context_.rootUrl + L"VeyrantSettingV2/Version.cfg";
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

// --- Component list and download chain -----------------------------------
// Until the catalogue has been decrypted there is nothing to list or fetch.

short CDownLoadEngine::StartDownLoad(int) {
    return 0;
}

short CDownLoadEngine::GetStatuBySurrId(int id) {
    if (id >= 5000)
        return 1;
    if (id >= 4000)
        return checks_.CheckApplicationStatus(id);
    if (id >= 2000 && id <= 2999)
        return 4;
    if (id >= 1000 && id <= 1999)
        return checks_.CheckControlStatus(id);
    return 0;
}

std::wstring CDownLoadEngine::GetSysInfoList(const std::wstring&) {
    return L"<Update></Update>";
}

short CDownLoadEngine::SetDownLoadList(const std::wstring& list) {
    downloadListText_ = list;
    return 1;
}

// A stored list that parses is answered with the frame; its entries come from
// the catalogue, which is empty until the component list is built on it.
std::wstring CDownLoadEngine::GetDownLoadList() {
    XmlNode list;
    return list.LoadXml(downloadListText_) ? L"<Update></Update>" : L"";
}

std::wstring CDownLoadEngine::GetStatuByXML() {
    return L"";
}

short CDownLoadEngine::EBankDownLoad(const std::wstring&) {
    return 1;
}

// --- Bank links --------------------------------------------------------------

std::wstring CDownLoadEngine::GetQelLinks() const {
    return L"<Websites>\n</Websites>";
}

std::wstring CDownLoadEngine::GetDynamicLink() const {
    return L"";
}

// --- Diagnosis and patches ------------------------------------------------

std::wstring CDownLoadEngine::PatchCheck(int mode) {
    return patches_.Check(mode, module_.IeServicePack());
}

// --- Self-update -----------------------------------------------------------

short CDownLoadEngine::UpdateBankVeyr() {
    return 0;
}
