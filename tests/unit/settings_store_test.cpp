// The page's settings operations: what the language switch stores and what
// it refuses, and the language text it makes current.
#include "config/settings_store.h"

#include "config/catalogue.h"
#include "tests/unit/component_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(StorableLanguage, OnlyTextsXmlCanCarry) {
    for (const wchar_t* text : {L"chs", L"eng", L"xyz", L"", L"中文", L"a\tb"})
        EXPECT_TRUE(IsStorableLanguage(text)) << text;
    EXPECT_TRUE(IsStorableLanguage(L"\xD83D\xDE00")); // a surrogate pair is one character
    for (const wchar_t* text : {L"eng\x01", L"\xFFFE", L"\xFFFF", L"a\xD800", L"\xDC00z"})
        EXPECT_FALSE(IsStorableLanguage(text));
    EXPECT_FALSE(IsStorableLanguage(std::wstring(L"eng\0", 4)));
    EXPECT_TRUE(IsStorableLanguage(std::wstring(64, L'a')));
    EXPECT_FALSE(IsStorableLanguage(std::wstring(16 * 1024 * 1024, L'a')));
}

class LanguageSwitch : public testing::Test, protected ComponentFixture {
protected:
    LanguageSwitch() {
        texts.Set(ConfigText::Chinese, L"<Utility lang='chs'/>");
        texts.Set(ConfigText::English, L"<Utility lang='eng'/>");
    }
    // The catalogue as the control reads it after the switch.
    std::wstring LanguageOfText() const {
        CatalogueSnapshot root = catalogue_.Current();
        return root ? root->GetAttribute(L"lang", L"") : L"?";
    }

    ComponentContext context_ = MakeContext();
    CatalogueCache catalogue_{texts, [this] { return language; }};
    std::vector<std::wstring> madeCurrent_;
    SettingsStore store_{context_, [this](const std::wstring& l) {
                             madeCurrent_.push_back(l);
                             language = l;
                         }};
};

TEST_F(LanguageSwitch, StoresMakesCurrentAndLoadsTheText) {
    EXPECT_EQ(store_.SetLanguage(L"eng"), 1);
    EXPECT_EQ(madeCurrent_, std::vector<std::wstring>{L"eng"});
    EXPECT_EQ(LanguageOfText(), L"eng");
    EXPECT_NE(ReadBytes(context_.paths.userSettingsFile).find("value=\"eng\""), std::string::npos);
    // Any other code behaves as Chinese, but is stored as given.
    EXPECT_EQ(store_.SetLanguage(L"xyz"), 1);
    EXPECT_EQ(LanguageOfText(), L"chs");
}

TEST_F(LanguageSwitch, UnstorableTextChangesNothing) {
    ASSERT_EQ(store_.SaveUserType(2, 3, 4), 1);
    ASSERT_EQ(store_.SetLanguage(L"chs"), 1);
    const std::string before = ReadBytes(context_.paths.userSettingsFile);
    EXPECT_EQ(store_.SetLanguage(L"eng\x01"), 0);
    EXPECT_EQ(store_.SetLanguage(std::wstring(1 << 24, L'e')), 0);
    EXPECT_EQ(ReadBytes(context_.paths.userSettingsFile), before);
    EXPECT_EQ(madeCurrent_, std::vector<std::wstring>{L"chs"});
    EXPECT_EQ(trace.Lines().size(), 2u);
    // The user's other settings survive, since the file still parses.
    EXPECT_EQ(store_.GetUserType(UserType{0, 0, 0}), (UserType{2, 3, 4}));
}

} // namespace
