// Helpers shared by the unit tests: throwaway folders and whole-file access.
#pragma once

#include "common/trace_sink.h"

#include <mutex>
#include <string>
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
    bool Contains(const std::wstring& line) const;

private:
    mutable std::mutex lock_;
    mutable std::vector<std::wstring> lines_;
};
