// The patch check: release codes, every matching rule of the patch list fed
// with installed-update records, and the update agent's failure path.
#include "common/text.h"
#include "config/component_context.h"
#include "config/xml_node.h"
#include "envcheck/installed_updates.h"
#include "envcheck/patch_check.h"
#include "envcheck/patch_checker.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

const wchar_t kReleases[] = LR"(
  <window>
    <r remark="Windows 7" sub="Home Edition" sp="Service Pack 1" value="home"/>
    <r remark=" windows 7 " sub="PROFESSIONAL" sp="service pack 1 " value=" w7 "/>
    <r remark="Windows 7" sub="Professional" sp="Service Pack 1" value="second"/>
  </window>
  <ie><r remark="8" sp="1" value="ie8sp1"/><r remark="8" sp="0" value="IE8"/></ie>
  <language><r remark="CHS" value="cn"/><r remark="eng" value="en"/></language>)";

PatchEnvironment Windows7(const std::wstring& language = L"chs") {
    PatchEnvironment env;
    env.os = {L"Windows 7", L"Professional", L"Service Pack 1"};
    env.ieMajor = L"8";
    env.ieServicePack = 0;
    env.language = language;
    return env;
}

std::wstring Check(const std::wstring& files, const PatchEnvironment& env,
                   const std::vector<InstalledUpdate>& installed = {},
                   const std::wstring& releases = kReleases) {
    XmlNode list;
    EXPECT_TRUE(
        list.LoadXml(L"<EnvPatch>" + releases + L"<files>" + files + L"</files></EnvPatch>"));
    return MissingPatchesText(list, env, installed);
}

std::wstring Missing(const std::wstring& elements) {
    return L"<PathUpdate>" + elements + L"</PathUpdate>";
}

std::wstring Files(const std::wstring& id, const std::wstring& subject, const std::wstring& desc,
                   const std::wstring& url) {
    return L"<files Id=\"" + id + L"\" Subject=\"" + subject + L"\" Desc=\"" + desc + L"\" Url=\"" +
           url + L"\"></files>";
}

TEST(PatchCodes, TrimmedCaseInsensitiveFirstMatch) {
    XmlNode list;
    ASSERT_TRUE(list.LoadXml(std::wstring(L"<p>") + kReleases + L"</p>"));
    ReleaseCodes codes = MatchReleaseCodes(list, Windows7());
    EXPECT_EQ(codes.os, L"w7");
    EXPECT_EQ(codes.ie, L"IE8");
    EXPECT_EQ(codes.language, L"cn");
    EXPECT_EQ(MatchReleaseCodes(list, Windows7(L"eng")).language, L"en");
    PatchEnvironment unknown = Windows7(L"fra");
    unknown.os.servicePack = L"";
    unknown.ieServicePack = -1;
    codes = MatchReleaseCodes(list, unknown);
    EXPECT_EQ(codes.os + codes.ie + codes.language, L"");
    ASSERT_TRUE(list.LoadXml(L"<p><files/></p>"));
    codes = MatchReleaseCodes(list, Windows7());
    EXPECT_EQ(codes.os + codes.ie + codes.language, L"") << "absent elements have no children";
}

TEST(PatchMatching, ConditionsAndFallBack) {
    const std::wstring patches =
        // Applies everywhere.
        LR"(<p id="1"><c win="" ie="" lan="" url="u1" subject_cn="一" desc_cn="d1"/></p>)"
        // Another release, no fall-back: never listed.
        LR"(<p id="2"><c win="xp" url="u2"/></p>)"
        // The first matching condition counts.
        LR"(<p id="3"><c win="xp" url="no"/><c win="W7" ie="ie8" lan="cn" url="u3"/><c url="later"/></p>)"
        // No condition matches: the fall-back with its own texts.
        LR"(<p id="4" default="TRUE" default_url="d&amp;u" subject_cn="默认" desc_cn="x"><c lan="en"/></p>)"
        // Without "default" true, no fall-back.
        LR"(<p id="5" default="yes" default_url="no"><c lan="en"/></p>)"
        // No conditions at all.
        LR"(<p id="6" default="true" default_url="u6"/>)";
    EXPECT_EQ(Check(patches, Windows7()),
              Missing(Files(L"1", L"一", L"d1", L"u1") + Files(L"3", L"", L"", L"u3") +
                      Files(L"4", L"默认", L"x", L"d&amp;u") + Files(L"6", L"", L"", L"u6")));
    // A system without codes: only conditions that leave the codes empty match.
    EXPECT_EQ(Check(patches, Windows7(), {}, L""),
              Missing(Files(L"1", L"一", L"d1", L"u1") + Files(L"3", L"", L"", L"later") +
                      Files(L"4", L"默认", L"x", L"d&amp;u") + Files(L"6", L"", L"", L"u6")));
}

TEST(PatchMatching, LanguageTextsAndEscaping) {
    const std::wstring patch =
        LR"(<p id="9"><c url="a&quot;b" subject_cn="中&quot;文" desc_cn="说明" subject_en="Say &quot;hi&quot;" desc_en="a&lt;b&#10;c"/></p>)";
    EXPECT_EQ(Check(patch, Windows7(L"ENG")),
              Missing(Files(L"9", L"Say &quot;hi&quot;", L"a&lt;b&#10;c", L"a&quot;b")));
    EXPECT_EQ(Check(patch, Windows7(L"chs")),
              Missing(Files(L"9", L"中&quot;文", L"说明", L"a&quot;b")));
    EXPECT_EQ(Check(patch, Windows7(L"fra")),
              Missing(Files(L"9", L"中&quot;文", L"说明", L"a&quot;b")));
}

TEST(PatchMatching, InstalledRecordsByArticleThenBulletinThenTitle) {
    const std::wstring patches =
        LR"(<p id="kb"><c kbArticles="KB100" secId="MS1" title="T1" url="1"/></p>)"
        LR"(<p id="sec"><c secId="MS2" title="T2" url="2"/></p>)"
        LR"(<p id="title"><c title="Update T3" url="3"/></p>)"
        LR"(<p id="none"><c url="4"/></p>)";
    auto installed = [](std::wstring kb, std::wstring bulletin, std::wstring title) {
        InstalledUpdate record;
        record.kbArticleId = std::move(kb);
        record.bulletinId = std::move(bulletin);
        record.title = std::move(title);
        return record;
    };
    auto ids = [](const std::wstring& text) {
        std::wstring found;
        for (size_t at = text.find(L"Id=\""); at != std::wstring::npos;
             at = text.find(L"Id=\"", at + 1))
            found += text.substr(at + 4, text.find(L'"', at + 4) - at - 4) + L" ";
        return found;
    };
    EXPECT_EQ(ids(Check(patches, Windows7())), L"kb sec title none ");
    // The article decides alone: a matching bulletin or title does not count.
    EXPECT_EQ(ids(Check(patches, Windows7(), {installed(L"KB999", L"MS1", L"T1")})),
              L"kb sec title none ");
    EXPECT_EQ(ids(Check(patches, Windows7(), {installed(L"kb100", L"", L"")})), L"sec title none ");
    EXPECT_EQ(ids(Check(patches, Windows7(), {installed(L"", L"ms2", L"other")})),
              L"kb title none ");
    EXPECT_EQ(ids(Check(patches, Windows7(), {installed(L"", L"", L"T2")})), L"kb sec title none ");
    EXPECT_EQ(ids(Check(patches, Windows7(),
                        {installed(L"", L"", L"nothing"), installed(L"", L"", L"update t3")})),
              L"kb sec none ");
    // A patch that names nothing is never found installed, even by a nameless record.
    EXPECT_EQ(ids(Check(patches, Windows7(), {installed(L"", L"", L"")})), L"kb sec title none ");
}

TEST(PatchMatching, ListWithoutFiles) {
    XmlNode list;
    ASSERT_TRUE(list.LoadXml(L"<EnvPatch/>"));
    EXPECT_EQ(MissingPatchesText(list, Windows7(), {}), L"<PathUpdate></PathUpdate>");
}

class UpdateAgentTrace final : public TraceSink {
public:
    void Write(const std::wstring& text, int) const override {
        std::lock_guard guard(lock_);
        lines.push_back(text);
    }
    mutable std::vector<std::wstring> lines;

private:
    mutable std::mutex lock_;
};

// Wine's update agent creates the session and searcher but cannot search:
// the failure is traced with its code and nothing counts as installed.
TEST(UpdateAgent, FailureIsTracedWithItsCode) {
    UpdateAgentTrace trace;
    std::vector<InstalledUpdate> installed = QueryInstalledUpdates(trace);
    ASSERT_EQ(trace.lines.size(), 1u);
    const std::wstring& line = trace.lines[0];
    if (line == L"成功事件：补丁检测成功")
        GTEST_SKIP() << "this system's update agent answers";
    EXPECT_TRUE(installed.empty());
    EXPECT_EQ(line.rfind(L"失败事件：补丁检测错误码：", 0), 0u) << ToCodePage(line, CP_UTF8);
    EXPECT_TRUE(line.ends_with(L" 错误原因：补丁检测败") ||
                line.ends_with(L" 错误原因：补丁检测组建创建失败"))
        << ToCodePage(line, CP_UTF8);
}

TEST(PatchChecker, Modes) {
    UpdateAgentTrace trace;
    ConfigurationTexts texts;
    ComponentContext context;
    context.trace = &trace;
    context.texts = &texts;
    context.language = [] { return std::wstring(L"eng"); };
    PatchChecker checker(context);
    EXPECT_EQ(checker.Check(0, -1), L"") << "no patch list: the empty text";
    texts.Set(ConfigText::Patch, LR"(<EnvPatch><files><p id="1"><c url="u" subject_en="s"/></p>)"
                                 LR"(<p id="2"><c win="nowhere"/></p></files></EnvPatch>)");
    const std::wstring expected = Missing(Files(L"1", L"s", L"", L"u"));
    EXPECT_EQ(checker.Check(0, -1), expected);
    EXPECT_TRUE(trace.lines.empty()) << "mode 0 does not ask the update agent";
    EXPECT_EQ(checker.Check(1, 2), expected);
    EXPECT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(checker.Check(2, 2), L"");
    EXPECT_EQ(checker.Check(-1, 2), L"");
}

} // namespace
