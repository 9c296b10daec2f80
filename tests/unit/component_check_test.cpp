// The component checks: the wording of every decision (status, trace lines,
// report lines) from given findings, and the checker itself against real
// registry keys, real files and the sample availability libraries.
#include "common/handles.h"
#include "common/registry.h"
#include "common/text.h"
#include "config/catalogue.h"
#include "config/component_context.h"
#include "envcheck/component_checker.h"
#include "tests/unit/component_fixture.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Step = CheckStep;

// --- wording of each decision ---------------------------------------------------

ComponentFinding Finding(ComponentKind kind, std::vector<Step> steps) {
    ComponentFinding f;
    f.kind = kind;
    bool control = kind == ComponentKind::Control;
    f.entry.id = control ? 1001 : 4001;
    f.entry.idText = control ? L"1001" : L"4001";
    f.entry.name = control ? L"安全控件" : L"客户端";
    f.entry.regRootKey = L"HKEY_CLASSES_ROOT";
    f.entry.verNum = L"1.0.10";
    f.steps = std::move(steps);
    f.root = HKEY_CLASSES_ROOT;
    f.keyPath = L"CLSID\\{X}\\InprocServer32";
    f.openError = ERROR_FILE_NOT_FOUND;
    f.value = control ? L"C:\\PROGRA~1\\ctl.dll" : L"1.0.9";
    f.longPath = L"C:\\Program Files\\ctl.dll";
    f.longPathError = 0;
    f.versionInfoError = 1812;
    f.fileVersion = L"0.0.0.0";
    f.libraryPath = L"C:\\client\\sub\\Check.dll";
    f.testCode = -3;
    f.testMessage = L"自检失败";
    return f;
}

struct WordingCase {
    const char* what;
    ComponentKind kind;
    std::vector<Step> steps;
    short status;
    std::vector<std::wstring> trace;
    std::wstring report; // after the entry head
};

const ComponentKind kControl = ComponentKind::Control;
const ComponentKind kApp = ComponentKind::Application;

const std::vector<Step> kControlFileRead = {Step::KeyOpened, Step::RegisteredPathRead,
                                            Step::FilePresent, Step::FileVersionRead};
const std::wstring kControlFileReport =
    L"\t已安装\n\t注册路径：C:\\PROGRA~1\\ctl.dll\n\t文件存在\n\t文件版本:0.0.0.0\n";
const std::vector<std::wstring> kControlFileTrace = {
    L"文件号：1001 成功事件：安装检查注册表键值存在",
    L"ID=1001,Path=C:\\Program Files\\ctl.dll,Error=0"};

std::vector<Step> Then(std::vector<Step> first, std::vector<Step> more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

std::vector<std::wstring> Then(std::vector<std::wstring> first, std::vector<std::wstring> more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

const std::vector<WordingCase> kWordingCases = {
    {"list unreadable", kApp, {Step::ListUnreadable}, 0, {}, L""},
    {"entry missing", kControl, {Step::EntryMissing}, 0, {}, L""},
    {"section missing",
     kControl,
     {Step::SectionMissing},
     0,
     {L"文件号：1001 检测失败：XML不完整"},
     L""},
    {"control key missing",
     kControl,
     {Step::KeyMissing},
     4,
     {L"文件号：1001 检测事件：注册表项 HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32",
      L"HKEY：-2147483648 Error：2", L"文件号：1001 错误原因：安装检查注册表项不存在"},
     L"\t未安装\n"},
    {"control without registered path",
     kControl,
     {Step::KeyOpened, Step::RegisteredPathMissing},
     1,
     {L"文件号：1001 错误原因：安装检查注册表键值不存在"},
     L"\t未安装\n"},
    {"control file deleted",
     kControl,
     {Step::KeyOpened, Step::RegisteredPathRead, Step::FileMissing},
     5,
     Then(kControlFileTrace, {L"文件号：1001 错误原因：文件不存在"}),
     L"\t已安装\n\t注册路径：C:\\PROGRA~1\\ctl.dll\n\t文件不存在，建议重装\n"},
    {"control outdated, no version block",
     kControl,
     {Step::KeyOpened, Step::RegisteredPathRead, Step::FilePresent, Step::VersionInfoUnreadable,
      Step::FileVersionRead, Step::Outdated},
     1,
     Then(kControlFileTrace,
          {L"失败事件：文件版本信息获取失败，错误值：1812", L"文件号：1001 错误原因：版本过低"}),
     L"\t已安装\n\t注册路径：C:\\PROGRA~1\\ctl.dll\n\t文件存在\n\t文件版本信息获取失败\n"
     L"\t文件版本:0.0.0.0\n\t文件版本低，建议升级，新版本为：1.0.10\n"},
    {"control without version requirement or test", kControl,
     Then(kControlFileRead, {Step::NoOfferedVersion, Step::LibraryNotConfigured}), 3,
     Then(kControlFileTrace, {L"文件号：1001 检测失败：可用性检查DLL未配置"}),
     kControlFileReport + L"\t可用性检查DLL未配置\n"},
    {"control test passed", kControl,
     Then(kControlFileRead, {Step::LibraryFound, Step::LibraryLoaded, Step::TestPassed}), 3,
     Then(kControlFileTrace,
          {L"文件号：1001 成功事件：可用性检测DLL存在",
           L"文件号：1001, 结果：检测DLL返回成功,返回值：-3, 返回信息： 自检失败"}),
     kControlFileReport +
         L"\t可用性检查DLL存在，DLL路径：C:\\client\\sub\\Check.dll\n\t可用性检测DLL存在\n"
         L"\t检测DLL返回成功,返回值：-3, 返回信息： 自检失败"},
    {"control library not loadable", kControl,
     Then(kControlFileRead, {Step::LibraryFound, Step::LibraryNotLoadable}), 0,
     Then(kControlFileTrace, {L"文件号：1001 检测失败：加载可用性检测DLL失败"}),
     kControlFileReport + L"\t可用性检查DLL存在，DLL路径：C:\\client\\sub\\Check.dll\n"
                          L"\t加载可用性检测DLL失败\n"},
    {"application not configured",
     kApp,
     {Step::RegistryNotConfigured},
     0,
     {L"文件号：4001 检测失败：注册表项未配置"},
     L"\t安装信息未配置\n"},
    {"application key missing",
     kApp,
     {Step::KeyMissing},
     4,
     {L"文件号：4001 错误原因：注册表项不存在"},
     L"\t未安装\n"},
    {"application version value missing",
     kApp,
     {Step::KeyOpened, Step::VersionValueMissing},
     1,
     {L"文件号：4001 错误原因：注册表键值不存在"},
     L"\t已安装\n\t本地无版本信息，建议升级，新版本为：1.0.10\n"},
    {"application outdated",
     kApp,
     {Step::KeyOpened, Step::VersionValueRead, Step::Outdated},
     1,
     {L"文件号：4001 成功事件：注册表键值存在",
      L"文件号：4001 错误原因：版本过低,New:1.0.10 Old:1.0.9"},
     L"\t已安装\n\t文件版本为：1.0.9\n\t版本有更新，建议升级，新版本为：1.0.10\n"},
    {"application without value name, library missing",
     kApp,
     {Step::KeyOpened, Step::NoValueName, Step::LibraryMissing},
     0,
     {L"文件号：4001 检测失败：可用性检查DLL不存在，检查失败"},
     L"\t已安装\n\t无版本信息，安装正常\n\t可用性检查DLL不存在\n"},
    {"application without offered version, library not loadable",
     kApp,
     {Step::KeyOpened, Step::NoOfferedVersion, Step::LibraryFound, Step::LibraryNotLoadable},
     0,
     {L"文件号：4001 检测失败：加载可用性检测DLL失败"},
     L"\t已安装\n\t服务端未配置版本信息\n客户端\t加载可用性检测DLL失败\n"},
    {"application library without entry",
     kApp,
     {Step::KeyOpened, Step::NoValueName, Step::LibraryFound, Step::LibraryLoaded,
      Step::EntryPointMissing},
     0,
     {L"文件号：4001 成功事件：检测DLL存在", L"文件号：4001 检测失败：调用可用性检测DLL函数失败"},
     L"\t已安装\n\t无版本信息，安装正常\n\t可用性检查DLL存在\n\t调用可用性检测DLL函数失败\n"},
    {"application test failed",
     kApp,
     {Step::KeyOpened, Step::NoValueName, Step::LibraryFound, Step::LibraryLoaded,
      Step::TestFailed},
     5,
     {L"文件号：4001 成功事件：检测DLL存在",
      L"文件号：4001, 结果：检测DLL返回失败,返回值：-3, 返回信息： 自检失败"},
     L"\t已安装\n\t无版本信息，安装正常\n\t可用性检查DLL存在\n"
     L"\t检测DLL返回失败,返回值：-3, 返回信息： 自检失败"},
};

TEST(ComponentWording, EachDecisionHasItsStatusTraceAndReportText) {
    for (const WordingCase& c : kWordingCases) {
        SCOPED_TRACE(c.what);
        ComponentFinding f = Finding(c.kind, c.steps);
        CheckVerdict verdict = VerdictOf(f);
        EXPECT_EQ(verdict.status, c.status);
        EXPECT_EQ(verdict.traceLines, c.trace);
        std::wstring head = c.kind == kControl ? L"\n安全控件\n" : L"\n客户端：\n";
        EXPECT_EQ(ReportEntryOf(f), head + c.report);
    }
}

// --- the checker on the real system ------------------------------------------------

std::wstring SampleFile(const std::wstring& name) {
    std::wstring path = L"Z:" + FromCodePage(TOVRAL_BINARY_DIR, CP_UTF8) + L"/samples/" + name;
    return ReplaceAll(path, L"/", L"\\");
}

std::wstring Item(const std::wstring& attributes) {
    return L"<item " + attributes + L"/>";
}

class CheckerTest : public testing::Test, protected ComponentFixture {
protected:
    void SetUp() override {
        keyPath_ = FormatW(L"Software\\TovralUnit\\%lu", GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
        // A registered control (a copy of the sample, version 1.0.0.1) and an application.
        control_ = dir / L"SampleCtl.dll";
        ASSERT_TRUE(CopyFileW(SampleFile(L"SampleCtl.dll").c_str(), control_.c_str(), FALSE));
        Write(L"\\Ctl\\InprocServer32", nullptr, control_);
        Write(L"\\Gone\\InprocServer32", nullptr, dir / L"Deleted.dll");
        CreateRegKey(HKEY_CURRENT_USER, keyPath_ + L"\\NoPath\\InprocServer32");
        Write(L"\\App", L"Version", L"1.0.9");
        Write(L"\\App", L"Long", L"3.0.0.0 " + std::wstring(300, L'x'));
        CreateDirectoryW((clientFolder + L"sub").c_str(), nullptr);
        for (const wchar_t* name : {L"CheckOk.dll", L"CheckFail.dll", L"CheckNoExport.dll"})
            ASSERT_TRUE(CopyFileW(SampleFile(name).c_str(), (clientFolder + name).c_str(), FALSE));
        CopyFileW(SampleFile(L"CheckOk.dll").c_str(), (clientFolder + L"sub\\CheckOk.dll").c_str(),
                  FALSE);
        WriteBytes(clientFolder + L"NotALibrary.dll", "plain text");
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str()); }

    void Write(const std::wstring& sub, const wchar_t* name, const std::wstring& value) {
        RegKey key = CreateRegKey(HKEY_CURRENT_USER, keyPath_ + sub);
        ASSERT_TRUE(key && WriteRegString(key.get(), name, value));
    }
    std::wstring Control(int id, const std::wstring& sub, const std::wstring& more) {
        return Item(
            FormatW(L"id=\"%d\" name=\"控件%d\" regrootkey=\"HKEY_CURRENT_USER\" ", id, id) +
            L"regsubkey=\"" + keyPath_ + sub + L"\" " + more);
    }
    std::wstring App(int id, const std::wstring& more) {
        return Item(FormatW(L"id=\"%d\" name=\"应用%d\" regsubkey=\"", id, id) + keyPath_ +
                    L"\\App\" " + more);
    }
    void SetCatalogue(ConfigText which, const std::wstring& controls, const std::wstring& apps) {
        texts.Set(which, L"<Utility><Control>" + controls + L"</Control><Application>" + apps +
                             L"</Application></Utility>");
    }

    std::wstring control_;
    std::wstring keyPath_;
    ComponentContext context_ = MakeContext();
    CatalogueCache catalogue_{texts, [this] { return language; }};
};

TEST_F(CheckerTest, ApplicationDecisions) {
    const std::wstring hkcu = L"regrootkey=\"HKEY_CURRENT_USER\" ";
    SetCatalogue(ConfigText::Chinese, L"",
                 App(4001, hkcu + L"regkey=\"Version\" vernum=\"1.0.10\"") +
                     App(4002, hkcu + L"regkey=\"Version\" vernum=\"1.0.9\"") +
                     App(4003, hkcu + L"regkey=\"Version\" vernum=\"\"") +
                     App(4004, hkcu + L"regkey=\"Long\" vernum=\"3.0.0.0\"") +
                     App(4005, L"regrootkey=\"hkey_current_user\" regkey=\"Version\"") +
                     App(4006, L"regrootkey=\"\"") +
                     App(4007, hkcu + L"regkey=\"Missing\" vernum=\"1.0\"") +
                     App(4002, hkcu + L"regkey=\"Version\" vernum=\"9\""));
    ComponentChecker checker(context_, catalogue_.Source());
    EXPECT_EQ(checker.CheckApplicationStatus(4001), 1); // 1.0.9 is lower than 1.0.10
    EXPECT_EQ(trace.Take(),
              (std::vector<std::wstring>{L"文件号：4001 成功事件：注册表键值存在",
                                         L"文件号：4001 错误原因：版本过低,New:1.0.10 Old:1.0.9"}));
    EXPECT_EQ(checker.CheckApplicationStatus(4002), 3) << "the first of two equal ids counts";
    EXPECT_EQ(checker.CheckApplicationStatus(4003), 3) << "no offered version: no version test";
    EXPECT_EQ(checker.CheckApplicationStatus(4004), 3) << "a long value is read whole";
    trace.Take();
    EXPECT_EQ(checker.CheckApplicationStatus(4005), 4) << "roots are named by exact text";
    EXPECT_EQ(checker.CheckApplicationStatus(4006), 0);
    EXPECT_EQ(checker.CheckApplicationStatus(4007), 1);
    EXPECT_EQ(checker.CheckApplicationStatus(4999), 0);
    EXPECT_EQ(trace.Take(),
              (std::vector<std::wstring>{L"文件号：4005 错误原因：注册表项不存在",
                                         L"文件号：4006 检测失败：注册表项未配置",
                                         L"文件号：4007 错误原因：注册表键值不存在"}));
}

TEST_F(CheckerTest, ControlDecisions) {
    SetCatalogue(ConfigText::Chinese,
                 Control(1001, L"\\Ctl", L"vernum=\"1.0.0.1\"") +
                     Control(1002, L"\\Ctl", L"vernum=\"1.0.0.10\"") +
                     Control(1003, L"\\Ctl", L"vernum=\"\"") +
                     Control(1004, L"\\Gone", L"vernum=\"1.0\"") + Control(1005, L"\\NoPath", L"") +
                     Control(1006, L"\\Nothing", L""),
                 L"");
    ComponentChecker checker(context_, catalogue_.Source());
    EXPECT_EQ(checker.CheckControlStatus(1001), 3);
    std::vector<std::wstring> lines = trace.Take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"ID=1001,Path=" + control_ + L",Error=0");
    EXPECT_EQ(checker.CheckControlStatus(1002), 1);
    EXPECT_EQ(checker.CheckControlStatus(1003), 3) << "no offered version: no requirement";
    EXPECT_EQ(checker.CheckControlStatus(1004), 5) << "registered but deleted";
    EXPECT_EQ(checker.CheckControlStatus(1005), 1);
    EXPECT_EQ(checker.CheckControlStatus(1006), 4);
    lines = trace.Take();
    EXPECT_EQ(lines.back(), L"文件号：1006 错误原因：安装检查注册表项不存在");
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"文件号：1004 错误原因：文件不存在"),
              lines.end());
}

TEST_F(CheckerTest, AvailabilityLibraries) {
    auto with = [&](int id, const std::wstring& dll) {
        return Control(id, L"\\Ctl", L"vernum=\"1.0.0.1\" checkstatedll=\"" + dll + L"\"");
    };
    CopyFileW(SampleFile(L"CheckOk.dll").c_str(), (dir / L"Escaped.dll").c_str(), FALSE);
    const std::wstring escape = L"..\\Escaped.dll"; // the client folder's parent
    SetCatalogue(ConfigText::Chinese,
                 with(1001, L"sub/CheckOk.dll") + with(1002, L"CheckFail.dll") +
                     with(1003, L"CheckNoExport.dll") + with(1004, L"NotALibrary.dll") +
                     with(1005, escape) + with(1006, L"C:\\windows\\system32\\kernel32.dll") +
                     with(1007, L"Absent.dll") + with(1008, L"sub/../NUL.dll"),
                 App(4001, L"regrootkey=\"HKEY_CURRENT_USER\" checkstatedll=\"CheckFail.dll\""));
    ComponentChecker checker(context_, catalogue_.Source());
    EXPECT_EQ(checker.CheckControlStatus(1001), 3);
    EXPECT_EQ(trace.Take().back(),
              L"文件号：1001, 结果：检测DLL返回成功,返回值：0, 返回信息： sample component ready");
    EXPECT_EQ(checker.CheckControlStatus(1002), 5);
    EXPECT_EQ(trace.Take().back(),
              L"文件号：1002, 结果：检测DLL返回失败,返回值：-3, 返回信息： 示例组件自检失败");
    EXPECT_EQ(checker.CheckApplicationStatus(4001), 5);
    EXPECT_EQ(trace.Take().back(),
              L"文件号：4001, 结果：检测DLL返回失败,返回值：-3, 返回信息： 示例组件自检失败");
    EXPECT_EQ(checker.CheckControlStatus(1003), 0);
    EXPECT_EQ(trace.Take().back(), L"文件号：1003 检测失败：调用可用性检测DLL函数失败");
    EXPECT_EQ(checker.CheckControlStatus(1004), 0);
    EXPECT_EQ(trace.Take().back(), L"文件号：1004 检测失败：加载可用性检测DLL失败");
    EXPECT_EQ(checker.CheckControlStatus(1005), 3) << "a library beside the client folder";
    EXPECT_EQ(trace.Take().back(),
              L"文件号：1005, 结果：检测DLL返回成功,返回值：0, 返回信息： sample component ready");
    // Texts that name no file under the client folder count as missing.
    for (int id : {1006, 1007, 1008}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(checker.CheckControlStatus(id), 0);
        EXPECT_EQ(trace.Take().back(),
                  FormatW(L"文件号：%d 检测失败：可用性检查DLL不存在，检查失败", id));
    }
    // The report words the same decisions.
    std::wstring report = checker.ReportSection(ComponentKind::Control);
    EXPECT_NE(
        report.find(L"\n控件1001\n\t已安装\n\t注册路径：" + control_ +
                    L"\n\t文件存在\n\t文件版本:1.0.0.1\n\t可用性检查DLL存在，DLL路径：" +
                    clientFolder +
                    L"sub\\CheckOk.dll\n\t可用性检测DLL存在\n"
                    L"\t检测DLL返回成功,返回值：0, 返回信息： sample component ready\n控件1002\n"),
        std::wstring::npos)
        << report;
}

TEST(AvailabilityLibraryPath, JoinsAsWrittenAndRefusesWhatCannotBeAPath) {
    const std::wstring client = L"C:\\Client\\";
    struct Case {
        std::wstring text;
        std::optional<std::wstring> path;
    } cases[] = {
        {L"Check.dll", client + L"Check.dll"},
        {L"sub/Check.dll", client + L"sub\\Check.dll"},
        {L"..\\Common\\Check.dll", client + L"..\\Common\\Check.dll"},
        {L"../../Bank/Check.dll", client + L"..\\..\\Bank\\Check.dll"},
        {L"CONSOLE.dll", client + L"CONSOLE.dll"},
        {L"NUL", std::nullopt},
        {L"sub/com1.dll", std::nullopt},
        {L"Aux .txt/Check.dll", std::nullopt},
        {std::wstring(L"Check.dll\0.exe", 14), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AvailabilityLibraryPath(client, c.text), c.path) << c.text;
}

TEST_F(CheckerTest, TheCatalogueFollowsTheLanguageAndItsText) {
    SetCatalogue(ConfigText::Chinese, L"", L"");
    SetCatalogue(ConfigText::English, Control(1001, L"\\Ctl", L""), L"");
    ComponentChecker checker(context_, catalogue_.Source());
    language = L"ENG";
    EXPECT_EQ(checker.CheckControlStatus(1001), 3) << "English list for \"eng\"";
    SetCatalogue(ConfigText::English, L"", L"");
    EXPECT_EQ(checker.CheckControlStatus(1001), 0) << "a new text replaces the old whole";
    language = L"fra";
    SetCatalogue(ConfigText::Chinese, Control(1001, L"\\Nothing", L""), L"");
    EXPECT_EQ(checker.CheckControlStatus(1001), 4) << "Chinese list for any other language";
}

TEST_F(CheckerTest, UnreadableListAndMissingSection) {
    ComponentChecker checker(context_, catalogue_.Source());
    EXPECT_EQ(checker.CheckControlStatus(1001), 0) << "nothing decrypted yet";
    EXPECT_TRUE(trace.Take().empty());
    texts.Set(ConfigText::Chinese, L"<Utility><Control/></Utility>");
    EXPECT_EQ(checker.CheckApplicationStatus(4001), 0) << "parsed once the text is there";
    EXPECT_EQ(trace.Take(), std::vector<std::wstring>{L"文件号：4001 检测失败：XML不完整"});
    EXPECT_EQ(checker.ReportSection(ComponentKind::Application), L"");
}

TEST_F(CheckerTest, FirstChecksOfTwoThreadsAgree) {
    SetCatalogue(ConfigText::Chinese, Control(1001, L"\\Ctl", L"checkstatedll=\"CheckOk.dll\""),
                 L"");
    ComponentChecker checker(context_, catalogue_.Source());
    short results[2][20] = {};
    auto run = [&](int thread) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (short& result : results[thread])
            result = checker.CheckControlStatus(1001);
        CoUninitialize();
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    for (auto& thread : results)
        for (short result : thread)
            EXPECT_EQ(result, 3);
}

} // namespace
