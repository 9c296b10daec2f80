// The item lists the page receives, byte for byte, from a catalogue text and
// recorded hooks for the statuses and the descriptions of other layers.
#include "common/text.h"
#include "config/component_lists.h"
#include "config/catalogue.h"
#include "config/item_ids.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>

namespace {

const wchar_t* kCatalogue =
    L"<Utility>"
    L"<Control>"
    L"<item id='1001' name='Secure &quot;input&quot; &amp; more' info='line&#13;&#10;two'/>"
    L"<item id='1002' name='first' info='old'/><item id='1002' name='second' info='new'/>"
    L"</Control>"
    L"<Application><item id='4001' name='Client' info='&lt;app&gt;'/>"
    L"<item id='4002' name='Tool' info='t'/><item id='5000' name='Edge' info='e'/></Application>"
    L"<client>"
    L"<kind type='0' Cert='1' UType='0'>"
    L"<RootCert><item value='3001' type='c'/></RootCert>"
    L"<Control><item value='1001' type='ctl'/></Control>"
    L"<Application><item value='4001' type='app'/></Application>"
    L"<IEOptimizer><item value='5051' type='opt'/></IEOptimizer>"
    L"</kind>"
    L"<kind type='1' Cert='2' UType='0'><Control><item value='1002' type='x'/></Control></kind>"
    L"<kind type='0' Cert='1' UType='0'><Control><item value='1002' type='again'/></Control></kind>"
    L"</client></Utility>";

class Lists : public testing::Test {
protected:
    Lists() { texts_.Set(ConfigText::Chinese, kCatalogue); }

    ListHooks MakeHooks() {
        ListHooks hooks;
        hooks.controlStatus = [](const XmlNode*, int) { return 3; };
        hooks.applicationStatus = [this](const XmlNode*, int id) {
            if (reenter_) // as a bank's check library that pumps the page's messages
                std::exchange(reenter_, nullptr)();
            return appStatus_[id];
        };
        hooks.rootCertStatus = [](const XmlNode* catalogue, int) { return catalogue ? 4 : -1; };
        hooks.trustedSite = [](const XmlNode*, int id) { return FormatW(L"[site %d]", id); };
        hooks.popupSite = [](const XmlNode*, int id, const std::wstring& type) {
            return FormatW(L"[popup %d %ls]", id, type.c_str());
        };
        hooks.optimization = [](const XmlNode*, int id, const std::wstring& type,
                                const std::wstring& flag) {
            return FormatW(L"[opt %d %ls %ls]", id, type.c_str(), flag.c_str());
        };
        hooks.rootCert = [](const XmlNode*, int id, const std::wstring& type,
                            const std::wstring& flag) {
            return FormatW(L"[cert %d %ls %ls]", id, type.c_str(), flag.c_str());
        };
        return hooks;
    }

    ConfigurationTexts texts_;
    CatalogueCache catalogue_{texts_, [] { return std::wstring(L"chs"); }};
    std::map<int, int> appStatus_;
    std::function<void()> reenter_;
    UserType user_{0, 1, 0};
    ComponentLists lists_{catalogue_.Source(), MakeHooks(), [this] { return user_; }};
};

TEST(ResEntries, ExactTextAndEscaping) {
    XmlNode catalogue;
    ASSERT_TRUE(catalogue.LoadXml(kCatalogue));
    EXPECT_EQ(ResEntry(&catalogue, 1001, L"Control", L"", L"true"),
              L"<res id=\"1001\" Type=\"\" falg=\"true\" FileType=\"1\" "
              L"Name=\"Secure &quot;input&quot; &amp; more\" Info=\"line&#13;&#10;two\"></res>\n");
    // Of entries sharing an id the last counts; the section name matches in any case.
    EXPECT_EQ(ResEntry(&catalogue, 1002, L"control", L"T", L"F"),
              L"<res id=\"1002\" Type=\"T\" falg=\"F\" FileType=\"1\" Name=\"second\" "
              L"Info=\"new\"></res>\n");
    EXPECT_EQ(ResEntry(&catalogue, 4001, L"Application", L"a\"b", L""),
              L"<res id=\"4001\" Type=\"a&quot;b\" falg=\"\" FileType=\"4\" Name=\"Client\" "
              L"Info=\"&lt;app&gt;\"></res>\n");
    EXPECT_EQ(ResEntry(&catalogue, 1003, L"Control", L"", L""), L"");
    EXPECT_EQ(ResEntry(&catalogue, 1001, L"Missing", L"", L""), L"");
    EXPECT_EQ(ResEntry(nullptr, 1001, L"Control", L"", L""), L"");
}

TEST(ItemClasses, EveryBoundary) {
    const std::pair<int, ItemClass> cases[] = {
        {-5, ItemClass::None},           {999, ItemClass::None},
        {1000, ItemClass::Control},      {1999, ItemClass::Control},
        {2000, ItemClass::TrustedSite},  {2999, ItemClass::TrustedSite},
        {3000, ItemClass::RootCert},     {3999, ItemClass::RootCert},
        {4000, ItemClass::Application},  {4999, ItemClass::Application},
        {5000, ItemClass::PopupSite},    {5049, ItemClass::PopupSite},
        {5050, ItemClass::Optimization}, {7000, ItemClass::Optimization}};
    for (const auto& [id, expected] : cases)
        EXPECT_EQ(ClassOfItem(id), expected) << id;
    // The download start counts 5000 as an application file.
    EXPECT_EQ(DownloadKindOf(5000), DownloadKind::ApplicationFile);
    EXPECT_EQ(DownloadKindOf(5001), DownloadKind::NoFile);
    EXPECT_EQ(DownloadKindOf(3999), DownloadKind::NoFile);
    EXPECT_EQ(DownloadKindOf(1000), DownloadKind::ControlFile);
    EXPECT_EQ(DownloadKindOf(999), DownloadKind::Ignored);
}

TEST_F(Lists, StatusesByRange) {
    appStatus_[4001] = 5;
    const std::pair<int, int> cases[] = {{-1, 0},   {999, 0},  {1000, 3}, {1999, 3}, {2000, 4},
                                         {2999, 4}, {3000, 4}, {3999, 4}, {4001, 5}, {4999, 0},
                                         {5000, 1}, {5049, 1}, {5050, 1}, {7000, 1}};
    for (const auto& [id, status] : cases)
        EXPECT_EQ(lists_.StatusOf(id), status) << id;
}

TEST_F(Lists, DownloadListTakesOnlyItemsFlaggedTrue) {
    EXPECT_EQ(lists_.GetDownLoadList(), L""); // nothing stored yet does not parse
    lists_.SetDownLoadList(L"<list><item id='1001' falg='TRUE'/><item id='1002' falg='false'/>"
                           L"<item id='999' falg='true'/><item id='0' falg='true'/>"
                           L"<item id='abc' falg='true'/><item falg='true'/></list>");
    EXPECT_EQ(lists_.GetDownLoadList(),
              L"<Update><res id=\"1001\" Type=\"\" falg=\"true\" FileType=\"1\" "
              L"Name=\"Secure &quot;input&quot; &amp; more\" Info=\"line&#13;&#10;two\"></res>\n"
              L"</Update>");
    lists_.SetDownLoadList(L"<list><item id='2001' falg='true'/><item id='3001' falg='true'/>"
                           L"<item id='5001' falg='true'/><item id='5051' falg='true'/>"
                           L"<item id='4002' falg='true'/></list>");
    EXPECT_EQ(lists_.GetDownLoadList(),
              L"<Update>[site 2001][cert 3001  true][popup 5001 ][opt 5051  true]"
              L"<res id=\"4002\" Type=\"\" falg=\"true\" FileType=\"4\" Name=\"Tool\" "
              L"Info=\"t\"></res>\n</Update>");
    // A root that is itself the list works too; malformed text gives "".
    lists_.SetDownLoadList(L"<item id='1001' falg='true'/>");
    EXPECT_EQ(lists_.GetDownLoadList(), L"<Update></Update>");
    lists_.SetDownLoadList(L"<list>");
    EXPECT_EQ(lists_.GetDownLoadList(), L"");
}

TEST_F(Lists, StatusListKeepsControlsAndApplicationsThatNeedInstalling) {
    appStatus_ = {{4001, 1}, {4002, 3}, {5000, 4}};
    lists_.SetDownLoadList(
        L"<Update><i id='4001' falg='f' Type='t'/><i id='4002'/>"
        L"<i id='5000' falg='x'/><i id='1002' Type='c'/><i id='5051' Type='o' falg='p'/>"
        L"<i id='3001' Type='r' falg='s'/><i id='2002'/><i id='500'/></Update>");
    EXPECT_EQ(
        lists_.GetStatuByXML(),
        L"<Update><res id=\"4001\" Type=\"t\" falg=\"f\" FileType=\"4\" Name=\"Client\" "
        L"Info=\"&lt;app&gt;\"></res>\n"
        L"<res id=\"5000\" Type=\"\" falg=\"x\" FileType=\"5\" Name=\"Edge\" Info=\"e\"></res>\n"
        L"<res id=\"1002\" Type=\"c\" falg=\"\" FileType=\"1\" Name=\"second\" "
        L"Info=\"new\"></res>\n"
        L"[opt 5051 o p][cert 3001 r s][site 2002]</Update>");
    for (int status : {0, 2, 3}) {
        appStatus_[4001] = status;
        lists_.SetDownLoadList(L"<Update><i id='4001'/></Update>");
        EXPECT_EQ(lists_.GetStatuByXML(), L"<Update></Update>") << status;
    }
}

TEST_F(Lists, SystemListFollowsTheUserTypeAndSectionOrder) {
    EXPECT_EQ(lists_.GetSysInfoList(),
              L"<Update><res id=\"4001\" Type=\"app\" falg=\"\" FileType=\"4\" Name=\"Client\" "
              L"Info=\"&lt;app&gt;\"></res>\n"
              L"<res id=\"1001\" Type=\"ctl\" falg=\"\" FileType=\"1\" "
              L"Name=\"Secure &quot;input&quot; &amp; more\" Info=\"line&#13;&#10;two\"></res>\n"
              L"<res id=\"1002\" Type=\"again\" falg=\"\" FileType=\"1\" Name=\"second\" "
              L"Info=\"new\"></res>\n[opt 5051 opt ][cert 3001 c ]</Update>");
    user_ = UserType{1, 2, 0};
    EXPECT_EQ(lists_.GetSysInfoList(),
              L"<Update><res id=\"1002\" Type=\"x\" falg=\"\" FileType=\"1\" Name=\"second\" "
              L"Info=\"new\"></res>\n</Update>");
    user_ = UserType{9, 9, 9};
    EXPECT_EQ(lists_.GetSysInfoList(), L"<Update></Update>");
}

TEST_F(Lists, WithoutACatalogueOnlyTheFrames) {
    texts_.Set(ConfigText::Chinese, L"");
    ComponentLists lists(catalogue_.Source(), MakeHooks(), [] { return UserType{}; });
    lists.SetDownLoadList(L"<list><item id='1001' falg='true'/></list>");
    EXPECT_EQ(lists.GetDownLoadList(), L"<Update></Update>");
    EXPECT_EQ(lists.GetSysInfoList(), L"<Update></Update>");
    EXPECT_EQ(lists.StatusOf(3001), -1); // the certificate status sees no catalogue
    // Once decrypted, the next call parses it.
    texts_.Set(ConfigText::Chinese, kCatalogue);
    EXPECT_NE(lists.GetDownLoadList(), L"<Update></Update>");
}

TEST_F(Lists, AStatusCheckMayCallTheListsAgain) {
    // A check library that pumps messages lets a call-back run the page's
    // list methods inside a list method: nothing is held that they wait for.
    lists_.SetDownLoadList(L"<Update><item id='4001' falg='f' Type='t'/></Update>");
    appStatus_[4001] = 4;
    std::wstring inner;
    reenter_ = [&] { inner = lists_.GetStatuByXML(); };
    const std::wstring outer = lists_.GetStatuByXML();
    EXPECT_EQ(outer, inner);
    EXPECT_NE(outer.find(L"id=\"4001\""), std::wstring::npos);
}

TEST(BatchIds, ListChildrenInOrder) {
    EXPECT_EQ(ParseBatchIds(L"<list><i id='1001'/><i id='x'/><i/><i id='-4'/></list>"),
              (std::vector<int>{1001, 0, 0, -4}));
    EXPECT_EQ(ParseBatchIds(L"<i id='5'/>"), std::vector<int>{});
    EXPECT_FALSE(ParseBatchIds(L"<list>").has_value());
}

} // namespace
