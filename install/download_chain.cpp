#include "install/download_chain.h"

#include "common/safe_path.h"
#include "common/text.h"
#include "config/component_lists.h"
#include "config/folder_chain.h"
#include "config/item_ids.h"
#include "config/listed_file.h"
#include "config/xml_node.h"
#include "crypto/crypto_api.h"
#include "crypto/sha256.h"
#include "install/verified_fetch.h"

#include <shlwapi.h>

#include <algorithm>
#include <memory>

namespace {

std::wstring Numbered(int id, const wchar_t* event) {
    return FormatW(L"文件号：%d", id) + event;
}

// A unit's ids, shared by the job and its failure handler.
struct UnitProgress {
    std::vector<int> ids;
};

} // namespace

DownloadChain::DownloadChain(const ComponentContext& context, WorkQueue& queue,
                             DownloadReporter& reporter, CatalogueSource catalogue,
                             ItemInstaller install)
    : context_(context), queue_(queue), reporter_(reporter), catalogue_(std::move(catalogue)),
      install_(std::move(install)) {}

void DownloadChain::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

short DownloadChain::StartDownLoad(int id) {
    pageThread_.Expect(context_.Trace(), L"StartDownLoad");
    const DownloadKind kind = DownloadKindOf(id);
    if (kind == DownloadKind::Ignored) {
        Trace(Numbered(id, L" 错误原因：文件号无效"));
        return 0;
    }
    QueueUnit({id}, false);
    return kind == DownloadKind::NoFile ? 1 : 0;
}

short DownloadChain::EBankDownLoad(const std::wstring& list) {
    pageThread_.Expect(context_.Trace(), L"EBankDownLoad");
    if (listPending_) {
        // The page's list in work keeps its turn; a second one is not merged into it.
        Trace(L"失败事件：上一下载列表尚未完成，忽略本次下载列表");
        return 1;
    }
    std::optional<std::vector<int>> ids = ParseBatchIds(list);
    if (!ids) {
        Trace(L"失败事件：下载列表不是有效的XML");
        return 1;
    }
    if (ids->empty())
        return 1;
    listPending_ = true;
    QueueUnit(std::move(*ids), true);
    return 1;
}

void DownloadChain::QueueUnit(std::vector<int> ids, bool pageList) {
    auto progress = std::make_shared<UnitProgress>();
    progress->ids = std::move(ids);
    // A page's list is over for EBankDownLoad once its end is being reported.
    std::function<void()> ended;
    if (pageList)
        ended = [this] { listPending_ = false; };
    WorkQueue::Job job{pageList ? L"EBankDownLoad" : L"StartDownLoad",
                       [this, progress, ended] {
                           CryptProvider verifierLoaded;
                           reporter_.BeginUnit(static_cast<int>(progress->ids.size()), ended);
                           for (int id : progress->ids)
                               RunItem(id, verifierLoaded);
                       },
                       // A unit that broke off still reports every item, so its end comes.
                       [this, progress, ended] {
                           if (!reporter_.UnitOpen()) // it broke off before it began
                               reporter_.BeginUnit(static_cast<int>(progress->ids.size()), ended);
                           FailRemaining(progress->ids);
                       }};
    if (queue_.Enqueue(job))
        return;
    reporter_.BeginUnit(static_cast<int>(progress->ids.size()), ended);
    FailRemaining(progress->ids);
}

// What the reporter still owes for the unit: the item that broke off, then
// every item not begun.
void DownloadChain::FailRemaining(const std::vector<int>& ids) {
    size_t remaining = static_cast<size_t>(reporter_.RemainingItems());
    if (std::optional<int> inWork = reporter_.ItemInWork()) {
        reporter_.ItemFailed(*inWork);
        --remaining;
    }
    for (size_t from = ids.size() - std::min(remaining, ids.size()); from < ids.size(); ++from) {
        reporter_.ItemStarted(ids[from]);
        reporter_.Downloaded(ids[from], false);
    }
}

void DownloadChain::RunItem(int id, CryptProvider& verifierLoaded) {
    reporter_.ItemStarted(id);
    switch (DownloadKindOf(id)) {
    case DownloadKind::Ignored:
        Trace(Numbered(id, L" 错误原因：文件号无效"));
        reporter_.Downloaded(id, false);
        return;
    case DownloadKind::NoFile:
        reporter_.Downloaded(id, true);
        Install(ItemWork{id, catalogue_(), nullptr});
        return;
    case DownloadKind::ControlFile:
    case DownloadKind::ApplicationFile:
        break;
    }
    // One snapshot for the whole item: its url and checksums, its
    // destination and registry key, and the final status check.
    CatalogueSnapshot catalogue = catalogue_();
    if (!catalogue) {
        Trace(Numbered(id, L" 错误原因：组件列表不可用"));
        reporter_.Downloaded(id, false);
        return;
    }
    const XmlNode* entry = FindCatalogueItem(catalogue.get(), id);
    if (!entry) {
        Trace(Numbered(id, L" 错误原因：目录中无此文件"));
        reporter_.Downloaded(id, false);
        return;
    }
    const std::wstring url = entry->GetAttribute(L"url", L"");
    std::optional<std::wstring> local = JoinConfined(context_.paths.appDownloadFolder, url);
    if (!local) {
        Trace(Numbered(id, L" 错误原因：文件路径不合法"));
        reporter_.Downloaded(id, false);
        return;
    }
    // Where the processor cannot hash, a file listed with a SHA-256 is hashed
    // by CryptoAPI: while the unit holds a context, the provider's library
    // stays loaded, and each file's own context costs a millisecond instead
    // of a load and unload of the library (tens of ms under Wine). Taken at
    // the first such file.
    const ListedChecksums listed = ListedChecksumsOf(*entry);
    if (!listed.sha256.empty() && !verifierLoaded &&
        Sha256FastestMethod() == Sha256Method::CryptoApi)
        verifierLoaded = AcquireRsaAesProvider();
    if (!FetchOrFind(id, context_.rootUrl + url, *local, listed)) {
        reporter_.Downloaded(id, false);
        return;
    }
    reporter_.Downloaded(id, true);
    Install(ItemWork{id, catalogue, entry});
}

// A verified copy already there is used as it is; otherwise the file is
// fetched and kept only when it arrived whole and matches its entry.
bool DownloadChain::FetchOrFind(int id, const std::wstring& url, const std::wstring& local,
                                const ListedChecksums& listed) {
    CreateFolderChain(local);
    if (PathFileExistsW(local.c_str()) && FileMatchesListed(local, listed)) {
        Trace(FormatW(L"成功事件：文件号：%d", id) + L" 文件存在且校验成功");
        return true;
    }
    Trace(FormatW(L"成功事件：文件号：%d", id) + L" 文件存在但校验失败或文件不存在，下载该文件");
    DeleteFileW(local.c_str());
    switch (FetchVerified(context_.fetch, {url, local, listed, kLargestComponentFile}).verdict) {
    case FetchVerdict::Stored:
        Trace(Numbered(id, L" 成功事件：下载成功"));
        Trace(Numbered(id, L" 成功事件：完整性校验成功"));
        return true;
    case FetchVerdict::ChecksumFailed:
        Trace(Numbered(id, L" 成功事件：下载成功"));
        Trace(Numbered(id, L" 错误原因：完整性校验失败"));
        return false;
    case FetchVerdict::FetchFailed:
        break;
    }
    Trace(Numbered(id, L" 错误原因：下载失败"));
    return false;
}

void DownloadChain::Install(const ItemWork& work) {
    switch (install_(work)) {
    case InstallOutcome::Installed:
        reporter_.Installed(work.id, true);
        break;
    case InstallOutcome::NotInstalled:
        reporter_.Installed(work.id, false);
        break;
    case InstallOutcome::Unreported:
        reporter_.EndedUnreported(work.id);
        break;
    }
}
