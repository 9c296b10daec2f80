// The trace log: one line per notable event, appended to VeyrantTrace.log in
// the ANSI code page when Default.cfg switches tracing on ("Debug" element).
#pragma once

#include "common/trace_sink.h"
#include "config/settings_paths.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// "时间：YYYY-MM-DD hh:mm:ss " + text + "\n", converted to the given code page.
std::string FormatTraceLine(const SYSTEMTIME& time, std::wstring_view text, unsigned codePage);

// Whether a "Debug" switch allows a line of this level: present and not "false"
// (case matters), or any level other than 1.
bool TraceSwitchAllows(bool hasDebugElement, const std::wstring& debugText, int level);

// How the switch file looked: whether it is there, its size and its last
// write time (100 ns units), so it is parsed again only when it changed.
struct SwitchFileFacts {
    bool exists = false;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    bool operator==(const SwitchFileFacts&) const = default;
};

// Any thread may write lines at once: the switch is kept under a lock and
// Default.cfg is parsed only when its bytes change, so a line costs the same
// whatever the file holds. Its facts (size, time) tell a change apart without
// reading it, except within one step of the volume's time stamps after a
// write: then its bytes are read and compared with those last parsed.
class TraceLog final : public TraceSink {
public:
    // The log file and the Default.cfg that holds the switch (full paths).
    TraceLog(std::wstring logFile, std::wstring switchFile);
    // The data folder's log and switch file.
    static TraceLog ForPaths(const SettingsPaths& paths) {
        return TraceLog(paths.TraceLogFile(), paths.userSettingsFile);
    }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // Appends one line when the switch allows it; failures are silent.
    void Write(const std::wstring& text, int level = 1) const override;

    const std::wstring& LogFile() const { return logFile_; }

private:
    // The switch as last read, with the facts, the bytes and the time of that reading.
    struct SwitchReading {
        bool valid = false;
        SwitchFileFacts facts;
        std::uint64_t readAt = 0;
        std::optional<std::string> bytes; // none: missing or unreadable
        bool hasDebug = false;
        std::wstring debugText;
    };

    bool Enabled(int level) const;
    void ReadSwitch(const SwitchFileFacts& facts, std::uint64_t now) const;
    std::uint64_t TimeStampStep() const;
    void MakeFolderOnce() const;
    void Append(const std::string& line) const;

    std::wstring logFile_;
    std::wstring switchFile_;
    mutable std::mutex lock_;
    // One append at a time in this process: appends through separate handles
    // are not atomic everywhere (under Wine, lines of threads writing at once
    // were lost), and the log must keep every line.
    mutable std::mutex appendLock_;
    mutable SwitchReading switch_;
    mutable std::uint64_t timeStampStep_ = 0; // 0: not known yet
    mutable bool folderMade_ = false;
};
