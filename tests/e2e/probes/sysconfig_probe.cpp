// Runs one browser, certificate or access-rights operation as the installer
// would, against a catalogue text read from a UTF-8 file. Prints, one per
// line, what the page would be told ("post=MESSAGE,WPARAM,LPARAM", as the
// download chain's reporter posts a certificate's result) and the
// operation's result ("result=N"); access-rights messages come in between, on
// the same standard output. Trace lines go to %APPDATA%\Zelmor\VeyrantLog\.
//
// Usage: sysconfig_probe CATALOGUE OPERATION [ARGUMENTS]
//   trustlist | refresh | popups | blocker | site PATTERN ACTION
//   zones [OS_MAJOR IE_MAJOR]  (without them: the versions the system reports)
//   cert ID | certstatus ID | access PATH | grant PATH ACCOUNT
#include "common/com_types.h"
#include "common/page_messages.h"
#include "common/text.h"
#include "config/catalogue.h"
#include "config/trace_log.h"
#include "envcheck/low_version.h"
#include "sysconfig/access_rights.h"
#include "sysconfig/browser_settings.h"
#include "sysconfig/root_cert_entries.h"
#include "sysconfig/root_certificates.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::wstring DataFolder() {
    wchar_t appData[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
    return std::wstring(appData) + L"\\Zelmor\\";
}

std::wstring ReadUtf8File(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return FromCodePage(bytes, CP_UTF8);
}

int Usage() {
    std::fwprintf(stderr, L"usage: sysconfig_probe CATALOGUE OPERATION [ARGUMENTS]\n");
    return 2;
}

void PrintPost(UINT message, WPARAM wParam, LPARAM lParam) {
    std::wprintf(L"post=%u,%d,%d\n", message, static_cast<int>(wParam), static_cast<int>(lParam));
}

struct Probe {
    const TraceSink& trace;
    CatalogueSnapshot catalogue;

    // The versions as the control asks them of its version check.
    MajorVersions SystemVersions() const {
        LowVersionCheck check = CheckLowVersion(trace);
        return {check.osMajor, check.ieMajor};
    }

    BrowserSettings Browser(VersionSource versions) const {
        return BrowserSettings(trace, std::move(versions));
    }

    int Run(const std::vector<std::wstring>& args) const {
        const std::wstring& op = args[0];
        size_t count = args.size();
        VersionSource system = [this] { return SystemVersions(); };
        if (op == L"trustlist" && count == 1)
            return Browser(system).ApplyTrustList(catalogue.get());
        if (op == L"refresh" && count == 1)
            return Browser(system).ApplyRefreshMode();
        if (op == L"popups" && count == 1)
            return Browser(system).ApplyPopupAllowList(catalogue.get());
        if (op == L"blocker" && count == 1)
            return Browser(system).ApplyPopupBlockerLevel();
        if (op == L"site" && count == 3)
            return Browser(system).SetTrustedSite(args[1], args[2]);
        if (op == L"zones" && count == 1)
            return Browser(system).ApplyTrustedZonePolicies();
        if (op == L"zones" && count == 3) {
            MajorVersions given{_wtoi(args[1].c_str()), _wtoi(args[2].c_str())};
            return Browser([given] { return given; }).ApplyTrustedZonePolicies();
        }
        if (op == L"cert" && count == 2) {
            const int id = _wtoi(args[1].c_str());
            const bool installed = RootCertificates(trace).InstallRootCert(catalogue.get(), id);
            PrintPost(VeyrantMessage::kInstalledCompleted, static_cast<WPARAM>(id),
                      installed ? kReportSuccess : kReportFailure);
            return 1;
        }
        if (op == L"certstatus" && count == 2)
            return RootCertStatusIn(catalogue.get(), _wtoi(args[1].c_str()));
        if (op == L"access" && count == 2)
            return AddAccessRights(args[1]);
        if (op == L"grant" && count == 3)
            return GrantAccess(args[1], args[2], kUsersAccess);
        return -1;
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    ComApartment apartment(COINIT_APARTMENTTHREADED); // the trace switch is read with MSXML
    if (argc < 3)
        return Usage();
    std::wstring text = ReadUtf8File(argv[1]);
    TraceLog log = TraceLog::ForPaths(SettingsPaths::ForDataFolder(DataFolder()));
    Probe probe{log, XmlNode::ParseFrozen(text)};
    int result = probe.Run(std::vector<std::wstring>(argv + 2, argv + argc));
    if (result < 0)
        return Usage();
    std::wprintf(L"result=%d\n", result);
    std::fflush(stdout);
    return 0;
}
