#include "control/download_engine.h"

#include "common/text.h"
#include "common/worker_thread.h"
#include "control/module.h"
#include "control/veyrant_window.h"
#include "envcheck/ie_version.h"
#include "envcheck/low_version.h"
#include "envcheck/os_version.h"

namespace {

UpdateCheckSetup SetupFor(const CTovralModule& module, const SettingsPaths& paths) {
    return UpdateCheckSetup{paths, module.RootUrl(),
                            InstallFolders::OfThisSystem(module.HostFolder(), module.DataFolder()),
                            RsaPublicKey{module.KeyModulus(), module.KeyExponent()}};
}

} // namespace

CDownLoadEngine::CDownLoadEngine(CTovralModule& module)
    : module_(module), paths_(SettingsPaths::ForDataFolder(module.DataFolder())),
      trace_(paths_.logFolder, paths_.userSettingsFile), userSettings_(paths_.userSettingsFile),
      updateChecker_(SetupFor(module, paths_), trace_, texts_, currentFetch_) {}

CDownLoadEngine::~CDownLoadEngine() = default;

void CDownLoadEngine::TraceLog(const std::wstring& text, int level) const {
    trace_.Write(text, level);
}

void CDownLoadEngine::PostToPage(UINT message, WPARAM wParam, LPARAM lParam) const {
    CVeyrantWindow* window = module_.MessageWindow();
    PostMessageW(window ? window->Handle() : nullptr, message, wParam, lParam);
}

short CDownLoadEngine::SetLanguage(const std::wstring& language) {
    bool stored = userSettings_.StoreLanguage(language);
    module_.SetLanguage(language);
    LoadLanguageText(language);
    return stored ? 1 : 0;
}

void CDownLoadEngine::LoadLanguageText(const std::wstring& language) {
    languageText_.LoadXml(texts_.LanguageText(language));
    languageTextLoaded_ = true;
}

short CDownLoadEngine::SaveUserType(int user, int cert, int usb) {
    return userSettings_.StoreUserType(UserType{user, cert, usb}) ? 1 : 0;
}

UserType CDownLoadEngine::GetUserType(const UserType& callerValues) {
    UserType type = userSettings_.LoadUserType(callerValues);
    std::lock_guard guard(userTypeLock_);
    userType_ = type;
    return type;
}

std::wstring CDownLoadEngine::InternetConnAddress() const {
    return module_.RootUrl() + L"VeyrantSettingV2/Version.cfg";
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
    int osMajor = 0, osMinor = 0, ieMajor = 0;
    return static_cast<short>(CheckLowVersion(osMajor, osMinor, ieMajor, trace_));
}

// --- Update check ----------------------------------------------------------

bool CDownLoadEngine::QueryUpdate() {
    updateThread_.reset(StartWorkerThread([this] {
        CoInitialize(nullptr);
        updateChecker_.RunQueryUpdate(
            [this](int code) { PostToPage(VeyrantMessage::kUpdateResult, code, 0); });
        CoUninitialize();
    }));
    return static_cast<bool>(updateThread_);
}

short CDownLoadEngine::UpdateCancel() { return updateChecker_.UpdateCancel(); }

// --- Component list and download chain -----------------------------------
// Until the catalogue has been decrypted there is nothing to list or fetch.

short CDownLoadEngine::StartDownLoad(int) { return 0; }

short CDownLoadEngine::GetStatuBySurrId(int id) {
    if (id >= 5000)
        return 1;
    if (id >= 2000 && id <= 2999)
        return 4;
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

std::wstring CDownLoadEngine::GetStatuByXML() { return L""; }

short CDownLoadEngine::EBankDownLoad(const std::wstring&) { return 1; }

// --- Bank links --------------------------------------------------------------

std::wstring CDownLoadEngine::GetQelLinks() const { return L"<Websites>\n</Websites>"; }

std::wstring CDownLoadEngine::GetDynamicLink() const { return L""; }

// --- Diagnosis and patches ------------------------------------------------

std::wstring CDownLoadEngine::GetSystemInfo() { return L""; }

std::wstring CDownLoadEngine::DiagnosisResult() { return L""; }

short CDownLoadEngine::OpenSysInfoFile() { return 0; }

std::wstring CDownLoadEngine::PatchCheck(int) { return L""; }

// --- Self-update -----------------------------------------------------------

short CDownLoadEngine::UpdateBankVeyr() { return 0; }
