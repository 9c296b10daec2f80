#include "envcheck/os_version.h"

#include "common/handles.h"
#include "common/text.h"

#include <windows.h>

using namespace os_constants;

namespace {

bool Is(const OsVersionRecord& r, unsigned major, unsigned minor) {
    return r.major == major && r.minor == minor;
}

bool HasBit(unsigned mask, unsigned bit) {
    return (mask & bit) != 0;
}

void DescribeWindows9x(const OsVersionRecord& r, OsDescription& out) {
    if (r.major != 4)
        return;
    // The second character of the CSD text marks the second releases (" C", " A").
    wchar_t release = r.servicePack.size() > 1 ? r.servicePack[1] : L'\0';
    if (r.minor == 0) {
        out.name = L"Microsoft Windows 95";
        if (release == L'C' || release == L'B')
            out.servicePack = L"OSR2";
    } else if (r.minor == 10) {
        out.name = L"Microsoft Windows 98";
        if (release == L'A' || release == L'B')
            out.servicePack = L"SE";
    } else if (r.minor == 90) {
        out.name = L"Microsoft Windows Millennium Edition";
    }
}

std::wstring NtName(const OsVersionRecord& r, unsigned productType, const OsEnvironment& env) {
    if (Is(r, 6, 1))
        return L"Windows 7";
    if (Is(r, 6, 0))
        return productType == kWorkstation ? L"Windows Vista" : L"Windows Server Longhorn";
    if (Is(r, 5, 2)) {
        if (env.serverR2Metric != 0)
            return L"Microsoft Windows Server 2003 R2";
        if (productType == kWorkstation && env.processorArchitecture == kArchitectureX64)
            return L"Microsoft Windows XP Professional x64 Edition";
        return L"Microsoft Windows Server 2003";
    }
    if (Is(r, 5, 1))
        return L"Microsoft Windows XP";
    if (Is(r, 5, 0))
        return L"Microsoft Windows 2000";
    if (r.major <= 4)
        return L"Microsoft Windows NT";
    return {}; // releases after Windows 7 are not named
}

std::wstring WorkstationEdition(const OsVersionRecord& r, const OsEnvironment& env) {
    if (env.processorArchitecture == kArchitectureX64)
        return {};
    if (r.major == 4)
        return L"Workstation 4.0";
    if (HasBit(r.suiteMask, kSuitePersonal))
        return L"Home Edition";
    return L"Professional";
}

// The Server 2003 edition names; Server 2008 (6.0) and 2008 R2 (6.1) have the
// same editions and suite bits, so they are named the same way.
std::wstring Server2003Edition(unsigned suite, unsigned architecture) {
    if (architecture == kArchitectureItanium) {
        if (HasBit(suite, kSuiteDatacenter))
            return L"Datacenter Edition for Itanium-based Systems";
        if (HasBit(suite, kSuiteEnterprise))
            return L"Enterprise Edition for Itanium-based Systems";
        return {};
    }
    if (architecture == kArchitectureX64) {
        if (HasBit(suite, kSuiteDatacenter))
            return L"Datacenter x64 Edition";
        if (HasBit(suite, kSuiteEnterprise))
            return L"Enterprise x64 Edition";
        return L"Standard x64 Edition";
    }
    if (HasBit(suite, kSuiteDatacenter))
        return L"Datacenter Edition";
    if (HasBit(suite, kSuiteEnterprise))
        return L"Enterprise Edition";
    if (HasBit(suite, kSuiteBlade))
        return L"Web Edition";
    return L"Standard Edition";
}

std::wstring ServerEdition(const OsVersionRecord& r, const OsEnvironment& env) {
    if (Is(r, 5, 2) || Is(r, 6, 0) || Is(r, 6, 1))
        return Server2003Edition(r.suiteMask, env.processorArchitecture);
    if (Is(r, 5, 0)) {
        if (HasBit(r.suiteMask, kSuiteDatacenter))
            return L"Datacenter Server";
        if (HasBit(r.suiteMask, kSuiteEnterprise))
            return L"Advanced Server";
        return L"Server";
    }
    if (r.major == 4)
        return HasBit(r.suiteMask, kSuiteEnterprise) ? L"Server 4.0, Enterprise Edition"
                                                     : L"Server 4.0";
    return {};
}

std::wstring ExtendedEdition(const OsVersionRecord& r, const OsEnvironment& env) {
    if (r.productType == kWorkstation)
        return WorkstationEdition(r, env);
    if (r.productType == kDomainController || r.productType == kServer)
        return ServerEdition(r, env);
    return {};
}

// The basic record has no product type: the ProductOptions value stands in.
struct BasicProduct {
    unsigned productType;
    const wchar_t* word;
};

BasicProduct BasicProductOf(const std::wstring& value) {
    if (EqualsNoCase(value, L"WINNT"))
        return {kWorkstation, L"Workstation"};
    if (EqualsNoCase(value, L"LANMANNT"))
        return {kServer, L"Server"};
    if (EqualsNoCase(value, L"SERVERNT"))
        return {kServer, L"Advanced Server"};
    return {0, L""};
}

// "Workstation 4.0": the product word and the version, as the extended
// record's NT 4 editions read.
std::wstring BasicEdition(const OsVersionRecord& r, const BasicProduct& product) {
    std::wstring version = FormatW(L"%u.%u", r.major, r.minor);
    if (*product.word == L'\0')
        return version;
    return std::wstring(product.word) + L" " + version;
}

std::wstring NtServicePack(const OsVersionRecord& r, const OsEnvironment& env) {
    if (r.major == 4 && EqualsNoCase(r.servicePack, L"Service Pack 6") && env.ntHotfixQ246009)
        return L"Service Pack 6a";
    return r.servicePack;
}

int DescribeNt(const OsVersionRecord& r, const OsEnvironment& env, OsDescription& out) {
    if (r.extended) {
        out.name = NtName(r, r.productType, env);
        out.edition = ExtendedEdition(r, env);
    } else {
        BasicProduct product = BasicProductOf(env.productTypeValue.value_or(L""));
        out.name = NtName(r, product.productType, env);
        if (!env.productTypeValue)
            return 0;
        out.edition = BasicEdition(r, product);
    }
    out.servicePack = NtServicePack(r, env);
    return 1;
}

} // namespace

int DescribeOs(const OsVersionRecord& record, const OsEnvironment& env, OsDescription& out) {
    out = {};
    switch (record.platformId) {
    case kPlatformWin32s:
        out.name = L"Microsoft Win32s";
        return 1;
    case kPlatformWindows:
        DescribeWindows9x(record, out);
        return 1;
    case kPlatformNt:
        return DescribeNt(record, env, out);
    default:
        return 1;
    }
}

std::wstring FormatFullSystemVersion(const OsDescription& os) {
    return os.name + L" " + os.edition + L"," + os.servicePack;
}

std::wstring FormatSystemVersion(const OsDescription& os) {
    OsDescription shortened = os;
    shortened.servicePack = ReplaceAll(os.servicePack, L"Service Pack ", L"SP");
    return FormatFullSystemVersion(shortened);
}

// --- reading the system -------------------------------------------------------

namespace {

static_assert(sizeof(OSVERSIONINFOEXW) == 284 && sizeof(OSVERSIONINFOW) == 276);

unsigned NativeProcessorArchitecture() {
    using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
    SYSTEM_INFO info{};
    // Present from XP on; a 32-bit process on 64-bit Windows sees x64 only through it.
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo");
    if (proc)
        reinterpret_cast<GetNativeSystemInfoFn>(reinterpret_cast<void (*)()>(proc))(&info);
    else
        GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

bool MachineKeyExists(const wchar_t* subKey) {
    RegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, key.out()) ==
           ERROR_SUCCESS;
}

std::optional<std::wstring> ReadProductTypeValue() {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                      KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t buffer[80 + 1] = {}; // at most 160 bytes, and room for a terminator
    DWORD size = 160;
    if (RegQueryValueExW(key.get(), L"ProductType", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        size > 160)
        return std::nullopt;
    return std::wstring(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
}

OsEnvironment ReadOsEnvironment(const OsVersionRecord& record) {
    OsEnvironment env;
    env.processorArchitecture = NativeProcessorArchitecture();
    env.serverR2Metric = GetSystemMetrics(kMetricServerR2);
    if (record.platformId == kPlatformNt && record.major == 4)
        env.ntHotfixQ246009 =
            MachineKeyExists(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009");
    if (!record.extended)
        env.productTypeValue = ReadProductTypeValue();
    return env;
}

} // namespace

bool ReadOsVersionRecord(OsVersionRecord& record) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    record = {};
    record.extended = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)) != FALSE;
    if (!record.extended) {
        info = {};
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
            return false;
    }
    record.major = info.dwMajorVersion;
    record.minor = info.dwMinorVersion;
    record.build = info.dwBuildNumber;
    record.platformId = info.dwPlatformId;
    record.servicePack.assign(info.szCSDVersion, wcsnlen(info.szCSDVersion, 128));
    if (record.extended) {
        record.productType = info.wProductType;
        record.suiteMask = info.wSuiteMask;
    }
    return true;
}

int QueryOsVersion(OsDescription& out) {
    out = {};
    OsVersionRecord record;
    if (!ReadOsVersionRecord(record))
        return 0;
    return DescribeOs(record, ReadOsEnvironment(record), out);
}
