#include "install/download_reporter.h"

#include "common/text.h"

#include <utility>

DownloadReporter::DownloadReporter(PagePoster post, const TraceSink& trace)
    : post_(std::move(post)), trace_(trace) {}

void DownloadReporter::Post(UINT message, WPARAM wParam, LPARAM lParam) const {
    if (post_)
        post_(message, wParam, lParam);
}

bool DownloadReporter::Refuse(const std::wstring& call, int id) const {
    trace_.Write(FormatW(L"失败事件：文件号：%d 回调顺序不允许：", id) + call);
    return false;
}

bool DownloadReporter::UnitOpen() const {
    std::lock_guard guard(lock_);
    return remaining_ > 0;
}

int DownloadReporter::RemainingItems() const {
    std::lock_guard guard(lock_);
    return remaining_;
}

std::optional<int> DownloadReporter::ItemInWork() const {
    std::lock_guard guard(lock_);
    if (item_ == ItemState::None)
        return std::nullopt;
    return currentId_;
}

bool DownloadReporter::BeginUnit(int items, std::function<void()> onEnd) {
    std::lock_guard guard(lock_);
    if (remaining_ > 0 || items <= 0)
        return Refuse(L"BeginUnit", items);
    remaining_ = items;
    onEnd_ = std::move(onEnd);
    item_ = ItemState::None;
    return true;
}

bool DownloadReporter::ItemStarted(int id) {
    std::lock_guard guard(lock_);
    if (remaining_ == 0 || item_ != ItemState::None)
        return Refuse(L"ItemStarted", id);
    currentId_ = id;
    item_ = ItemState::AwaitingDownload;
    return true;
}

bool DownloadReporter::Downloaded(int id, bool ok) {
    std::lock_guard guard(lock_);
    if (item_ != ItemState::AwaitingDownload || id != currentId_)
        return Refuse(L"Downloaded", id);
    const WPARAM item = static_cast<WPARAM>(id);
    if (ok) {
        Post(VeyrantMessage::kDownloadCompleted, item, kReportSuccess);
        if (remaining_ == 1)
            Post(VeyrantMessage::kAllDownloadsCompleted, 0, 0);
        item_ = ItemState::AwaitingInstall;
        return true;
    }
    // An item that cannot be installed is reported as not installed at once.
    Post(VeyrantMessage::kDownloadCompleted, item, kReportFailure);
    Post(VeyrantMessage::kInstalledCompleted, item, kReportFailure);
    if (remaining_ == 1)
        Post(VeyrantMessage::kAllDownloadsCompleted, 0, 0);
    EndItem(false, false);
    return true;
}

bool DownloadReporter::Installed(int id, bool ok) {
    std::lock_guard guard(lock_);
    if (item_ != ItemState::AwaitingInstall || id != currentId_)
        return Refuse(L"Installed", id);
    EndItem(true, ok);
    return true;
}

bool DownloadReporter::ItemFailed(int id) {
    std::unique_lock guard(lock_);
    if (id != currentId_ || item_ == ItemState::None)
        return Refuse(L"ItemFailed", id);
    if (item_ == ItemState::AwaitingInstall) {
        EndItem(true, false);
        return true;
    }
    guard.unlock();
    return Downloaded(id, false);
}

bool DownloadReporter::EndedUnreported(int id) {
    std::lock_guard guard(lock_);
    if (item_ != ItemState::AwaitingInstall || id != currentId_)
        return Refuse(L"EndedUnreported", id);
    EndItem(false, false);
    return true;
}

// Under the lock: the item's install report, if any, then the unit's end.
void DownloadReporter::EndItem(bool withInstallReport, bool installed) {
    if (withInstallReport)
        Post(VeyrantMessage::kInstalledCompleted, static_cast<WPARAM>(currentId_),
             installed ? kReportSuccess : kReportFailure);
    item_ = ItemState::None;
    if (--remaining_ > 0)
        return;
    if (onEnd_)
        std::exchange(onEnd_, nullptr)();
    Post(VeyrantMessage::kAllInstallsCompleted, 0, 0);
}

bool DownloadReporter::BeginSelfUpdate() {
    std::lock_guard guard(lock_);
    if (selfUpdateOpen_)
        return Refuse(L"BeginSelfUpdate", 0);
    selfUpdateOpen_ = true;
    return true;
}

bool DownloadReporter::SelfUpdateFailed() {
    return EndSelfUpdate(L"SelfUpdateFailed", true);
}

bool DownloadReporter::SelfUpdateEnded() {
    return EndSelfUpdate(L"SelfUpdateEnded", false);
}

bool DownloadReporter::EndSelfUpdate(const wchar_t* call, bool failed) {
    std::lock_guard guard(lock_);
    if (!selfUpdateOpen_)
        return Refuse(call, 0);
    selfUpdateOpen_ = false;
    if (failed)
        Post(VeyrantMessage::kSelfUpdateError, 1, 0);
    return true;
}
