#include "common/text.h"
#include "config/trace_log.h"
#include "envcheck/ie_version.h"
#include "envcheck/low_version.h"
#include "envcheck/os_version.h"
#include "envcheck/version_compare.h"
#include "config/xml_escape.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

using namespace os_constants;

constexpr unsigned kX86 = 0;

OsVersionRecord Nt(unsigned major, unsigned minor, unsigned productType, unsigned suite,
                   std::wstring servicePack) {
    OsVersionRecord r;
    r.major = major;
    r.minor = minor;
    r.platformId = kPlatformNt;
    r.productType = productType;
    r.suiteMask = suite;
    r.servicePack = std::move(servicePack);
    r.extended = true;
    return r;
}

OsVersionRecord Win9x(unsigned minor, std::wstring servicePack) {
    OsVersionRecord r;
    r.major = 4;
    r.minor = minor;
    r.platformId = kPlatformWindows;
    r.servicePack = std::move(servicePack);
    return r;
}

OsEnvironment Env(unsigned architecture = kX86, int r2 = 0, bool hotfix = false) {
    OsEnvironment env;
    env.processorArchitecture = architecture;
    env.serverR2Metric = r2;
    env.ntHotfixQ246009 = hotfix;
    return env;
}

std::wstring PageText(const OsVersionRecord& r, const OsEnvironment& env) {
    OsDescription os;
    EXPECT_EQ(DescribeOs(r, env, os), 1);
    return FormatSystemVersion(os);
}

struct NamingCase {
    const char* what;
    OsVersionRecord record;
    OsEnvironment env;
    const wchar_t* expected;
};

TEST(OsNaming, WorkstationReleases) {
    const NamingCase cases[] = {
        {"XP SP3 professional", Nt(5, 1, 1, 0x100, L"Service Pack 3"), Env(),
         L"Microsoft Windows XP Professional,SP3"},
        {"XP home", Nt(5, 1, 1, kSuitePersonal, L"Service Pack 2"), Env(),
         L"Microsoft Windows XP Home Edition,SP2"},
        {"XP x64", Nt(5, 2, 1, 0, L"Service Pack 2"), Env(kArchitectureX64),
         L"Microsoft Windows XP Professional x64 Edition ,SP2"},
        {"2000 without SP", Nt(5, 0, 1, 0, L""), Env(), L"Microsoft Windows 2000 Professional,"},
        {"NT 4 workstation", Nt(4, 0, 1, 0, L"Service Pack 5"), Env(),
         L"Microsoft Windows NT Workstation 4.0,SP5"},
        {"Vista", Nt(6, 0, 1, 0, L"Service Pack 2"), Env(), L"Windows Vista Professional,SP2"},
        {"7 home", Nt(6, 1, 1, kSuitePersonal, L"Service Pack 1"), Env(),
         L"Windows 7 Home Edition,SP1"},
        {"7 on x64", Nt(6, 1, 1, 0, L"Service Pack 1"), Env(kArchitectureX64), L"Windows 7 ,SP1"},
        {"6.2 is not named", Nt(6, 2, 1, 0, L""), Env(), L" Professional,"},
        {"5.3 is not named", Nt(5, 3, 1, 0, L""), Env(), L" Professional,"},
        {"unknown product type", Nt(5, 1, 7, 0, L""), Env(), L"Microsoft Windows XP ,"},
    };
    for (const NamingCase& c : cases)
        EXPECT_EQ(PageText(c.record, c.env), c.expected) << c.what;
}

TEST(OsNaming, ServerReleases) {
    const unsigned dc = kSuiteDatacenter, ent = kSuiteEnterprise, web = kSuiteBlade;
    const NamingCase cases[] = {
        {"2003 R2 enterprise", Nt(5, 2, 3, ent, L""), Env(kX86, 1),
         L"Microsoft Windows Server 2003 R2 Enterprise Edition,"},
        {"2003 datacenter wins", Nt(5, 2, 3, dc | ent | web, L"Service Pack 1"), Env(),
         L"Microsoft Windows Server 2003 Datacenter Edition,SP1"},
        {"2003 web", Nt(5, 2, 2, web, L""), Env(), L"Microsoft Windows Server 2003 Web Edition,"},
        {"2003 standard", Nt(5, 2, 3, 0, L"Service Pack 2"), Env(),
         L"Microsoft Windows Server 2003 Standard Edition,SP2"},
        {"R2 beats x64 workstation", Nt(5, 2, 1, 0, L""), Env(kArchitectureX64, 1),
         L"Microsoft Windows Server 2003 R2 ,"},
        {"Itanium datacenter", Nt(5, 2, 3, dc | ent, L""), Env(kArchitectureItanium),
         L"Microsoft Windows Server 2003 Datacenter Edition for Itanium-based Systems,"},
        {"Itanium enterprise", Nt(5, 2, 3, ent, L""), Env(kArchitectureItanium),
         L"Microsoft Windows Server 2003 Enterprise Edition for Itanium-based Systems,"},
        {"Itanium other", Nt(5, 2, 3, web, L""), Env(kArchitectureItanium),
         L"Microsoft Windows Server 2003 ,"},
        {"x64 datacenter", Nt(5, 2, 3, dc, L""), Env(kArchitectureX64),
         L"Microsoft Windows Server 2003 Datacenter x64 Edition,"},
        {"x64 enterprise", Nt(5, 2, 3, ent, L""), Env(kArchitectureX64),
         L"Microsoft Windows Server 2003 Enterprise x64 Edition,"},
        {"x64 standard", Nt(5, 2, 3, web, L""), Env(kArchitectureX64),
         L"Microsoft Windows Server 2003 Standard x64 Edition,"},
        {"2000 datacenter", Nt(5, 0, 3, dc | ent, L""), Env(),
         L"Microsoft Windows 2000 Datacenter Server,"},
        {"2000 advanced", Nt(5, 0, 2, ent, L"Service Pack 4"), Env(),
         L"Microsoft Windows 2000 Advanced Server,SP4"},
        {"2000 server", Nt(5, 0, 3, 0, L""), Env(), L"Microsoft Windows 2000 Server,"},
        {"NT 4 enterprise", Nt(4, 0, 3, ent, L""), Env(),
         L"Microsoft Windows NT Server 4.0, Enterprise Edition,"},
        {"NT 4 server", Nt(4, 0, 2, 0, L""), Env(), L"Microsoft Windows NT Server 4.0,"},
        {"NT 3.51 server has no edition", Nt(3, 51, 3, 0, L""), Env(), L"Microsoft Windows NT ,"},
        // Server 2008 and 2008 R2 editions are named like those of Server 2003.
        {"Longhorn", Nt(6, 0, 3, 0, L"Service Pack 2"), Env(),
         L"Windows Server Longhorn Standard Edition,SP2"},
        {"Longhorn enterprise x64", Nt(6, 0, 2, ent, L""), Env(kArchitectureX64),
         L"Windows Server Longhorn Enterprise x64 Edition,"},
        {"6.1 server", Nt(6, 1, 3, dc, L"Service Pack 1"), Env(kArchitectureX64),
         L"Windows 7 Datacenter x64 Edition,SP1"},
        {"6.2 server", Nt(6, 2, 3, dc, L""), Env(), L" ,"},
    };
    for (const NamingCase& c : cases)
        EXPECT_EQ(PageText(c.record, c.env), c.expected) << c.what;
}

TEST(OsNaming, Nt4ServicePack6a) {
    EXPECT_EQ(PageText(Nt(4, 0, 1, 0, L"Service Pack 6"), Env(kX86, 0, true)),
              L"Microsoft Windows NT Workstation 4.0,SP6a");
    EXPECT_EQ(PageText(Nt(4, 0, 1, 0, L"SERVICE PACK 6"), Env(kX86, 0, true)),
              L"Microsoft Windows NT Workstation 4.0,SP6a");
    EXPECT_EQ(PageText(Nt(4, 0, 1, 0, L"Service Pack 6"), Env()),
              L"Microsoft Windows NT Workstation 4.0,SP6");
    EXPECT_EQ(PageText(Nt(4, 0, 1, 0, L"Service Pack 5"), Env(kX86, 0, true)),
              L"Microsoft Windows NT Workstation 4.0,SP5");
    EXPECT_EQ(PageText(Nt(5, 0, 1, 0, L"Service Pack 6"), Env(kX86, 0, true)),
              L"Microsoft Windows 2000 Professional,SP6");
}

TEST(OsNaming, Windows9xAndWin32s) {
    const NamingCase cases[] = {
        {"95", Win9x(0, L""), Env(), L"Microsoft Windows 95 ,"},
        {"95 OSR2 (C)", Win9x(0, L" C"), Env(), L"Microsoft Windows 95 ,OSR2"},
        {"95 OSR2 (B)", Win9x(0, L" B "), Env(), L"Microsoft Windows 95 ,OSR2"},
        {"95 A is not OSR2", Win9x(0, L" A"), Env(), L"Microsoft Windows 95 ,"},
        {"98", Win9x(10, L" "), Env(), L"Microsoft Windows 98 ,"},
        {"98 SE (A)", Win9x(10, L" A "), Env(), L"Microsoft Windows 98 ,SE"},
        {"98 SE (B)", Win9x(10, L" B"), Env(), L"Microsoft Windows 98 ,SE"},
        {"98 C is not SE", Win9x(10, L" C"), Env(), L"Microsoft Windows 98 ,"},
        {"ME", Win9x(90, L" A"), Env(), L"Microsoft Windows Millennium Edition ,"},
        {"9x minor 20", Win9x(20, L" A"), Env(), L" ,"},
    };
    for (const NamingCase& c : cases)
        EXPECT_EQ(PageText(c.record, c.env), c.expected) << c.what;

    OsVersionRecord major5 = Win9x(0, L" C");
    major5.major = 5;
    EXPECT_EQ(PageText(major5, Env()), L" ,");

    OsVersionRecord win32s;
    win32s.major = 1;
    win32s.platformId = kPlatformWin32s;
    win32s.servicePack = L"Service Pack 1";
    EXPECT_EQ(PageText(win32s, Env()), L"Microsoft Win32s ,");

    OsVersionRecord unknownPlatform = Nt(5, 1, 1, 0, L"Service Pack 3");
    unknownPlatform.platformId = 3;
    EXPECT_EQ(PageText(unknownPlatform, Env()), L" ,");
}

TEST(OsNaming, BasicRecordUsesProductOptions) {
    OsVersionRecord r = Nt(4, 0, 0, 0, L"Service Pack 6");
    r.extended = false;
    r.suiteMask = kSuiteEnterprise; // not part of the basic record: ignored
    const struct {
        const wchar_t* value;
        const wchar_t* edition;
    } cases[] = {{L"WINNT", L"Workstation 4.0"},
                 {L"LanmanNt", L"Server 4.0"},
                 {L"SERVERNT", L"Advanced Server 4.0"},
                 {L"Other", L"4.0"}};
    for (const auto& c : cases) {
        OsEnvironment env = Env(kX86, 0, true);
        env.productTypeValue = c.value;
        OsDescription os;
        EXPECT_EQ(DescribeOs(r, env, os), 1);
        EXPECT_EQ(os.name, L"Microsoft Windows NT");
        EXPECT_EQ(os.edition, c.edition) << c.value;
        EXPECT_EQ(os.servicePack, L"Service Pack 6a");
    }

    // The value decides between workstation and server names as the product type would.
    OsVersionRecord vista = Nt(6, 0, 0, 0, L"");
    vista.extended = false;
    OsEnvironment env;
    env.productTypeValue = L"WINNT";
    EXPECT_EQ(PageText(vista, env), L"Windows Vista Workstation 6.0,");
    env.productTypeValue = L"SERVERNT";
    EXPECT_EQ(PageText(vista, env), L"Windows Server Longhorn Advanced Server 6.0,");
}

TEST(OsNaming, BasicRecordWithoutProductOptionsFails) {
    OsVersionRecord r = Nt(4, 0, 0, 0, L"Service Pack 3");
    r.extended = false;
    OsDescription os{L"old", L"old", L"old"};
    EXPECT_EQ(DescribeOs(r, Env(), os), 0);
    EXPECT_EQ(os.name, L"Microsoft Windows NT");
    EXPECT_EQ(os.edition, L"");
    EXPECT_EQ(os.servicePack, L"");
}

TEST(OsNaming, DescribingClearsEarlierTexts) {
    OsVersionRecord r = Win9x(10, L"");
    OsDescription os{L"old", L"old", L"old"};
    DescribeOs(r, Env(), os);
    EXPECT_EQ(os.edition, L"");
    EXPECT_EQ(os.servicePack, L"");
}

TEST(SystemVersionText, ShortensEveryServicePack) {
    EXPECT_EQ(FormatSystemVersion({}), L" ,");
    EXPECT_EQ(FormatSystemVersion({L"N", L"E", L"Service Pack 3, v.3244"}), L"N E,SP3, v.3244");
    EXPECT_EQ(FormatSystemVersion({L"N", L"E", L"Service Pack 1 Service Pack 2"}), L"N E,SP1 SP2");
    EXPECT_EQ(FormatSystemVersion({L"N", L"E", L"Service Pack"}), L"N E,Service Pack");
    EXPECT_EQ(FormatSystemVersion({L"N", L"E", L"OSR2"}), L"N E,OSR2");
}

TEST(SystemVersion, RealRecordIsRead) {
    OsVersionRecord record;
    ASSERT_TRUE(ReadOsVersionRecord(record));
    EXPECT_TRUE(record.extended);
    EXPECT_EQ(record.platformId, kPlatformNt);
    OsDescription os;
    EXPECT_EQ(QueryOsVersion(os), 1);
    EXPECT_EQ(os.servicePack, record.servicePack);
}

TEST(IeVersion, Texts) {
    EXPECT_EQ(IeMajorFromFileVersion(0x00060000), L"6");
    EXPECT_EQ(IeMajorFromFileVersion(0x00080000 | 6001), L"8");
    EXPECT_EQ(IeMajorFromFileVersion(0x000B0000), L"11");
    EXPECT_EQ(FormatIeVersion(L"8", 0), L"8");
    EXPECT_EQ(FormatIeVersion(L"8", -1), L"8");
    EXPECT_EQ(FormatIeVersion(L"6", 2), L"6 SP2");
    EXPECT_EQ(FormatIeVersion(L"0", 1), L"0 SP1");
}

TEST(IeVersion, ServicePackFromMinorVersion) {
    EXPECT_EQ(ParseIeServicePack(L";SP2;"), 2);
    EXPECT_EQ(ParseIeServicePack(L";sp1;"), 1);
    EXPECT_EQ(ParseIeServicePack(L";Q313675;SP1;"), 1);
    EXPECT_EQ(ParseIeServicePack(L""), 0);
    EXPECT_EQ(ParseIeServicePack(L"0"), 0);
    EXPECT_EQ(ParseIeServicePack(L"SP"), 0);
    EXPECT_EQ(ParseIeServicePack(L";SP;"), 0);
    EXPECT_EQ(ParseIeServicePack(L"SPX;SP3"), 3);
    EXPECT_EQ(ParseIeServicePack(L"SP12"), 1); // one digit is read
}

TEST(IeVersion, MshtmlMajorIsANumber) {
    std::wstring major = GetIeMajorVersion();
    ASSERT_FALSE(major.empty());
    EXPECT_EQ(major.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_NE(major, L"0"); // Wine ships mshtml.dll with a version block
}

TEST(LowVersion, Decision) {
    EXPECT_EQ(JudgeLowVersion(5, L"6").tooOld, 0); // IE 6 on Windows 2000
    EXPECT_EQ(JudgeLowVersion(5, L"6").traceLine, L"");
    EXPECT_EQ(JudgeLowVersion(6, L"11").tooOld, 0);
    LowVersionVerdict ie5 = JudgeLowVersion(5, L"5");
    EXPECT_EQ(ie5.tooOld, 1);
    EXPECT_EQ(ie5.traceLine, L"失败事件：系统或IE版本过低 IE版本：5 系统版本：5");
    LowVersionVerdict nt4 = JudgeLowVersion(4, L"8");
    EXPECT_EQ(nt4.tooOld, 1);
    EXPECT_EQ(nt4.traceLine, L"失败事件：系统或IE版本过低 IE版本：8 系统版本：4");
    EXPECT_EQ(JudgeLowVersion(6, L"0").traceLine,
              L"失败事件：系统或IE版本过低 IE版本：0 系统版本：6");
}

class LowVersionLog : public testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryW((dir / L"VeyrantSetting").c_str(), nullptr);
        WriteBytes(dir / L"VeyrantSetting\\Default.cfg", "<User><Debug/></User>");
    }
    std::string LogText() const { return ReadBytes(log.LogFile()); }

    TempFolder dir;
    TraceLog log = TraceLog::ForPaths(SettingsPaths::ForDataFolder(dir.path()));
};

TEST_F(LowVersionLog, TooOldWritesOneLine) {
    LowVersionCheck check = ReportLowVersion(Nt(5, 0, 1, 0, L""), L"5", log);
    EXPECT_EQ(check.tooOld, 1);
    EXPECT_EQ(check.osMajor, 5);
    EXPECT_EQ(check.osMinor, 0);
    EXPECT_EQ(check.ieMajor, 5);
    std::string text = LogText();
    std::string expected = ToCodePage(L"失败事件：系统或IE版本过低 IE版本：5 系统版本：5", CP_ACP);
    ASSERT_GE(text.size(), expected.size() + 1);
    EXPECT_EQ(text.substr(text.size() - expected.size() - 1), expected + "\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(LowVersionLog, RecentEnoughWritesNothing) {
    LowVersionCheck check = ReportLowVersion(Nt(5, 0, 1, 0, L""), L"6", log);
    EXPECT_EQ(check.tooOld, 0);
    EXPECT_EQ(check.ieMajor, 6);
    EXPECT_FALSE(FileExists(log.LogFile()));
}

TEST_F(LowVersionLog, RealSystemMatchesItsRecord) {
    OsVersionRecord record;
    ASSERT_TRUE(ReadOsVersionRecord(record));
    LowVersionCheck check = CheckLowVersion(log);
    EXPECT_EQ(check.osMajor, static_cast<int>(record.major));
    EXPECT_EQ(check.osMinor, static_cast<int>(record.minor));
    EXPECT_EQ(std::to_wstring(check.ieMajor), GetIeMajorVersion());
    EXPECT_EQ(check.tooOld, JudgeLowVersion(check.osMajor, GetIeMajorVersion()).tooOld);
    EXPECT_EQ(FileExists(log.LogFile()), check.tooOld == 1);
}

TEST(VersionCompare, DottedTexts) {
    EXPECT_EQ(IsVersionLower(L"1.2", L"1.2.0.1"), 1);
    EXPECT_EQ(IsVersionLower(L"1.2.0.1", L"1.2"), 0);
    EXPECT_EQ(IsVersionLower(L"3", L"3"), 0);
    EXPECT_EQ(IsVersionLower(L"1.0.9", L"1.0.10"), 1);
    EXPECT_EQ(IsVersionLower(L"1.0.10", L"1.0.9"), 0);
    EXPECT_EQ(IsVersionLower(L"2", L"2.0.0.0"), 0);
    EXPECT_EQ(IsVersionLower(L"2.0.0.0", L"2"), 0);
    EXPECT_EQ(IsVersionLower(L"1.0.3.7", L"1.0.12"), 1);
    EXPECT_EQ(IsVersionLower(L"9", L"10"), 1);
    EXPECT_EQ(IsVersionLower(L"2.0", L"1.9.9.9"), 0);
    EXPECT_EQ(IsVersionLower(L"8.0.6001.18702", L"8.0.6001.18703"), 1);
    EXPECT_EQ(IsVersionLower(L"1.2.3.4", L"1.2.4.0"), 1);
}

TEST(VersionCompare, IrregularTexts) {
    using P = VersionParts;
    EXPECT_EQ(ParseVersionText(L""), (P{0, 0, 0, 0}));
    // Scanning stops at the first component that is not a number, or at a
    // character after the digits that is not a dot: the rest counts as 0.
    EXPECT_EQ(ParseVersionText(L"1.x.3"), (P{1, 0, 0, 0}));
    EXPECT_EQ(ParseVersionText(L"1.2a.3"), (P{1, 2, 0, 0}));
    EXPECT_EQ(ParseVersionText(L"1..3"), (P{1, 0, 0, 0}));
    EXPECT_EQ(ParseVersionText(L"v2.1"), (P{0, 0, 0, 0}));
    EXPECT_EQ(ParseVersionText(L"-1.5"), (P{0, 0, 0, 0}));
    EXPECT_EQ(IsVersionLower(L"1.2a.3", L"1.2.1"), 1);
    EXPECT_EQ(ParseVersionText(L" 7. 8"), (P{7, 8, 0, 0}));
    EXPECT_EQ(ParseVersionText(L"1.2.3.4.5.6"), (P{1, 2, 3, 4}));
    EXPECT_EQ(ParseVersionText(L"4294967295.99999999999"), (P{4294967295u, 4294967295u, 0, 0}));
    EXPECT_EQ(IsVersionLower(L"", L"0"), 0);
    EXPECT_EQ(IsVersionLower(L"", L"0.0.0.1"), 1);
    EXPECT_EQ(IsVersionLower(L"1.2.3.4.1", L"1.2.3.4.9"), 0); // a fifth part does not count
    EXPECT_EQ(IsVersionLower(L"1.2.3.3.9", L"1.2.3.4"), 1);
}

TEST(XmlEscape, EachCharacterOnceInOrder) {
    EXPECT_EQ(EscapeXmlAttribute(L""), L"");
    EXPECT_EQ(EscapeXmlAttribute(L"plain 'text' 中文"), L"plain 'text' 中文");
    EXPECT_EQ(EscapeXmlAttribute(L"a&b<c>d\"e\r\nf"), L"a&amp;b&lt;c&gt;d&quot;e&#13;&#10;f");
    EXPECT_EQ(EscapeXmlAttribute(L"<"), L"&lt;"); // not "&amp;lt;"
    EXPECT_EQ(EscapeXmlAttribute(L"&amp;"), L"&amp;amp;");
    EXPECT_EQ(EscapeXmlAttribute(L"\n\r"), L"&#10;&#13;");
    EXPECT_EQ(EscapeXmlAttribute(L"a\tb"), L"a&#9;b");
}

} // namespace
