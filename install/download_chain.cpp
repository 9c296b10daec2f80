#include "install/download_chain.h"

#include "common/com_types.h"
#include "common/guard.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "config/component_lists.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/listed_file.h"
#include "config/xml_node.h"

#include <shlwapi.h>

namespace {

std::wstring Numbered(int id, const wchar_t* event) {
    return FormatW(L"文件号：%d", id) + event;
}

struct CatalogueEntry {
    std::wstring url;
    ListedChecksums listed;
};

// The first entry of the section with the id ("Control" below 4000).
std::optional<CatalogueEntry> FindEntry(const XmlNode* catalogue, int id) {
    const XmlNode* section =
        catalogue ? catalogue->FindChild(id < 4000 ? L"Control" : L"Application") : nullptr;
    if (!section)
        return std::nullopt;
    for (const auto& element : section->Children()) {
        if (element->GetIntAttribute(L"id", 0) == id)
            return CatalogueEntry{element->GetAttribute(L"url", L""), ListedChecksumsOf(*element)};
    }
    return std::nullopt;
}

bool HasFile(int id) {
    DownloadKind kind = DownloadKindOf(id);
    return kind == DownloadKind::ControlFile || kind == DownloadKind::ApplicationFile;
}

} // namespace

DownloadChain::DownloadChain(const ComponentContext& context, Installer install)
    : context_(context), install_(std::move(install)) {}

void DownloadChain::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

void DownloadChain::Post(UINT message, WPARAM wParam, LPARAM lParam) const {
    context_.post(message, wParam, lParam);
}

short DownloadChain::StartDownLoad(int id) {
    // A second item beside the one in work would take over its shared state.
    if (!state_.TryBeginWork()) {
        Trace(Numbered(id, L" 错误原因：上一项尚未完成，忽略本次下载"));
        return 0;
    }
    WorkTurn turn(state_);
    Started started = Start(id);
    Drive(started, turn);
    return started.result;
}

short DownloadChain::EBankDownLoad(const std::wstring& list) {
    if (!state_.TryBeginWork()) {
        Trace(L"失败事件：上一项尚未完成，忽略本次下载列表");
        return 1;
    }
    WorkTurn turn(state_);
    // The text counts only when no batch is pending.
    std::optional<std::vector<int>> ids;
    if (state_.BatchCount() == 0)
        ids = ParseBatchIds(list);
    Drive(Started{0, state_.StepBatch(ids)}, turn);
    return 1;
}

void DownloadChain::Drive(Started started, WorkTurn& turn) {
    while (!started.toWorker && started.next)
        started = Start(*started.next);
    if (started.toWorker)
        turn.HandOn();
}

DownloadChain::Started DownloadChain::Start(int id) {
    // The reports name the item started, even when the page starts it itself.
    state_.SetCurrentId(id);
    switch (DownloadKindOf(id)) {
    case DownloadKind::Ignored:
        // Alone such an id is ignored; in a batch it fails, so that the batch
        // goes on and its end is still reported.
        if (state_.BatchCount() == 0)
            return {};
        Trace(Numbered(id, L" 错误原因：文件号无效"));
        return Started{0, Fail(id)};
    case DownloadKind::NoFile:
        return Started{1, Complete(id)};
    case DownloadKind::ControlFile:
    case DownloadKind::ApplicationFile:
        break;
    }
    if (!catalogue_.EnsureParsed(
            [&] { return context_.texts->LanguageText(context_.language()); })) {
        // Until the update check has decrypted the catalogue no item can be
        // looked up: it fails, or the batch would stall and swallow the next.
        Trace(Numbered(id, L" 错误原因：组件列表不可用"));
        return Started{0, Fail(id)};
    }
    std::optional<CatalogueEntry> entry =
        catalogue_.Read([&](const XmlNode* catalogue) { return FindEntry(catalogue, id); });
    if (!entry) {
        // An id the catalogue does not know would stall the batch: it fails instead.
        Trace(Numbered(id, L" 错误原因：目录中无此文件"));
        return Started{0, Fail(id)};
    }
    std::optional<std::wstring> local = JoinConfined(context_.paths.appDownloadFolder, entry->url);
    if (!local) {
        Trace(Numbered(id, L" 错误原因：文件路径不合法"));
        return Started{0, Fail(id)};
    }
    state_.SetCurrent(CurrentItem{id, L"", context_.rootUrl + entry->url, *local, entry->listed});
    CreateFolderChain(*local);
    if (PathFileExistsW(local->c_str()) && FileMatchesListed(*local, entry->listed)) {
        Trace(FormatW(L"成功事件：文件号：%d", id) + L" 文件存在且校验成功");
        return Started{0, Complete(id)};
    }
    Trace(FormatW(L"成功事件：文件号：%d", id) + L" 文件存在但校验失败或文件不存在，下载该文件");
    DeleteFileW(local->c_str());
    if (!StartWorker())
        return Started{0, Fail(id)};
    return Started{0, std::nullopt, true};
}

bool DownloadChain::FetchSelfUpdateFile(CurrentItem item, const std::function<void()>& begin) {
    if (!state_.TryBeginWork())
        return false;
    WorkTurn turn(state_);
    if (begin)
        begin();
    CreateFolderChain(item.localPath);
    state_.SetCurrent(std::move(item));
    if (!StartWorker())
        return false;
    turn.HandOn();
    return true;
}

bool DownloadChain::StartWorker() {
    std::lock_guard guard(threadLock_);
    worker_.reset(StartWorkerThread([this] { RunWorker(); }));
    return static_cast<bool>(worker_);
}

void DownloadChain::RunWorker() {
    // Installers read XML and the browser settings use COM objects.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    WorkTurn turn(state_); // handed on by the thread that started this one
    const int id = state_.Current().id;
    std::optional<int> next;
    RunGuardedWork(
        context_.Trace(), L"StartDownLoad",
        [&] {
            SleepEx(50, TRUE);
            CurrentItem item = state_.Current();
            if (context_.fetch(FetchRequest{item.url, item.localPath, kLargestComponentFile})) {
                Trace(Numbered(item.id, L" 成功事件：下载成功"));
                next = Complete(item.id);
            } else {
                Trace(Numbered(item.id, L" 错误原因：下载失败"));
                next = Fail(item.id);
            }
        },
        // A worker that failed still reports its item and moves the batch on.
        [&] { next = Fail(id); });
    RunGuardedWork(
        context_.Trace(), L"EBankDownLoad",
        [&] {
            if (selfUpdateNext_)
                ContinueSelfUpdate(turn);
            else
                Drive(Started{0, next}, turn);
        },
        nullptr);
}

// The self-update's next file: fetched by a new worker that takes the turn.
void DownloadChain::ContinueSelfUpdate(WorkTurn& turn) {
    CurrentItem item = std::move(*selfUpdateNext_);
    selfUpdateNext_.reset();
    CreateFolderChain(item.localPath);
    const int id = item.id;
    state_.SetCurrent(std::move(item));
    if (StartWorker())
        turn.HandOn();
    else
        Fail(id);
}

std::optional<int> DownloadChain::Complete(int id) {
    const CurrentItem item = state_.Current();
    if (IsSelfUpdateItem(item.id)) {
        Trace(L"成功事件：" + item.name + L"下载成功");
        if (selfUpdateStep_)
            selfUpdateStep_();
        return std::nullopt;
    }
    // Every fetched control and application file is verified.
    if (HasFile(id)) {
        if (!FileMatchesListed(item.localPath, item.listed)) {
            Trace(Numbered(id, L" 错误原因：完整性校验失败"));
            DeleteFileW(item.localPath.c_str());
            return Fail(id);
        }
        Trace(Numbered(id, L" 成功事件：完整性校验成功"));
    }
    Post(VeyrantMessage::kDownloadCompleted, static_cast<WPARAM>(item.id), kReportSuccess);
    const bool last = state_.AtBatchEnd();
    state_.SetAllDownloadsDone(last);
    if (last)
        Post(VeyrantMessage::kAllDownloadsCompleted, 0, 0);
    install_(item.id, last);
    return state_.StepBatch(std::nullopt);
}

std::optional<int> DownloadChain::Fail(int id) {
    state_.SetAllDownloadsDone(false);
    const CurrentItem item = state_.Current();
    if (IsSelfUpdateItem(item.id)) {
        Trace(L"失败事件：" + item.name + L"下载失败");
        Post(VeyrantMessage::kSelfUpdateError, 1, 0);
        return std::nullopt;
    }
    const bool last = state_.AtBatchEnd();
    state_.SetAllDownloadsDone(last);
    Post(VeyrantMessage::kDownloadCompleted, static_cast<WPARAM>(id), kReportFailure);
    Post(VeyrantMessage::kInstalledCompleted, static_cast<WPARAM>(id), kReportFailure);
    if (last) {
        Post(VeyrantMessage::kAllDownloadsCompleted, 0, 0);
        // The failed item was the last to install: the page must not wait for more.
        Post(VeyrantMessage::kAllInstallsCompleted, 0, 0);
    }
    return state_.StepBatch(std::nullopt);
}
