// Names the running Windows version for the page, the diagnosis report and
// the patch check. The naming rules are a pure function of a version record;
// QueryOsVersion reads that record from the system and applies them.
#pragma once

#include <optional>
#include <string>

// What GetVersionExW reports, plus whether the extended record was available.
struct OsVersionRecord {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    unsigned platformId = 0;  // 0 Win32s, 1 Windows 9x, 2 NT
    std::wstring servicePack; // szCSDVersion
    unsigned productType = 0; // 1 workstation, 2 domain controller, 3 server
    unsigned suiteMask = 0;
    bool extended = false; // false: only the basic record, no product type or suite
};

// The other facts the naming rules look at.
struct OsEnvironment {
    unsigned processorArchitecture = 0; // native architecture: 6 Itanium, 9 x64
    int serverR2Metric = 0;             // GetSystemMetrics(89), non-zero on Server 2003 R2
    bool ntHotfixQ246009 = false;       // the NT 4 "Service Pack 6a" hotfix key exists
    // "ProductType" under ProductOptions; read only for the basic record.
    // Empty optional: the value could not be read.
    std::optional<std::wstring> productTypeValue;
};

struct OsDescription {
    std::wstring name;        // "Microsoft Windows XP"
    std::wstring edition;     // "Professional"
    std::wstring servicePack; // "Service Pack 3", "SE", "OSR2", "Service Pack 6a"
};

namespace os_constants {
inline constexpr unsigned kPlatformWin32s = 0;
inline constexpr unsigned kPlatformWindows = 1;
inline constexpr unsigned kPlatformNt = 2;
inline constexpr unsigned kWorkstation = 1;
inline constexpr unsigned kDomainController = 2;
inline constexpr unsigned kServer = 3;
inline constexpr unsigned kSuiteEnterprise = 0x2;
inline constexpr unsigned kSuiteDatacenter = 0x80;
inline constexpr unsigned kSuitePersonal = 0x200;
inline constexpr unsigned kSuiteBlade = 0x400;
inline constexpr unsigned kArchitectureItanium = 6;
inline constexpr unsigned kArchitectureX64 = 9;
inline constexpr int kMetricServerR2 = 89;
} // namespace os_constants

// Applies the naming rules. Returns 1, or 0 when the basic record is all there
// is and the product type cannot be read (the OS name is then already set).
// `out` is cleared first.
int DescribeOs(const OsVersionRecord& record, const OsEnvironment& env, OsDescription& out);

// The page's text: "%s %s,%s" of name, edition and service-pack text, with
// every "Service Pack " in the last shortened to "SP".
std::wstring FormatSystemVersion(const OsDescription& os);
// The same with the service-pack text as the system gives it (the report's).
std::wstring FormatFullSystemVersion(const OsDescription& os);

// GetVersionExW with the extended record first, the basic one as fall-back.
bool ReadOsVersionRecord(OsVersionRecord& record);

// Reads the record and the environment from the system and names the version.
// Returns 1 on success, 0 when no version record is available (all texts empty)
// or the basic record's product type cannot be read.
int QueryOsVersion(OsDescription& out);
