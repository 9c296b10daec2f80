// Whether the machine is too old for the control: Windows NT 4 or older, or
// Internet Explorer 5 or older.
#pragma once

#include <string>

class TraceSink;
struct OsVersionRecord;

struct LowVersionVerdict {
    int tooOld = 0;         // 1 or 0
    std::wstring traceLine; // the failure event to log; empty when nothing is logged
};

// The decision on an OS major version and the IE major text (its integer value
// counts; "0" when mshtml.dll could not be read).
LowVersionVerdict JudgeLowVersion(int osMajor, const std::wstring& ieMajorText);

// What the check found: the verdict and the versions it was made on (the
// browser settings need the versions as well).
struct LowVersionCheck {
    int tooOld = 0; // 1 or 0
    int osMajor = 0;
    int osMinor = 0;
    int ieMajor = 0;
};

// Everything after the system reads: the versions from the record and the IE
// text; writes the trace line when too old.
LowVersionCheck ReportLowVersion(const OsVersionRecord& record, const std::wstring& ieMajorText,
                                 const TraceSink& log);

// Reads the version record and the IE version; too old writes one trace line.
// Without a version record: not too old, nothing logged, every version 0.
LowVersionCheck CheckLowVersion(const TraceSink& log);
