// The download chain: carries the ids the page hands over, one at a time,
// from their start to their report. Each list (EBankDownLoad) and each item
// the page starts alone (StartDownLoad) is one unit of work in the work
// queue; on the queue's worker an item is looked up in one catalogue
// snapshot, its file fetched unless a verified copy is there, verified as it
// arrives, and installed; the reporter tells the page.
//
// Threads: StartDownLoad and EBankDownLoad run on the page's thread and only
// queue work (they never fetch, install or wait); the items run on the work
// queue's worker. `listPending_` is shared: set by the page's thread, cleared
// by the worker when the list's last item has been reported.
#pragma once

#include "common/thread_affinity.h"
#include "config/catalogue.h"
#include "config/component_context.h"
#include "config/listed_file.h"
#include "crypto/crypto_api.h"
#include "install/download_reporter.h"
#include "install/installer.h"
#include "install/work_queue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class DownloadChain {
public:
    // Installs one verified (or file-less) item.
    using ItemInstaller = std::function<InstallOutcome(const ItemWork& work)>;

    DownloadChain(const ComponentContext& context, WorkQueue& queue, DownloadReporter& reporter,
                  CatalogueSource catalogue, ItemInstaller install);

    // Queues the item as a unit of its own. 1 when the id needs no file, 0
    // otherwise, and 0 for an id below 1000, which is no item (refused and
    // traced; nothing is posted).
    short StartDownLoad(int id);
    // Queues the list as one unit, unless a list of the page's is still
    // pending (queued or in work): then the text is ignored. Always 1.
    short EBankDownLoad(const std::wstring& list);

    bool ListPending() const { return listPending_; }

private:
    // Queues a unit; when no worker can be started, its items are reported
    // as failed at once, so the page is never left waiting.
    void QueueUnit(std::vector<int> ids, bool pageList);
    void FailRemaining(const std::vector<int>& ids);
    void RunItem(int id, CryptProvider& verifierLoaded);
    bool FetchOrFind(int id, const std::wstring& url, const std::wstring& local,
                     const ListedChecksums& listed);
    void Install(const ItemWork& work);
    void Trace(const std::wstring& text) const;

    const ComponentContext context_;
    WorkQueue& queue_;
    DownloadReporter& reporter_;
    const CatalogueSource catalogue_;
    const ItemInstaller install_;
    std::atomic<bool> listPending_{false};
    const ThreadAffinity pageThread_; // StartDownLoad and EBankDownLoad
};
