// The self-update hand-off: after the update check, the page may start the
// update of the client product. The update list is fetched, the installed
// files compared with it, the newer ones fetched into the self-update folder
// and listed in "waiter.cfg" for the updater program, which is started with
// this process's id before the process ends.
//
// It is a workflow of its own: one job in the work queue (so its fetches
// never run beside the download chain's), with its own state. Whatever an
// earlier hand-off left in the self-update folder is deleted before a new one
// begins; every file is verified as it arrives, and the updater that is
// started is the one just verified, verified again as it is moved into place.
//
// Threads: UpdateBankVeyr runs on the page's thread and only queues the job;
// the job runs on the queue's worker and holds the self-update folder's lock
// (shared with the update check, which works in the same folder).
#pragma once

#include "common/thread_affinity.h"
#include "config/component_context.h"
#include "config/listed_file.h"
#include "install/download_reporter.h"
#include "install/install_locations.h"
#include "install/work_queue.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class XmlNode;

// One file for the updater, as the update list names it.
struct HandOffFile {
    std::wstring filename;
    std::wstring local;
    std::wstring updatehandle;
    std::wstring regsvr;
};

// The hand-off list's text: "<update>\n", one "<file filename="" local=""
// updatehandle="" regsvr=""></file>\n" per file, "</update>"; the values are
// escaped as XML attribute values, so any name reads back as written.
std::wstring HandOffText(const std::vector<HandOffFile>& files);
// The text as the updater reads it: UTF-16 without byte-order mark, every byte
// XORed with (its byte length mod 256) and 0x6B. Unscrambling is the same operation.
std::string ScrambleHandOff(const std::wstring& text);
std::string ScrambleHandOffBytes(std::string bytes);

// Whether a file needs replacing: the installed copy is older than the
// server's, or does not match what the list says of it.
bool NeedsReplacing(long long installedVersion, long long serverVersion, bool installedMatches);

class SelfUpdate {
public:
    // What ends the process once the updater runs (tests replace it).
    using ProcessExit = std::function<void(UINT code)>;
    // The version list the last update check accepted; nothing when none did.
    using AcceptedVersionList = std::function<std::optional<std::wstring>()>;

    SelfUpdate(const ComponentContext& context, InstallFolders folders, WorkQueue& queue,
               DownloadReporter& reporter, AcceptedVersionList versionList, std::mutex& folderLock,
               ProcessExit exitProcess);

    // Queues the hand-off for the update list named by the accepted version
    // list (entry 50 or 51); 1 when it was queued. Refused (0, traced, no
    // call-back) while one is queued or in work.
    short UpdateBankVeyr();
    bool Pending() const { return pending_; }

private:
    struct Queued {
        HandOffFile file;
        std::wstring url;       // absolute
        std::wstring listedUrl; // as listed, for trace lines
        ListedChecksums listed;
    };
    void Run(const std::wstring& name, const std::wstring& url, const ListedChecksums& listed);
    bool FetchUpdateList(const std::wstring& url, const std::wstring& path,
                         const ListedChecksums& listed);
    std::optional<std::vector<Queued>> ReadUpdateList(const std::wstring& path);
    bool AddAssembly(const XmlNode& assembly, const std::wstring& root,
                     const std::map<std::wstring, long long>& installed,
                     std::vector<Queued>& queue);
    bool FetchAll(const std::vector<Queued>& queue);
    void HandOff(const std::vector<Queued>& queue);
    bool PlaceUpdater(const std::vector<Queued>& queue);
    void RemoveEarlierHandOff() const;
    void Fail(const std::wstring& traceLine);
    void Trace(const std::wstring& text) const;

    const ComponentContext context_;
    const InstallFolders folders_;
    WorkQueue& queue_;
    DownloadReporter& reporter_;
    const AcceptedVersionList versionList_;
    std::mutex& folderLock_;
    const ProcessExit exitProcess_;
    std::atomic<bool> pending_{false}; // set by the page's thread, cleared by the job
    const ThreadAffinity pageThread_;  // UpdateBankVeyr
};
