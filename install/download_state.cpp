#include "install/download_state.h"

std::optional<int> DownloadChainState::StepBatch(const std::optional<std::vector<int>>& ids) {
    std::lock_guard guard(lock_);
    if (batch_.empty() && ids)
        batch_ = *ids;
    if (position_ < static_cast<int>(batch_.size())) {
        int id = batch_[static_cast<size_t>(position_++)];
        current_.id = id;
        return id;
    }
    batch_.clear();
    position_ = 0;
    return std::nullopt;
}

bool DownloadChainState::AtBatchEnd() const {
    std::lock_guard guard(lock_);
    return position_ == static_cast<int>(batch_.size());
}

int DownloadChainState::BatchPosition() const {
    std::lock_guard guard(lock_);
    return position_;
}

int DownloadChainState::BatchCount() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(batch_.size());
}

CurrentItem DownloadChainState::Current() const {
    std::lock_guard guard(lock_);
    return current_;
}

void DownloadChainState::SetCurrent(CurrentItem item) {
    std::lock_guard guard(lock_);
    current_ = std::move(item);
}

void DownloadChainState::SetCurrentId(int id) {
    std::lock_guard guard(lock_);
    current_.id = id;
}

bool DownloadChainState::AllDownloadsDone() const {
    std::lock_guard guard(lock_);
    return allDownloadsDone_;
}

void DownloadChainState::SetAllDownloadsDone(bool done) {
    std::lock_guard guard(lock_);
    allDownloadsDone_ = done;
}

bool DownloadChainState::TryBeginWork() {
    std::lock_guard guard(lock_);
    if (inWork_)
        return false;
    inWork_ = true;
    return true;
}

void DownloadChainState::EndWork() {
    std::lock_guard guard(lock_);
    inWork_ = false;
}

bool DownloadChainState::InWork() const {
    std::lock_guard guard(lock_);
    return inWork_;
}
