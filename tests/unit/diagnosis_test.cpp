// The diagnosis: the check list and the texts handed to the page, the report
// bytes against the expected file, and a whole run on this system.
#include "common/files.h"
#include "common/text.h"
#include "config/component_context.h"
#include "config/xml_node.h"
#include "envcheck/diagnosis.h"

#include "config/catalogue.h"
#include "envcheck/diagnosis_report.h"
#include "envcheck/system_inventory.h"
#include "tests/unit/component_fixture.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const wchar_t kResource[] = LR"(<Resource>
  <websites/>
  <examine>
    <chs><item id="1" name="操作&amp;系统&lt;" info="i" register="0" reboot="0"/><item id="2" name="浏览器"/></chs>
    <eng><item id="1" name="System"/></eng>
  </examine>
</Resource>)";

std::vector<std::wstring> Ids(const CheckList& list) {
    std::vector<std::wstring> ids;
    for (const CheckItem& item : list.items)
        ids.push_back(item.id + L":" + item.name);
    return ids;
}

TEST(CheckList, LanguageChildAndFailures) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(Ids(ReadCheckList(kResource, L"chs")), (V{L"1:操作&系统<", L"2:浏览器"}));
    EXPECT_EQ(Ids(ReadCheckList(kResource, L"CHS")), (V{L"1:操作&系统<", L"2:浏览器"}));
    EXPECT_EQ(Ids(ReadCheckList(kResource, L"eng")), (V{L"1:System"}));
    EXPECT_EQ(Ids(ReadCheckList(kResource, L"fra")), (V{L"1:System"})) << "any other: eng";
    EXPECT_EQ(Ids(ReadCheckList(L"<examine><eng><i id=\"7\" name=\"n\"/></eng></examine>", L"")),
              (V{L"7:n"}))
        << "examine as the root";

    CheckList noLanguage = ReadCheckList(L"<R><examine><chs/></examine></R>", L"eng");
    EXPECT_EQ(noLanguage.state, CheckListState::Read);
    EXPECT_TRUE(noLanguage.items.empty());
    EXPECT_EQ(ReadCheckList(L"<R><websites/></R>", L"chs").state, CheckListState::NoExamine);
    EXPECT_EQ(ReadCheckList(L"<R><examine>", L"chs").state, CheckListState::Unreadable);
    EXPECT_EQ(ReadCheckList(L"", L"chs").state, CheckListState::Unreadable);
}

TEST(CheckList, ItemAndResultTexts) {
    std::vector<CheckItem> items = ReadCheckList(kResource, L"chs").items;
    items.push_back({L"3\"x", L"名"});
    EXPECT_EQ(ItemListText(items), L"<item id=\"1\" name=\"操作&amp;系统&lt;\" statue=\"0\" />"
                                   L"<item id=\"2\" name=\"浏览器\" statue=\"0\" />"
                                   L"<item id=\"3&quot;x\" name=\"名\" statue=\"0\" />");
    EXPECT_EQ(ResultListText(items), L"<item id=\"1\" statue=\"1\" /><item id=\"2\" statue=\"1\" />"
                                     L"<item id=\"3&quot;x\" statue=\"1\" />");
    EXPECT_EQ(ItemListText({}), L"");
}

// The page reads the ids and names back out of the lists: blanks written as
// references in the check list must come back as themselves, not as spaces.
TEST(CheckList, BlanksReadBackFromTheLists) {
    std::vector<CheckItem> items =
        ReadCheckList(L"<examine><eng><item id=\"a&#9;b\" name=\"Bank&#x9;ing&#13;&#10;x\"/>"
                      L"</eng></examine>",
                      L"eng")
            .items;
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(items[0].name, L"Bank\ting\r\nx");
    for (const std::wstring& text : {ItemListText(items), ResultListText(items)}) {
        XmlNode list;
        ASSERT_TRUE(list.LoadXml(L"<r>" + text + L"</r>"));
        ASSERT_EQ(list.ChildCount(), 1u);
        EXPECT_EQ(list.Child(0)->GetAttribute(L"id", L""), L"a\tb");
    }
    XmlNode named;
    ASSERT_TRUE(named.LoadXml(L"<r>" + ItemListText(items) + L"</r>"));
    EXPECT_EQ(named.Child(0)->GetAttribute(L"name", L""), L"Bank\ting\r\nx");
}

ComponentFinding ReportedControl() {
    ComponentFinding f;
    f.kind = ComponentKind::Control;
    f.entry.name = L"安全控件";
    f.steps = {CheckStep::KeyOpened,       CheckStep::RegisteredPathRead, CheckStep::FilePresent,
               CheckStep::FileVersionRead, CheckStep::LibraryFound,       CheckStep::LibraryLoaded,
               CheckStep::TestPassed};
    f.value = L"C:\\WINDOWS\\system32\\ctl.dll";
    f.fileVersion = L"1.0.0.1";
    f.libraryPath = L"C:\\银行\\Check.dll";
    f.testMessage = L"正常";
    return f;
}

ComponentFinding MissingApplication() {
    ComponentFinding f;
    f.kind = ComponentKind::Application;
    f.entry.name = L"网银客户端";
    f.steps = {CheckStep::KeyMissing};
    return f;
}

TEST(DiagnosisReport, BytesMatchTheExpectedFile) {
    ReportInputs in;
    in.reportPath = L"C:\\users\\测试\\Application Data\\Zelmor\\VeyrantLog\\EnvDiagnoseLog.txt";
    in.systemText = L"Microsoft Windows XP Professional,Service Pack 3";
    in.ieMajor = L"8";
    in.controlSection = ReportEntryOf(ReportedControl());
    in.applicationSection = ReportEntryOf(MissingApplication());
    in.processes = {{L"[System Process]", ""},
                    {L"C:\\windows\\system32\\services.exe", "Services and Controller app"},
                    {L"C:\\银行\\TovralHost.exe", ToCodePage(L"网银客户端", 936)}};
    in.helperObjects = {{{}, L"Zelmor.Helper.1", L"C:\\银行\\helper.dll", L"2.1.0.7"},
                        {{}, L"", L"C:\\no-progid.dll", L"1.0.0.0"},
                        {{}, L"Gone.Helper", L"文件不存在。", L"版本号未知。"}};
    std::string expected = ReadBytes(SourcePath(L"tests/fixtures/diagnosis/EnvDiagnoseLog.txt"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(DiagnosisReportBytes(in, 936), expected);
}

TEST(DiagnosisReport, AnsiTextIsCutOnCharacterBoundaries) {
    std::string chinese = ToCodePage(L"网银客户端", 936); // ten bytes
    EXPECT_EQ(CutAnsiText(chinese, 5, 936), chinese.substr(0, 4));
    EXPECT_EQ(CutAnsiText(chinese, 128, 936), chinese);
    EXPECT_EQ(CutAnsiText(std::string(200, 'a'), 128, 936), std::string(128, 'a'));
}

TEST(SystemInventory, ProcessListHoldsThisProgram) {
    std::wstring self = ModuleFilePath(nullptr);
    bool found = false;
    for (const ProcessRecord& process : CollectProcesses())
        found = found || EqualsNoCase(process.path, self);
    EXPECT_TRUE(found) << "no record for " << ToCodePage(self, CP_UTF8);
}

class DiagnosisRun : public testing::Test, protected ComponentFixture {
protected:
    std::string Report() { return ReadBytes(dir / L"VeyrantLog\\EnvDiagnoseLog.txt"); }

    ComponentContext context_ = MakeContext();
    CatalogueCache catalogue_{texts, [this] { return language; }};
};

TEST_F(DiagnosisRun, WritesTheReportAndAnswersTheResultList) {
    texts.Set(ConfigText::Resource, kResource);
    texts.Set(ConfigText::Chinese,
              L"<U><Control><c id=\"1001\" name=\"SecureCtl\" regrootkey=\"HKEY_CLASSES_ROOT\" "
              L"regsubkey=\"CLSID\\{00000000-0000-0000-0000-00000000F00D}\"/></Control></U>");
    ComponentChecker checks(context_, catalogue_.Source());
    DiagnosisReporter reporter(context_, checks);
    EXPECT_EQ(reporter.GetSystemInfo(),
              L"<item id=\"1\" name=\"操作&amp;系统&lt;\" statue=\"0\" /><item id=\"2\" "
              L"name=\"浏览器\" statue=\"0\" />");
    // Two runs at once take turns: the report is one whole report.
    std::wstring results[2];
    auto run = [&](int i) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        results[i] = reporter.RunCheck();
        CoUninitialize();
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    for (const std::wstring& result : results)
        EXPECT_EQ(result, L"<item id=\"1\" statue=\"1\" /><item id=\"2\" statue=\"1\" />");
    std::string report = Report();
    std::string head = ToCodePage(
        L"日志文件保存路径(Log file Path):\r\n" + reporter.ReportPath() + L"\r\n\r\n", CP_ACP);
    EXPECT_EQ(report.substr(0, head.size()), head);
    EXPECT_EQ(report.find("BHO List:"), report.rfind("BHO List:"));
    EXPECT_NE(report.find(ToCodePage(L"\r\nSecureCtl\r\n\t未安装\r\n", CP_ACP)), std::string::npos);
    EXPECT_NE(report.find(ToCodePage(L"ProcessPath:" + ModuleFilePath(nullptr), CP_ACP)),
              std::string::npos);
    EXPECT_EQ(report.find("\n\n"), std::string::npos) << "every line end is CR LF";
}

TEST_F(DiagnosisRun, FailedCheckLists) {
    ComponentChecker checks(context_, catalogue_.Source());
    DiagnosisReporter reporter(context_, checks);
    EXPECT_EQ(reporter.RunCheck(), L"") << "nothing decrypted";
    EXPECT_NE(Report().find("BHO List:"), std::string::npos) << "the report is still written";
    texts.Set(ConfigText::Resource, L"<Resource><websites/></Resource>");
    EXPECT_EQ(reporter.GetSystemInfo(), L"");
    EXPECT_EQ(reporter.RunCheck(), L"");
    EXPECT_TRUE(FileExists(reporter.ReportPath()));
    EXPECT_EQ(Report(), "") << "no examine: the report stays empty";
}

} // namespace
