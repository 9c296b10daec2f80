#include "install/self_update.h"

#include "common/files.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/xml_escape.h"
#include "config/xml_node.h"
#include "install/signature_files.h"
#include "install/verified_fetch.h"

#include <shellapi.h>

#include <cstring>

namespace {

const wchar_t kUpdaterName[] = L"UpdateFiles.exe";
const wchar_t kHandOffName[] = L"waiter.cfg";

std::wstring Quoted(const wchar_t* name, const std::wstring& value) {
    return std::wstring(L" ") + name + L"=\"" + EscapeXmlAttribute(value) + L"\"";
}

long long ListedVersion(const XmlNode& assembly) {
    return _wtoi64(assembly.GetAttribute(L"Version", L"0").c_str());
}

// The installed versions by lower-case file name; the first entry of a name
// counts. Made once, as lists name hundreds of files.
std::map<std::wstring, long long> InstalledVersionsOf(const XmlNode& localList) {
    std::map<std::wstring, long long> versions;
    for (const XmlNode* assembly : DescendantsNamed(localList, L"assembly"))
        versions.emplace(ToLower(assembly->GetAttribute(L"filename", L"")),
                         ListedVersion(*assembly));
    return versions;
}

// The installed version of a file: its entry in the local update list (0 when absent).
long long InstalledVersion(const std::map<std::wstring, long long>& versions,
                           const std::wstring& filename) {
    const auto found = versions.find(ToLower(filename));
    return found == versions.end() ? 0 : found->second;
}

// Written under another name and then moved over, so the updater never finds
// half a list; the other name never stays behind.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".new";
    bool written = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD stored = 0;
        written = file &&
                  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &stored,
                            nullptr) &&
                  stored == bytes.size();
    }
    if (written && MoveFileExW(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}

} // namespace

std::wstring HandOffText(const std::vector<HandOffFile>& files) {
    std::wstring text = L"<update>\n";
    for (const HandOffFile& file : files)
        text += L"<file" + Quoted(L"filename", file.filename) + Quoted(L"local", file.local) +
                Quoted(L"updatehandle", file.updatehandle) + Quoted(L"regsvr", file.regsvr) +
                L"></file>\n";
    return text + L"</update>";
}

std::string ScrambleHandOffBytes(std::string bytes) {
    const unsigned char key = static_cast<unsigned char>((bytes.size() % 256) ^ 0x6B);
    for (char& byte : bytes)
        byte = static_cast<char>(static_cast<unsigned char>(byte) ^ key);
    return bytes;
}

std::string ScrambleHandOff(const std::wstring& text) {
    std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return ScrambleHandOffBytes(std::move(bytes));
}

bool NeedsReplacing(long long installedVersion, long long serverVersion, bool installedMatches) {
    return installedVersion < serverVersion || !installedMatches;
}

SelfUpdate::SelfUpdate(const ComponentContext& context, InstallFolders folders, WorkQueue& queue,
                       DownloadReporter& reporter, AcceptedVersionList versionList,
                       std::mutex& folderLock, ProcessExit exitProcess)
    : context_(context), folders_(std::move(folders)), queue_(queue), reporter_(reporter),
      versionList_(std::move(versionList)), folderLock_(folderLock),
      exitProcess_(std::move(exitProcess)) {}

void SelfUpdate::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

void SelfUpdate::Fail(const std::wstring& traceLine) {
    Trace(traceLine);
    reporter_.SelfUpdateFailed();
    pending_ = false;
}

short SelfUpdate::UpdateBankVeyr() {
    pageThread_.Expect(context_.Trace(), L"UpdateBankVeyr");
    if (pending_) {
        // The update in work goes on; the page is told nothing new.
        Trace(L"失败事件：自动更新正在进行，忽略本次请求");
        return 0;
    }
    std::optional<std::wstring> text = versionList_();
    XmlNode list;
    if (!text || !list.LoadXml(*text)) {
        Trace(L"失败事件：没有通过检查的版本文件，不能自动更新");
        return 0;
    }
    for (const auto& entry : list.FindChildOrSelf(L"Files")->Children()) {
        if (!IsSelfUpdateItem(entry->GetIntAttribute(L"id", 0)))
            continue;
        const std::wstring name = entry->GetAttribute(L"Name", L"");
        const std::wstring url = entry->GetAttribute(L"Url", L"");
        const ListedChecksums listed = ListedChecksumsOf(*entry);
        if (!IsSafeFileName(name)) {
            reporter_.BeginSelfUpdate();
            Fail(L"失败事件：" + name + L"文件名不合法");
            return 0;
        }
        Trace(L"成功事件：开始下载Update.cfg");
        pending_ = true;
        WorkQueue::Job job{L"UpdateBankVeyr", [this, name, url, listed] { Run(name, url, listed); },
                           [this] { Fail(L"失败事件：自动更新中断"); }};
        if (queue_.Enqueue(std::move(job)))
            return 1;
        reporter_.BeginSelfUpdate();
        Fail(L"失败事件：" + name + L"下载失败");
        return 0;
    }
    return 0;
}

// Deletes every file of the self-update folder: nothing an earlier hand-off
// left (a list, an updater that failed its check, files of another list) may
// be handed to the updater now. Called with the folder's lock held, so no
// update check is using the folder.
void SelfUpdate::RemoveEarlierHandOff() const {
    for (const std::wstring& name : FilesIn(context_.paths.selfUpdateFolder)) {
        const std::wstring path = context_.paths.selfUpdateFolder + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()))
            Trace(FormatW(L"失败事件：删除旧文件失败 错误值：%lu ", GetLastError()) + name);
    }
}

void SelfUpdate::Run(const std::wstring& name, const std::wstring& url,
                     const ListedChecksums& listed) {
    std::unique_lock folder(folderLock_);
    reporter_.BeginSelfUpdate();
    RemoveEarlierHandOff();
    CreateFolderChain(context_.paths.selfUpdateFolder);
    const std::wstring listPath = context_.paths.selfUpdateFolder + name;
    if (!FetchUpdateList(url, listPath, listed))
        return;
    std::optional<std::vector<Queued>> queue = ReadUpdateList(listPath);
    if (!queue || !FetchAll(*queue))
        return;
    folder.unlock();
    HandOff(*queue);
}

// The update list with its signature; when the accepted version list gives
// its checksums, only the list that matches them (the one the check accepted).
bool SelfUpdate::FetchUpdateList(const std::wstring& url, const std::wstring& path,
                                 const ListedChecksums& listed) {
    const std::wstring name = FileNamePart(path);
    FetchSignatureOf(context_.fetch, url, path);
    FetchVerdict verdict = FetchVerdict::FetchFailed;
    if (listed.mac.empty())
        verdict = context_.fetch(FetchRequest{url, path, kLargestEncryptedFile, {}, {}})
                      ? FetchVerdict::Stored
                      : FetchVerdict::FetchFailed;
    else
        verdict = FetchVerified(context_.fetch, {url, path, listed, kLargestEncryptedFile}).verdict;
    switch (verdict) {
    case FetchVerdict::Stored:
        Trace(L"成功事件：" + name + L"下载成功");
        return true;
    case FetchVerdict::ChecksumFailed:
        Fail(L"失败事件：" + name + L"校验失败");
        return false;
    case FetchVerdict::FetchFailed:
        break;
    }
    Fail(L"失败事件：" + name + L"下载失败");
    return false;
}

// Reads the fetched update list against what is installed: what is not
// current, with "waiter.cfg" written for it; nothing after reporting a failure.
std::optional<std::vector<SelfUpdate::Queued>>
SelfUpdate::ReadUpdateList(const std::wstring& path) {
    const CDravikCrypto crypto = context_.Crypto();
    std::optional<std::wstring> text = crypto.DecryptFromFile(path);
    XmlNode list;
    if (!text || !list.LoadXml(*text)) {
        Fail(L"失败事件：Update.cfg文件解密失败");
        return std::nullopt;
    }
    XmlNode localList; // stays empty when the local list cannot be read
    if (auto local = crypto.DecryptFromFile(context_.paths.updateListFile))
        localList.LoadXml(*local);
    const XmlNode* version =
        EqualsNoCase(list.GetName(), L"FileVersion") ? &list : list.FindDescendant(L"FileVersion");
    const std::wstring root = version ? version->GetAttribute(L"root", L"") : L"";
    const std::map<std::wstring, long long> installed = InstalledVersionsOf(localList);
    std::vector<Queued> queue;
    for (const XmlNode* assembly : DescendantsNamed(list, L"assembly")) {
        if (!AddAssembly(*assembly, root, installed, queue))
            return std::nullopt;
    }
    if (queue.empty())
        return queue;
    std::vector<HandOffFile> listed;
    for (const Queued& queued : queue)
        listed.push_back(queued.file);
    const std::wstring waiter = context_.paths.selfUpdateFolder + kHandOffName;
    if (!WriteWholeFile(waiter, ScrambleHandOff(HandOffText(listed)))) {
        Fail(L"失败事件：waiter.cfg写入失败");
        return std::nullopt;
    }
    return queue;
}

bool SelfUpdate::AddAssembly(const XmlNode& assembly, const std::wstring& root,
                             const std::map<std::wstring, long long>& installed,
                             std::vector<Queued>& queue) {
    HandOffFile file{assembly.GetAttribute(L"filename", L""), assembly.GetAttribute(L"local", L""),
                     assembly.GetAttribute(L"updatehandle", L""),
                     assembly.GetAttribute(L"regsvr", L"")};
    if (EqualsNoCase(file.updatehandle, L"delete"))
        return true;
    std::optional<std::wstring> folder = InstalledFolderFor(file.local, folders_);
    // A value the list cannot carry would make the updater read something else.
    if (!IsSafeFileName(file.filename) || !folder || !IsXmlText(file.local) ||
        !IsXmlText(file.updatehandle) || !IsXmlText(file.regsvr)) {
        Fail(L"失败事件：" + file.filename + L"文件名不合法");
        return false;
    }
    const ListedChecksums listed = ListedChecksumsOf(assembly);
    // With signatures required, what the updater installs must be bound by
    // the signed list: a CRC alone can be matched by anyone.
    if (context_.signatures.policy == SignaturePolicy::Required && listed.sha256.empty()) {
        Fail(L"失败事件：" + file.filename + L"未列出sha256");
        return false;
    }
    if (!NeedsReplacing(InstalledVersion(installed, file.filename), ListedVersion(assembly),
                        FileMatchesListed(*folder + file.filename, listed)))
        return true;
    const std::wstring url = assembly.GetAttribute(L"url", L"");
    queue.push_back(Queued{std::move(file), root + url, url, listed});
    return true;
}

// Every queued file, each verified as it arrives; false after reporting a failure.
bool SelfUpdate::FetchAll(const std::vector<Queued>& queue) {
    for (const Queued& queued : queue) {
        const std::wstring path = context_.paths.selfUpdateFolder + queued.file.filename;
        switch (
            FetchVerified(context_.fetch, {queued.url, path, queued.listed, kLargestComponentFile})
                .verdict) {
        case FetchVerdict::Stored:
            Trace(L"成功事件：" + queued.file.filename + L"下载成功");
            continue;
        case FetchVerdict::ChecksumFailed:
            Fail(L"失败事件：" + queued.listedUrl + L"校验失败");
            return false;
        case FetchVerdict::FetchFailed:
            Fail(L"失败事件：" + queued.file.filename + L"下载失败");
            return false;
        }
    }
    return true;
}

// The last step: the updater is started and the process ends. Work the page
// queued meanwhile runs first, so ending the process drops none of it.
void SelfUpdate::HandOff(const std::vector<Queued>& queue) {
    if (queue_.Waiting() > 0) {
        WorkQueue::Job job{L"UpdateBankVeyr", [this, queue] { HandOff(queue); },
                           [this] { Fail(L"失败事件：自动更新中断"); }};
        if (queue_.Enqueue(std::move(job)))
            return;
    }
    std::lock_guard folder(folderLock_);
    if (!PlaceUpdater(queue))
        return;
    const std::wstring installed = context_.clientFolder + kUpdaterName;
    const std::wstring pid = FormatW(L"%lu", GetCurrentProcessId());
    auto started =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", installed.c_str(), pid.c_str(),
                                                context_.clientFolder.c_str(), SW_SHOWNORMAL));
    if (started <= 32) {
        Fail(L"启动UpdateFiles.exe失败");
        return;
    }
    reporter_.SelfUpdateEnded();
    pending_ = false;
    exitProcess_(1);
}

// A new updater fetched with this hand-off replaces the installed one, checked
// once more as it is moved: the program started is the one that was verified.
// False after reporting a failure.
bool SelfUpdate::PlaceUpdater(const std::vector<Queued>& queue) {
    const Queued* updater = nullptr;
    for (const Queued& queued : queue) {
        if (EqualsNoCase(queued.file.filename, kUpdaterName))
            updater = &queued;
    }
    if (!updater)
        return true; // the installed updater is current
    const std::wstring fresh = context_.paths.selfUpdateFolder + kUpdaterName;
    const std::wstring installed = context_.clientFolder + kUpdaterName;
    if (!FileMatchesListed(fresh, updater->listed)) {
        Fail(L"失败事件：updateFiles.exe更新失败 校验失败");
        return false;
    }
    // Replaced in one step, so a failed move leaves the installed updater in place.
    if (!MoveFileExW(fresh.c_str(), installed.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        Trace(FormatW(L"失败事件：updateFiles.exe更新失败 错误值：%d", GetLastError()));
        return true; // the installed updater still applies the list
    }
    if (!FileMatchesListed(installed, updater->listed)) {
        Fail(L"失败事件：updateFiles.exe更新失败 校验失败");
        return false;
    }
    Trace(L"成功事件：updateFiles.exe已更新");
    return true;
}
