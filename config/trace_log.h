// The trace log: one line per notable event, appended to VeyrantTrace.log in
// the ANSI code page when Default.cfg switches tracing on ("Debug" element).
#pragma once

#include "common/trace_sink.h"
#include "config/settings_paths.h"

#include <windows.h>

#include <string>
#include <string_view>

// "时间：YYYY-MM-DD hh:mm:ss " + text + "\n", converted to the given code page.
std::string FormatTraceLine(const SYSTEMTIME& time, std::wstring_view text, unsigned codePage);

// Whether a "Debug" switch allows a line of this level: present and not "false"
// (case matters), or any level other than 1.
bool TraceSwitchAllows(bool hasDebugElement, const std::wstring& debugText, int level);

class TraceLog final : public TraceSink {
public:
    // The log file and the Default.cfg that holds the switch (full paths).
    TraceLog(std::wstring logFile, std::wstring switchFile);
    // The data folder's log and switch file.
    static TraceLog ForPaths(const SettingsPaths& paths) {
        return TraceLog(paths.TraceLogFile(), paths.userSettingsFile);
    }

    // Appends one line when the switch allows it; failures are silent.
    void Write(const std::wstring& text, int level = 1) const override;

    const std::wstring& LogFile() const { return logFile_; }

private:
    bool Enabled(int level) const;

    std::wstring logFile_;
    std::wstring switchFile_;
};
