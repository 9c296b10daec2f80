// The self-update hand-off: after the update check, the page may start the
// update of the client product. The update list is fetched, the installed
// files compared with it, the newer ones fetched into the self-update folder
// and listed in "waiter.cfg" for the updater program, which is started with
// this process's id before the process ends.
//
// Threads: UpdateBankVeyr runs on the page's thread; every later step runs on
// the download worker of the file that just arrived, one file at a time.
// The state is reset only while holding the download chain's turn, so a start
// refused beside a running update leaves it alone. The queue and its position
// are guarded by their own lock, never held across a fetch or a decryption.
#pragma once

#include "config/component_context.h"
#include "install/download_chain.h"
#include "install/install_locations.h"

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
// updatehandle="" regsvr=""></file>\n" per file, "</update>".
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

    SelfUpdate(const ComponentContext& context, InstallFolders folders, DownloadChain& chain,
               std::function<std::wstring()> versionListText, ProcessExit exitProcess);

    // Starts fetching the update list named by the kept version list (entry
    // 50 or 51); 1 when a fetch was started.
    short UpdateBankVeyr();
    // Called when a self-update file has arrived.
    void OnFileFetched();

private:
    struct Queued {
        CurrentItem item;
        std::wstring url; // as listed, for trace lines
    };
    void Reset();
    std::optional<std::vector<Queued>> PrepareQueue();
    void FetchNextOrFinish();
    bool AddAssembly(const XmlNode& assembly, const std::wstring& root,
                     const std::map<std::wstring, long long>& installed, std::vector<Queued>& queue,
                     std::vector<HandOffFile>& listed);
    void StartUpdater();
    void Fail(const std::wstring& traceLine);
    void Trace(const std::wstring& text) const;

    const ComponentContext context_;
    const InstallFolders folders_;
    DownloadChain& chain_;
    const std::function<std::wstring()> versionListText_;
    const ProcessExit exitProcess_;

    std::mutex lock_;          // the fields below
    bool listFetched_ = false; // the update list arrived and the queue was made
    std::vector<Queued> queue_;
    size_t position_ = 0;
};
