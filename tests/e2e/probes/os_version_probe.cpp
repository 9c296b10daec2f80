// Prints the Windows and browser versions as the control reads them, one "key=value"
// line each, in UTF-8. Usage: os_version_probe DATA_FOLDER (ending in a backslash).
// The trace log of the low-version check goes to DATA_FOLDER\VeyrantLog\ and is
// switched by DATA_FOLDER\VeyrantSetting\Default.cfg.
#include "common/com_types.h"
#include "common/text.h"
#include "config/trace_log.h"
#include "envcheck/ie_version.h"
#include "envcheck/low_version.h"
#include "envcheck/os_version.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Print(const char* key, const std::wstring& value) {
    std::printf("%s=%s\n", key, ToCodePage(value, CP_UTF8).c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ComApartment apartment(COINIT_APARTMENTTHREADED); // the trace switch is read with MSXML
    if (argc != 2) {
        std::fprintf(stderr, "usage: os_version_probe DATA_FOLDER\n");
        return 2;
    }
    std::wstring dataFolder = argv[1];

    OsVersionRecord record;
    bool haveRecord = ReadOsVersionRecord(record);
    Print("record", FormatW(L"%d %u.%u.%u platform %u type %u suite 0x%x extended %d \"%ls\"",
                            haveRecord ? 1 : 0, record.major, record.minor, record.build,
                            record.platformId, record.productType, record.suiteMask,
                            record.extended ? 1 : 0, record.servicePack.c_str()));

    OsDescription os;
    Print("query", FormatW(L"%d", QueryOsVersion(os)));
    Print("name", os.name);
    Print("edition", os.edition);
    Print("servicepack", os.servicePack);
    Print("system", FormatSystemVersion(os));
    Print("ie", GetIeMajorVersion());

    TraceLog log = TraceLog::ForPaths(SettingsPaths::ForDataFolder(dataFolder));
    LowVersionCheck check = CheckLowVersion(log);
    Print("low",
          FormatW(L"%d %d %d %d", check.tooOld, check.osMajor, check.osMinor, check.ieMajor));
    return 0;
}
