#include "install/update_check.h"

#include "common/com_types.h"
#include "common/files.h"
#include "common/guard.h"
#include "common/handles.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "crypto/checksum.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/listed_file.h"
#include "crypto/sha256.h"
#include "config/xml_node.h"
#include "install/signature_files.h"

#include <shlwapi.h>

namespace {

// What a mismatching installed file is traced with: the listed and actual
// checksum texts, and the SHA-256 texts where the list has one.
std::wstring MismatchDetail(const ListedChecksums& listed, const FileChecksums& actual) {
    std::wstring detail = L" 服务器：" + listed.mac + L" 本地：" + actual.mac;
    if (!listed.sha256.empty())
        detail += L" sha256 服务器：" + listed.sha256 + L" 本地：" + actual.sha256;
    return detail;
}

} // namespace

struct UpdateChecker::ListEntry {
    int id = 0;
    std::wstring name; // a single file name of the settings folder (checked when read)
    std::wstring url;
    long long version = 0;
    ListedChecksums listed;
};

// What each pass writes about a fetch; a null text writes nothing.
struct UpdateChecker::FetchEvents {
    const wchar_t* fetched;
    const wchar_t* fetchFailed;
    const wchar_t* checkPassed;
    const wchar_t* checkFailed;
};

UpdateChecker::UpdateChecker(const ComponentContext& context, InstallFolders installFolders)
    : context_(context), installFolders_(std::move(installFolders)),
      userSettings_(context.paths.userSettingsFile) {}

void UpdateChecker::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

void UpdateChecker::TraceEntry(bool success, const ListEntry& entry, const wchar_t* event) const {
    Trace((success ? L"成功事件：" : L"失败事件：") + entry.name + event);
}

// A local copy that matches the list is current only if it would also be
// accepted when decrypted: a copy without a valid signature is fetched again.
bool UpdateChecker::LocalCopyCurrent(const ListEntry& entry) const {
    const std::wstring local = context_.paths.settingsFolder + entry.name;
    // Read once: the bytes held to the list are the bytes whose signature is checked.
    std::optional<std::string> file = CDravikCrypto::ReadWholeFile(local);
    return file && BytesMatchListed(*file, entry.listed) &&
           context_.Crypto().IsAuthentic(local, *file);
}

void UpdateChecker::PostResult(int code) const {
    context_.post(VeyrantMessage::kUpdateResult, static_cast<WPARAM>(code), 0);
}

std::optional<std::wstring> UpdateChecker::AcceptedVersionList() const {
    std::lock_guard guard(stateLock_);
    return acceptedVersionList_;
}

// --- QueryUpdate ---------------------------------------------------------------

bool UpdateChecker::StartQueryUpdate() {
    thread_.reset(StartWorkerThread([this] {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        if (!apartment.usable())
            Trace(FormatW(L"失败事件：QueryUpdate COM初始化失败 错误值：0x%08lX",
                          static_cast<unsigned long>(apartment.result())));
        RunQueryUpdate(); // without COM the lists do not parse: the page still hears a code
    }));
    return static_cast<bool>(thread_);
}

int UpdateChecker::RunQueryUpdate() {
    std::lock_guard run(runLock_);
    {
        // Until this check accepts its list, the self-update has none.
        std::lock_guard guard(stateLock_);
        acceptedVersionList_.reset();
    }
    // A check that throws still tells the page, with the code of an unusable list.
    int code = UpdateCode::kInvalidList;
    RunGuardedWork(
        context_.Trace(), L"QueryUpdate", [&] { code = Check(); }, nullptr);
    PostResult(code);
    RunGuardedWork(
        context_.Trace(), L"QueryUpdate",
        [&] {
            Trace(FormatW(L"成功事件：完成发送消息%d", code));
            DeleteWithSignature(context_.paths.selfUpdateFolder + L"Version.cfg");
            Trace(L"成功事件：删除新Version.cfg文件完成");
        },
        nullptr);
    return code;
}

// Fetches the server's version list and compares, or falls back on the local
// files when it cannot be fetched; the code to post.
int UpdateChecker::Check() {
    const std::wstring fetched = context_.paths.selfUpdateFolder + L"Version.cfg";
    CreateFolderChain(fetched);
    FetchRequest request{context_.rootUrl + L"VeyrantSettingV2/Version.cfg", fetched,
                         kLargestEncryptedFile};
    if (context_.fetch(request)) {
        FetchSignatureOf(context_.fetch, request.url, fetched);
        Trace(L"成功事件：版本文件下载成功");
        return Compare();
    }
    if (!PathFileExistsW(context_.paths.versionListFile.c_str())) {
        Trace(L"失败事件：本地版本文件不存在");
        return UpdateCode::kNoVersionList;
    }
    Trace(L"失败事件：版本文件下载失败，开始检查本地其他配置文件");
    if (!VerifyLocalCompanionFiles()) {
        Trace(L"失败事件：验证本地其他配置文件失败");
        return UpdateCode::kNoVersionList;
    }
    DecryptConfigurationSet(context_.paths.settingsFolder, context_.Crypto(), context_.Trace(),
                            *context_.texts);
    return RunApplicationCheckStep();
}

// The application file check as a step of the update check: 46, 47 or 48.
int UpdateChecker::RunApplicationCheckStep() {
    Trace(L"成功事件：开始应用程序文件校验");
    switch (static_cast<AppCheck>(ApplicationFileCheck())) {
    case AppCheck::UpdateListUnreadable:
        Trace(L"失败事件：Update.cfg文件解密失败或内容不合法");
        return UpdateCode::kInvalidList;
    case AppCheck::FileMismatch:
        Trace(L"失败事件：应用程序文件校验失败");
        return UpdateCode::kApplicationFileBad;
    default:
        Trace(L"成功事件：应用程序文件校验成功");
        return UpdateCode::kCompleted;
    }
}

// --- Comparison with the fetched server list ------------------------------------

int UpdateChecker::Compare() {
    const std::wstring fetched = context_.paths.selfUpdateFolder + L"Version.cfg";
    auto text = context_.Crypto().DecryptFromFile(fetched);
    if (!text)
        return UpdateCode::kInvalidList;
    XmlNode list;
    if (!list.LoadXml(*text)) {
        Trace(L"失败事件：解析版本文件失败！");
        return UpdateCode::kInvalidList;
    }
    unsigned long long serial = 0;
    if (int code = CheckSerial(list, serial))
        return code;
    std::vector<ListEntry> entries;
    for (const auto& child : list.FindChildOrSelf(L"Files")->Children()) {
        entries.push_back(ListEntry{
            child->GetIntAttribute(L"id", 0), child->GetAttribute(L"Name", L""),
            child->GetAttribute(L"Url", L""),
            _wtoi64(child->GetAttribute(L"Version", L"0").c_str()), ListedChecksumsOf(*child)});
    }
    // A name from the server is one file of the settings folder, never a path.
    for (const ListEntry& entry : entries) {
        if (!IsSafeFileName(entry.name)) {
            TraceEntry(false, entry, L"文件名不合法");
            return UpdateCode::kInvalidList;
        }
    }
    if (int code = FirstPass(entries))
        return code;
    long long localVersion = 0;
    if (int code = UpdateListPass(entries, localVersion))
        return code;
    const int appCheck = RunApplicationCheckStep();
    if (appCheck == UpdateCode::kApplicationFileBad) {
        // The list itself passed: the self-update may repair the client with it.
        RememberSerial(serial);
        std::lock_guard guard(stateLock_);
        acceptedVersionList_ = *text;
    }
    if (appCheck != UpdateCode::kCompleted)
        return appCheck;
    long long serverVersion = 0;
    for (const ListEntry& entry : entries) {
        if (IsSelfUpdateItem(entry.id)) {
            serverVersion = entry.version;
            break;
        }
    }
    Trace(FormatW(L"成功事件：新版本：%I64d 本地版本：%I64d", serverVersion, localVersion));
    if (int code = ThirdPass(entries))
        return code;

    if (MoveWithSignature(fetched, context_.paths.versionListFile))
        Trace(L"成功事件：版本文件移动成功");
    else
        Trace(L"失败事件：版本文件移动失败");
    DecryptConfigurationSet(context_.paths.settingsFolder, context_.Crypto(), context_.Trace(),
                            *context_.texts);
    RememberSerial(serial);
    std::lock_guard guard(stateLock_);
    acceptedVersionList_ = *text;
    if (pendingResult_ != 0) {
        Trace(L"成功事件：Utility文件有更新");
        return pendingResult_;
    }
    Trace(L"成功事件：启动检查完成");
    return UpdateCode::kCompleted;
}

// Fetches an entry (with its signature) into the self-update folder, verifies
// it and moves both over the settings folder's copies; 0, or the code that
// ends the comparison. A file that fails its checksums is deleted, so nothing
// unverified stays behind.
int UpdateChecker::FetchIntoPlace(const ListEntry& entry, const FetchEvents& events) {
    auto trace = [&](bool success, const wchar_t* event) {
        if (event)
            TraceEntry(success, entry, event);
    };
    const std::wstring downloaded = context_.paths.selfUpdateFolder + entry.name;
    if (!context_.fetch(FetchRequest{entry.url, downloaded, kLargestEncryptedFile})) {
        trace(false, events.fetchFailed);
        return UpdateCode::kFetchFailed;
    }
    trace(true, events.fetched);
    FetchSignatureOf(context_.fetch, entry.url, downloaded);
    // A file the signature rule refuses is no better than one whose checksum
    // fails: it is not moved into place and the check ends with 46.
    std::optional<std::string> bytes = CDravikCrypto::ReadWholeFile(downloaded);
    if (!bytes || !BytesMatchListed(*bytes, entry.listed) ||
        !context_.Crypto().IsAuthentic(downloaded, *bytes)) {
        trace(false, events.checkFailed);
        DeleteWithSignature(downloaded);
        return UpdateCode::kInvalidList;
    }
    trace(true, events.checkPassed);
    if (!MoveWithSignature(downloaded, context_.paths.settingsFolder + entry.name)) {
        TraceEntry(false, entry, L"文件移动失败");
        return UpdateCode::kMoveFailed;
    }
    TraceEntry(true, entry, L"文件移动成功");
    return 0;
}

// Files the settings folder does not have yet are fetched first.
int UpdateChecker::FirstPass(const std::vector<ListEntry>& entries) {
    const FetchEvents events{L"文件下载成功", L"文件下载失败", L"文件验证成功", L"文件验证失败"};
    for (const ListEntry& entry : entries) {
        const std::wstring local = context_.paths.settingsFolder + entry.name;
        if (PathFileExistsW(local.c_str()))
            continue;
        TraceEntry(false, entry, L"文件不存在");
        CreateFolderChain(local);
        if (int code = FetchIntoPlace(entry, events))
            return code;
    }
    return 0;
}

// The update list (id 50 or 51) is brought up to date before the application
// files are checked against it.
int UpdateChecker::UpdateListPass(const std::vector<ListEntry>& entries, long long& localVersion) {
    for (const ListEntry& entry : entries) {
        if (!IsSelfUpdateItem(entry.id))
            continue;
        const std::wstring local = context_.paths.settingsFolder + entry.name;
        localVersion = ReadEncryptedFileVersion(local, context_.Crypto());
        if (LocalCopyCurrent(entry)) {
            TraceEntry(true, entry, L"本地文件存在且校验成功");
            return 0;
        }
        TraceEntry(false, entry, L"文件校验失败");
        return FetchIntoPlace(entry, {nullptr, L"文件下载失败", L"文件校验成功", L"文件校验失败"});
    }
    return 0;
}

// Every other file whose copy does not match is replaced; ids 54 and 55 that
// are newer than the installed copy become the check's result.
int UpdateChecker::ThirdPass(const std::vector<ListEntry>& entries) {
    for (const ListEntry& entry : entries) {
        if (IsSelfUpdateItem(entry.id))
            continue;
        if (LocalCopyCurrent(entry))
            continue;
        TraceEntry(false, entry, L"校验失败");
        long long installed =
            ReadEncryptedFileVersion(context_.paths.settingsFolder + entry.name, context_.Crypto());
        if (IsCatalogueUpdateItem(entry.id) && (entry.version > installed || entry.version == 0)) {
            std::lock_guard guard(stateLock_);
            pendingResult_ = entry.id;
            TraceEntry(true, entry, L"需要升级");
        }
        if (int code = FetchIntoPlace(entry, {nullptr, L"下载失败", nullptr, L"新文件校验失败"}))
            return code;
    }
    return 0;
}

// --- Local verification ---------------------------------------------------------

int UpdateChecker::ApplicationFileCheck() const {
    if (userSettings_.ApplicationCheckDisabled())
        return static_cast<int>(AppCheck::Passed);
    auto text = context_.Crypto().DecryptFromFile(context_.paths.updateListFile);
    XmlNode list;
    // A list that does not parse counts as one that cannot be decrypted.
    if (!text || !list.LoadXml(*text)) {
        Trace(L"失败事件：Update.cfg解密失败");
        return static_cast<int>(AppCheck::UpdateListUnreadable);
    }
    Trace(L"成功事件：Update.cfg解密成功");
    for (const XmlNode* assembly : DescendantsNamed(list, L"assembly")) {
        if (EqualsNoCase(assembly->GetAttribute(L"updatehandle", L""), L"delete"))
            continue;
        std::wstring name = FileNamePart(assembly->GetAttribute(L"url", L""));
        std::wstring local = assembly->GetAttribute(L"local", L"");
        std::optional<std::wstring> folder = InstalledFolderFor(local, installFolders_);
        std::wstring path = folder.value_or(local) + name;
        const ListedChecksums listed = ListedChecksumsOf(*assembly);
        // A device name would block the read, a network folder would be asked
        // for the user's credentials: neither holds an installed file.
        const bool readable = folder && IsSafeFileName(name);
        // One read gives both the verdict and the texts traced on a mismatch.
        const FileChecksums actual =
            readable ? FileChecksumsOf(path, !listed.sha256.empty()) : FileChecksums{};
        if (!readable || !ChecksumsMatchListed(actual, listed)) {
            Trace(L"失败事件：" + path + L"校验失败" + MismatchDetail(listed, actual));
            return static_cast<int>(AppCheck::FileMismatch);
        }
    }
    return static_cast<int>(AppCheck::Passed);
}

bool UpdateChecker::VerifyLocalCompanionFiles() const {
    auto text = context_.Crypto().DecryptFromFile(context_.paths.versionListFile);
    if (!text) {
        Trace(L"失败事件：本地Version.cfg解密失败");
        return false;
    }
    XmlNode list;
    if (!list.LoadXml(*text)) {
        Trace(L"失败事件：本地Version.cfg解析失败");
        return false;
    }
    for (const auto& child : list.FindChildOrSelf(L"Files")->Children()) {
        std::wstring name = child->GetAttribute(L"Name", L"");
        const std::wstring path = context_.paths.settingsFolder + name;
        // One read: the bytes held to the list are the bytes whose signature is checked.
        std::optional<std::string> bytes =
            IsSafeFileName(name) ? CDravikCrypto::ReadWholeFile(path) : std::nullopt;
        if (!bytes || !BytesMatchListed(*bytes, ListedChecksumsOf(*child)) ||
            !context_.Crypto().IsAuthentic(path, *bytes)) {
            Trace(L"失败事件：" + name + L"本地文件校验失败");
            return false;
        }
    }
    Trace(L"成功事件：本地配置文件校验成功");
    return true;
}

// Runs on the page's thread beside a possibly running check: it moves no
// files and takes no lock of the check, so the page never waits for a fetch.
short UpdateChecker::UpdateCancel() {
    Trace(L"成功事件：取消自动更新或无更新内容");
    if (!VerifyLocalCompanionFiles()) {
        Trace(L"失败事件：本地其他版本文件校验失败");
        return CancelCode::kCompanionFilesBad;
    }
    if (!DecryptConfigurationSet(context_.paths.settingsFolder, context_.Crypto(), context_.Trace(),
                                 *context_.texts)) {
        Trace(L"失败事件：版本文件加载失败");
        return CancelCode::kConfigurationUnreadable;
    }
    int code = RunApplicationCheckStep();
    return code == UpdateCode::kCompleted ? CancelCode::kVerified : static_cast<short>(code);
}

// --- The version list's serial ----------------------------------------------------

std::optional<unsigned long long> VersionSerialOf(const XmlNode& list) {
    const std::wstring text = list.GetAttribute(L"serial", L"");
    if (text.empty())
        return 0;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - L'0');
        if (value > (~0ull - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

unsigned long long StoredSerial(const std::wstring& path) {
    std::optional<std::string> text = ReadWholeDiskFile(path, FILE_SHARE_READ, 64);
    unsigned long long value = 0;
    if (!text || text->empty())
        return 0;
    for (char c : *text) {
        if (c < '0' || c > '9' || value > (~0ull - 9) / 10)
            return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

} // namespace

// 0, or 46 when the list's serial is unreadable or older than one accepted
// before: an older list the bank once signed is not taken again.
int UpdateChecker::CheckSerial(const XmlNode& list, unsigned long long& serial) const {
    std::optional<unsigned long long> listed = VersionSerialOf(list);
    const unsigned long long highest = StoredSerial(context_.paths.VersionSerialFile());
    if (!listed || !SerialAcceptable(*listed, highest)) {
        Trace(FormatW(L"失败事件：版本文件序号无效或低于已接受的序号%I64u", highest));
        return UpdateCode::kInvalidList;
    }
    serial = *listed;
    return 0;
}

// Written under another name and moved over, so a cut write keeps the old number.
void UpdateChecker::RememberSerial(unsigned long long serial) const {
    const std::wstring path = context_.paths.VersionSerialFile();
    if (serial == 0 || serial <= StoredSerial(path))
        return;
    const std::string text = FormatA("%I64u", serial);
    const std::wstring temporary = path + L".new";
    bool written = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD stored = 0;
        written =
            file &&
            WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &stored, nullptr) &&
            stored == text.size();
    }
    if (!written || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        Trace(L"失败事件：版本文件序号保存失败");
    }
}
