// Whether the machine is too old for the control: Windows NT 4 or older, or
// Internet Explorer 5 or older.
#pragma once

#include <string>

class TraceLog;
struct OsVersionRecord;

struct LowVersionVerdict {
    int tooOld = 0;         // 1 or 0
    std::wstring traceLine; // the failure event to log; empty when nothing is logged
};

// The decision on an OS major version and the IE major text (its integer value
// counts; "0" when mshtml.dll could not be read).
LowVersionVerdict JudgeLowVersion(int osMajor, const std::wstring& ieMajorText);

// Everything after the system reads: fills the out-values from the record and
// the IE text, writes the trace line when too old, returns the verdict.
int ReportLowVersion(const OsVersionRecord& record, const std::wstring& ieMajorText, int& osMajor,
                     int& osMinor, int& ieMajor, const TraceLog& log);

// Reads the version record and the IE version, reports OS major, OS minor and
// IE major through the out-values and returns 1 when too old (after writing
// one trace line), else 0. Without a version record it returns 0, logs
// nothing and the out-values are 0.
int CheckLowVersion(int& osMajor, int& osMinor, int& ieMajor, const TraceLog& log);
