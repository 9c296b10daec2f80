#include "envcheck/low_version.h"

#include "common/text.h"
#include "common/trace_sink.h"
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

LowVersionCheck ReportLowVersion(const OsVersionRecord& record, const std::wstring& ieMajorText,
                                 const TraceSink& log) {
    LowVersionCheck check;
    check.osMajor = static_cast<int>(record.major);
    check.osMinor = static_cast<int>(record.minor);
    check.ieMajor = static_cast<int>(std::wcstol(ieMajorText.c_str(), nullptr, 10));
    LowVersionVerdict verdict = JudgeLowVersion(check.osMajor, ieMajorText);
    if (!verdict.traceLine.empty())
        log.Write(verdict.traceLine);
    check.tooOld = verdict.tooOld;
    return check;
}

LowVersionCheck CheckLowVersion(const TraceSink& log) {
    OsVersionRecord record;
    if (!ReadOsVersionRecord(record))
        return {};
    return ReportLowVersion(record, GetIeMajorVersion(), log);
}
