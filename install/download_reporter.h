// The one poster of the download and install call-backs (1357 to 1360) and of
// the self-update's error (1364). It holds their order as explicit state: a
// unit of work (the page's list, or one item the page started) is begun with
// its number of items; each item is started, then downloaded (or failed),
// then installed (or ended without an install report where the installer
// makes none); all downloads and all installs completed follow the unit's
// last item. A call that its state does not allow is refused and traced,
// never posted. No other component posts these messages.
//
// Threads: the work queue's worker in normal operation; the page's thread
// only when no worker could be started. Every call takes the lock.
#pragma once

#include "common/page_messages.h"
#include "common/trace_sink.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>

class DownloadReporter {
public:
    DownloadReporter(PagePoster post, const TraceSink& trace);

    // A unit of `items` items (at least one) begins; false while one is open.
    // `onEnd` runs just before the unit's last call-back is posted, so a page
    // that answers "all installs completed" with new work finds the unit over.
    bool BeginUnit(int items, std::function<void()> onEnd = {});
    // The unit's next item begins.
    bool ItemStarted(int id);
    // The item's file is there and verified (or it needs none): 1357 (id, -1),
    // and 1358 when it is the unit's last item. Not downloaded: 1357 (id, 0)
    // and 1359 (id, 0), and after the last item 1358 and 1360; the item ends.
    bool Downloaded(int id, bool ok);
    // The item's installation result: 1359, and 1360 after the last item.
    bool Installed(int id, bool ok);
    // The item in work ends as failed, in whichever step it is: a worker
    // that broke off still reports it (not downloaded, or not installed).
    bool ItemFailed(int id);
    // The installer made no report for the item (the cases where none is
    // made); after the last item, 1360 still tells the page installing is over.
    bool EndedUnreported(int id);

    // The self-update: begun, then either failed (1364 (1, 0), once) or
    // ended by the hand-off to the updater.
    bool BeginSelfUpdate();
    bool SelfUpdateFailed();
    bool SelfUpdateEnded();

    // Whether a unit is open, how many of its items have not ended, and the
    // id of the item in work, if one is: what a broken-off unit still owes.
    bool UnitOpen() const;
    int RemainingItems() const;
    std::optional<int> ItemInWork() const;

private:
    enum class ItemState { None, AwaitingDownload, AwaitingInstall };

    bool Refuse(const std::wstring& call, int id) const;
    bool EndSelfUpdate(const wchar_t* call, bool failed);
    void EndItem(bool withInstallReport, bool installed);
    void Post(UINT message, WPARAM wParam, LPARAM lParam) const;

    const PagePoster post_;
    const TraceSink& trace_;
    mutable std::mutex lock_; // every field below
    int remaining_ = 0;       // items of the open unit not yet ended; 0: no unit
    std::function<void()> onEnd_;
    int currentId_ = 0;
    ItemState item_ = ItemState::None;
    bool selfUpdateOpen_ = false;
};
