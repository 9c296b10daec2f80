// The download chain: carries one item id at a time from its start to its
// report. It looks the id up in the catalogue, fetches the item's file on a
// worker thread unless a verified copy is already there, verifies it, tells
// the page, has the item installed, and then starts the batch's next id.
//
// Threads: StartDownLoad and EBankDownLoad run on the page's thread; a fetch,
// its verification, the installation and the start of the next item run on
// the item's worker thread. Items whose file is present, or that have no
// file, finish on the thread that started them. The shared state lives in
// DownloadChainState, under its own lock; the chain is strictly one item at
// a time: while an item is in work the page's calls are refused.
#pragma once

#include "common/handles.h"
#include "config/component_context.h"
#include "config/shared_document.h"
#include "install/download_state.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Components are large programs and packages, but never this large: a body
// that does not end must not fill the disk.
constexpr std::uint64_t kLargestComponentFile = 1024ull * 1024 * 1024;

class DownloadChain {
public:
    // Installs one verified (or file-less) item; `lastItem` when it is the
    // batch's last, so the installer reports that all installs completed.
    using Installer = std::function<void(int id, bool lastItem)>;
    // Continues the self-update once one of its files arrived.
    using SelfUpdateStep = std::function<void()>;

    DownloadChain(const ComponentContext& context, Installer install);

    void SetSelfUpdateStep(SelfUpdateStep step) { selfUpdateStep_ = std::move(step); }

    // 1 when the id needs no file and was handed straight on, else 0 (also
    // when an item is still in work: the call is then ignored).
    short StartDownLoad(int id);
    // Loads a batch (unless one is pending) and starts its next id; 1. While
    // an item is in work the call is ignored.
    short EBankDownLoad(const std::wstring& list);
    // Fetches a self-update file on a worker (its id is 50 or 51); false
    // when no worker was started or an item is still in work. `begin` runs
    // once the turn is taken, before the worker starts: a refused call runs
    // nothing, so the update in work keeps its state.
    bool FetchSelfUpdateFile(CurrentItem item, const std::function<void()>& begin = nullptr);
    // From the self-update step only (on the worker of the file that just
    // arrived): the next file, fetched by a worker that takes over this one's turn.
    void QueueSelfUpdateFetch(CurrentItem item) { selfUpdateNext_ = std::move(item); }

    DownloadChainState& State() { return state_; }

private:
    struct Started {
        short result = 0;
        std::optional<int> next; // the batch's next id, when the item finished here
        bool toWorker = false;   // the item went to a worker, with the turn
    };

    Started Start(int id);
    // Runs items until one is handed to a worker or the batch ends: a loop, so
    // a long batch of items that finish at once cannot exhaust the stack.
    void Drive(Started started, WorkTurn& turn);
    std::optional<int> Complete(int id);
    std::optional<int> Fail(int id);
    bool StartWorker();
    void ContinueSelfUpdate(WorkTurn& turn);
    void RunWorker();
    void Trace(const std::wstring& text) const;
    void Post(UINT message, WPARAM wParam, LPARAM lParam) const;

    const ComponentContext context_;
    const Installer install_;
    SelfUpdateStep selfUpdateStep_;
    std::optional<CurrentItem> selfUpdateNext_; // only the worker holding the turn
    SharedDocument catalogue_;                  // parsed on first use, kept for the process
    DownloadChainState state_;
    std::mutex threadLock_;
    KernelHandle worker_; // the last worker started; under threadLock_
};
