// The state of the download chain: the batch of ids the page handed over,
// the item in work and the all-downloads-done flag. The page's thread starts
// items and steps the batch; download workers finish items and step it again,
// so every field is guarded by one lock and read as a copy.
#pragma once

#include "config/listed_file.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The item in work: what the fetch and the reports of one item need.
struct CurrentItem {
    int id = 0;
    std::wstring name;      // display name of a self-update file, for trace lines
    std::wstring url;       // absolute
    std::wstring localPath; // full path of the downloaded file
    ListedChecksums listed; // what the list says of the file
};

class DownloadChainState {
public:
    // One step of the batch. With `ids` and no batch pending, the ids become
    // the batch (ids are ignored while one is pending). Then the next id is
    // taken, made current and returned; after the last one the batch is
    // emptied and nothing is returned (the next step starts a new batch).
    std::optional<int> StepBatch(const std::optional<std::vector<int>>& ids);
    // True when the item just finished is the last of the batch (position at
    // the end, which an empty batch is too).
    bool AtBatchEnd() const;
    int BatchPosition() const;
    int BatchCount() const;

    CurrentItem Current() const;
    void SetCurrent(CurrentItem item);
    void SetCurrentId(int id);

    bool AllDownloadsDone() const;
    void SetAllDownloadsDone(bool done);

    // One item at a time: the page may start work only when none is going on
    // (a batch, or a single item with its worker). False when some is.
    bool TryBeginWork();
    void EndWork();
    bool InWork() const;

private:
    mutable std::mutex lock_;
    std::vector<int> batch_;
    int position_ = 0;
    CurrentItem current_;
    bool allDownloadsDone_ = false;
    bool inWork_ = false;
};

// The turn of work, held by whoever runs the chain: the page's call, then
// each worker in turn. It ends the work when it goes (also when an exception
// passes), unless it was handed on to a worker.
class WorkTurn {
public:
    explicit WorkTurn(DownloadChainState& state) : state_(state) {}
    ~WorkTurn() {
        if (!handedOn_)
            state_.EndWork();
    }
    WorkTurn(const WorkTurn&) = delete;
    WorkTurn& operator=(const WorkTurn&) = delete;

    void HandOn() { handedOn_ = true; }

private:
    DownloadChainState& state_;
    bool handedOn_ = false;
};
