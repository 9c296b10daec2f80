#include "envcheck/low_version.h"

#include "common/text.h"
#include "control/trace_log.h"
#include "envcheck/ie_version.h"
#include "envcheck/os_version.h"

#include <cwchar>

LowVersionVerdict JudgeLowVersion(int osMajor, const std::wstring& ieMajorText) {
    LowVersionVerdict verdict;
    int ieMajor = static_cast<int>(std::wcstol(ieMajorText.c_str(), nullptr, 10));
    if (ieMajor <= 5 || osMajor <= 4) {
        verdict.tooOld = 1;
        verdict.traceLine = L"失败事件：系统或IE版本过低 IE版本：" + ieMajorText + L" 系统版本：" +
                            FormatW(L"%d", osMajor);
    }
    return verdict;
}

int ReportLowVersion(const OsVersionRecord& record, const std::wstring& ieMajorText, int& osMajor,
                     int& osMinor, int& ieMajor, const TraceLog& log) {
    osMajor = static_cast<int>(record.major);
    osMinor = static_cast<int>(record.minor);
    ieMajor = static_cast<int>(std::wcstol(ieMajorText.c_str(), nullptr, 10));
    LowVersionVerdict verdict = JudgeLowVersion(osMajor, ieMajorText);
    if (!verdict.traceLine.empty())
        log.Write(verdict.traceLine);
    return verdict.tooOld;
}

int CheckLowVersion(int& osMajor, int& osMinor, int& ieMajor, const TraceLog& log) {
    osMajor = osMinor = ieMajor = 0;
    OsVersionRecord record;
    if (!ReadOsVersionRecord(record))
        return 0;
    return ReportLowVersion(record, GetIeMajorVersion(), osMajor, osMinor, ieMajor, log);
}
