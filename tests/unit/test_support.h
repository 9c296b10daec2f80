// Helpers shared by the unit tests: throwaway folders and whole-file access.
#pragma once

#include "common/fetch.h"
#include "common/trace_sink.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A fresh empty folder under %TEMP%, removed with its contents at destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder path, ending with a backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// A Linux path as Wine sees it (Z: maps the Linux root), separators turned.
std::wstring WinePathOf(const std::string& unixPath);
// A file of the source tree and of the build folder, as Wine sees them.
std::wstring SourcePath(const std::wstring& relative);
std::wstring BuildPath(const std::wstring& relative);

// Keeps every trace line (any thread) for the test to read.
class RecordingTraceSink final : public TraceSink {
public:
    void Write(const std::wstring& text, int = 1) const override {
        std::lock_guard guard(lock_);
        lines_.push_back(text);
    }
    std::vector<std::wstring> Lines() const {
        std::lock_guard guard(lock_);
        return lines_;
    }
    // The lines so far, forgotten here.
    std::vector<std::wstring> Take() const {
        std::lock_guard guard(lock_);
        return std::exchange(lines_, {});
    }
    bool Contains(const std::wstring& line) const;

private:
    mutable std::mutex lock_;
    mutable std::vector<std::wstring> lines_;
};

// Stands in for the bank server behind a component's fetch function: fixed
// bodies by URL, every request recorded (workers fetch on their own threads).
class FakeBankServer {
public:
    void Serve(const std::wstring& url, const std::string& body);
    void Forget(const std::wstring& url);
    std::string Body(const std::wstring& url) const;
    std::vector<std::wstring> Requests() const;
    // Stores the body at the request's local path as the real fetch does (size
    // cap, observer, acceptance, moved into place from a file beside it): 1, or
    // 0 for a URL not served, an empty or oversized body or a refused one,
    // leaving the target as it was.
    FetchFunction Fetcher();
    // The most fetches that were in progress at the same moment.
    int MostAtOnce() const;

private:
    mutable std::mutex lock_;
    std::map<std::wstring, std::string> bodies_;
    std::vector<std::wstring> requests_;
    int inProgress_ = 0;
    int mostAtOnce_ = 0;
};
