#include "install/self_update.h"

#include "common/files.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/listed_file.h"
#include "config/xml_node.h"
#include "install/signature_files.h"

#include <shellapi.h>

#include <map>

namespace {

constexpr int kUpdateListItem = 50;

std::wstring Quoted(const wchar_t* name, const std::wstring& value) {
    return std::wstring(L" ") + name + L"=\"" + value + L"\"";
}

// A value the updater reads between quotes, on one line: none of these may
// appear, or the list would say something else than what was meant.
bool FitsTheList(const std::wstring& value) {
    return value.find_first_of(L"\"<>\r\n") == std::wstring::npos;
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
// half a list.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".new";
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) ||
            written != bytes.size())
            return false;
    }
    // Replaced in one step: no moment without a list, and a failed move keeps the old one.
    return MoveFileExW(temporary.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
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

SelfUpdate::SelfUpdate(const ComponentContext& context, InstallFolders folders,
                       DownloadChain& chain, std::function<std::wstring()> versionListText,
                       ProcessExit exitProcess)
    : context_(context), folders_(std::move(folders)), chain_(chain),
      versionListText_(std::move(versionListText)), exitProcess_(std::move(exitProcess)) {}

void SelfUpdate::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

void SelfUpdate::Fail(const std::wstring& traceLine) {
    Trace(traceLine);
    context_.post(VeyrantMessage::kSelfUpdateError, 1, 0);
}

short SelfUpdate::UpdateBankVeyr() {
    XmlNode list;
    if (!list.LoadXml(versionListText_()))
        return 0;
    for (const auto& entry : list.FindChildOrSelf(L"Files")->Children()) {
        const int id = entry->GetIntAttribute(L"id", 0);
        if (!IsSelfUpdateItem(id))
            continue;
        const std::wstring name = entry->GetAttribute(L"Name", L"");
        if (!IsSafeFileName(name)) {
            Fail(L"失败事件：" + name + L"文件名不合法");
            return 0;
        }
        Trace(L"成功事件：开始下载Update.cfg");
        CurrentItem item{
            id, name, entry->GetAttribute(L"Url", L""), context_.paths.selfUpdateFolder + name, {}};
        // Reset only with the chain's turn: an update in work keeps its queue.
        if (chain_.FetchSelfUpdateFile(std::move(item), [this] { Reset(); }))
            return 1;
        // The chain is busy with another item (or no worker could start).
        Fail(L"失败事件：" + name + L"下载失败");
        return 0;
    }
    return 0;
}

void SelfUpdate::Reset() {
    std::lock_guard guard(lock_);
    listFetched_ = false;
    queue_.clear();
    position_ = 0;
}

// The lock is held only to read or swap the queue: the fetches and the
// decryption run without it, so the page never waits for the network.
void SelfUpdate::OnFileFetched() {
    bool listFetched = false;
    {
        std::lock_guard guard(lock_);
        listFetched = listFetched_;
    }
    if (!listFetched) {
        std::optional<std::vector<Queued>> queue = PrepareQueue();
        if (!queue)
            return;
        const bool nothingToFetch = queue->empty();
        {
            std::lock_guard guard(lock_);
            queue_ = std::move(*queue);
            position_ = 0;
            listFetched_ = true;
        }
        if (nothingToFetch) {
            StartUpdater();
            return;
        }
    }
    FetchNextOrFinish();
}

// Reads the fetched update list against what is installed: what is not
// current, or nullopt after reporting a failure.
std::optional<std::vector<SelfUpdate::Queued>> SelfUpdate::PrepareQueue() {
    CreateFolderChain(context_.paths.selfUpdateFolder);
    const CurrentItem fetched = chain_.State().Current();
    // On this worker's thread, as every fetch: the signature of the list that just arrived.
    FetchSignatureOf(context_.fetch, fetched.url, fetched.localPath);
    const CDravikCrypto crypto = context_.Crypto();
    std::optional<std::wstring> text = crypto.DecryptFromFile(fetched.localPath);
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
    std::vector<HandOffFile> listed;
    for (const XmlNode* assembly : DescendantsNamed(list, L"assembly")) {
        if (!AddAssembly(*assembly, root, installed, queue, listed))
            return std::nullopt;
    }
    if (listed.empty())
        return queue;
    const std::wstring waiter = context_.paths.selfUpdateFolder + L"waiter.cfg";
    if (!WriteWholeFile(waiter, ScrambleHandOff(HandOffText(listed)))) {
        Fail(L"失败事件：waiter.cfg写入失败");
        return std::nullopt;
    }
    return queue;
}

bool SelfUpdate::AddAssembly(const XmlNode& assembly, const std::wstring& root,
                             const std::map<std::wstring, long long>& installed,
                             std::vector<Queued>& queue, std::vector<HandOffFile>& listed) {
    HandOffFile file{assembly.GetAttribute(L"filename", L""), assembly.GetAttribute(L"local", L""),
                     assembly.GetAttribute(L"updatehandle", L""),
                     assembly.GetAttribute(L"regsvr", L"")};
    if (EqualsNoCase(file.updatehandle, L"delete"))
        return true;
    std::optional<std::wstring> folder = InstalledFolderFor(file.local, folders_);
    if (!IsSafeFileName(file.filename) || !folder || !FitsTheList(file.local) ||
        !FitsTheList(file.updatehandle) || !FitsTheList(file.regsvr)) {
        Fail(L"失败事件：" + file.filename + L"文件名不合法");
        return false;
    }
    const ListedChecksums listedChecksums = ListedChecksumsOf(assembly);
    if (!NeedsReplacing(InstalledVersion(installed, file.filename), ListedVersion(assembly),
                        FileMatchesListed(*folder + file.filename, listedChecksums)))
        return true;
    const std::wstring url = assembly.GetAttribute(L"url", L"");
    queue.push_back(
        Queued{CurrentItem{kUpdateListItem, file.filename, root + url,
                           context_.paths.selfUpdateFolder + file.filename, listedChecksums},
               url});
    listed.push_back(std::move(file));
    return true;
}

void SelfUpdate::FetchNextOrFinish() {
    std::vector<Queued> fetched;
    {
        std::lock_guard guard(lock_);
        if (position_ < queue_.size()) {
            chain_.QueueSelfUpdateFetch(queue_[position_++].item);
            return;
        }
        fetched = queue_;
    }
    // Read from disk without the lock.
    for (const Queued& queued : fetched) {
        if (!FileMatchesListed(queued.item.localPath, queued.item.listed)) {
            Fail(L"失败事件：" + queued.url + L"校验失败");
            return;
        }
    }
    StartUpdater();
}

// A new updater that came with the files replaces the installed one; the
// updater gets this process's id and replaces the files once it has ended.
void SelfUpdate::StartUpdater() {
    const std::wstring fresh = context_.paths.selfUpdateFolder + L"UpdateFiles.exe";
    const std::wstring installed = context_.clientFolder + L"UpdateFiles.exe";
    if (IsExistingFile(fresh)) {
        // Replaced in one step, so a failed move leaves the installed updater in place.
        if (MoveFileExW(fresh.c_str(), installed.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            Trace(L"成功事件：updateFiles.exe已更新");
        else
            Trace(FormatW(L"失败事件：updateFiles.exe更新失败 错误值：%d", GetLastError()));
    }
    const std::wstring pid = FormatW(L"%lu", GetCurrentProcessId());
    auto started =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", installed.c_str(), pid.c_str(),
                                                context_.clientFolder.c_str(), SW_SHOWNORMAL));
    if (started > 32) {
        exitProcess_(1);
        return;
    }
    Fail(L"启动UpdateFiles.exe失败");
}
