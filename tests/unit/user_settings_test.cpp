#include "config/folder_chain.h"
#include "config/user_settings.h"
#include "config/xml_node.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(FolderChain, NormalisesSeparatorsAndSkipsTheFileName) {
    EXPECT_EQ(FolderChainOf(L"C:/a//b\\\\\\c.txt"),
              (std::vector<std::wstring>{L"C:\\", L"C:\\a\\", L"C:\\a\\b\\"}));
    EXPECT_EQ(FolderChainOf(L"C:\\a\\b\\"),
              (std::vector<std::wstring>{L"C:\\", L"C:\\a\\", L"C:\\a\\b\\"}));
    EXPECT_TRUE(FolderChainOf(L"file.txt").empty());
}

TEST(FolderChain, CreatesEveryMissingFolder) {
    TempFolder dir;
    std::wstring target = dir.path() + L"x/y//z\\file.bin";
    EXPECT_EQ(CreateFolderChain(target), 1);
    EXPECT_TRUE(FileExists(dir / L"x\\y\\z"));
    EXPECT_FALSE(FileExists(dir / L"x\\y\\z\\file.bin"));
    EXPECT_EQ(CreateFolderChain(target), 1); // existing folders are fine
}

TEST(HostConfig, RootUrlRules) {
    TempFolder dir;
    EXPECT_EQ(ReadRootUrl(dir.path()), L"");
    WriteBytes(dir / L"Quellmark.exe.config",
               "<configuration><RootURL Value='http://bank/ebank'/></configuration>");
    EXPECT_EQ(ReadRootUrl(dir.path()), L"http://bank/ebank/");
    WriteBytes(dir / L"Quellmark.exe.config",
               "<configuration><RootUrl Value='http://bank/'/></configuration>");
    EXPECT_EQ(ReadRootUrl(dir.path()), L"http://bank//");
    WriteBytes(dir / L"Quellmark.exe.config", "<configuration><RootUrl/></configuration>");
    EXPECT_EQ(ReadRootUrl(dir.path()), L"/");
    WriteBytes(dir / L"Quellmark.exe.config",
               "<configuration><app><RootUrl Value='deep'/></app></configuration>");
    EXPECT_EQ(ReadRootUrl(dir.path()), L"");
    WriteBytes(dir / L"Quellmark.exe.config", "not xml");
    EXPECT_EQ(ReadRootUrl(dir.path()), L"");
}

TEST(StartupLanguage, FileFirstThenSystemNumber) {
    TempFolder dir;
    std::wstring cfg = dir / L"Default.cfg";
    auto english = [] { return std::wstring(L"1033"); };
    auto chinese = [] { return std::wstring(L"2052"); };
    auto other = [] { return std::wstring(L"1031"); };
    EXPECT_EQ(ReadStartupLanguage(cfg, english), L"eng");
    EXPECT_EQ(ReadStartupLanguage(cfg, chinese), L"chs");
    EXPECT_EQ(ReadStartupLanguage(cfg, other), L"chs");
    WriteBytes(cfg, "<User><language value='xyz'/></User>");
    EXPECT_EQ(ReadStartupLanguage(cfg, english), L"xyz");
    WriteBytes(cfg, "<User><Language/></User>");
    EXPECT_EQ(ReadStartupLanguage(cfg, english), L""); // present without value: empty
    WriteBytes(cfg, "<User><Other/></User>");
    EXPECT_EQ(ReadStartupLanguage(cfg, english), L"eng");
}

class UserSettingsFile : public testing::Test {
protected:
    TempFolder dir;
    std::wstring path = dir / L"VeyrantSetting\\Default.cfg";
    UserSettings settings{path};
};

TEST_F(UserSettingsFile, UserTypeDefaultsWithoutFileAndCreatesNothing) {
    EXPECT_EQ(settings.LoadUserType(UserType{9, 9, 9}), (UserType{0, 1, 0}));
    EXPECT_FALSE(FileExists(path));
}

TEST_F(UserSettingsFile, LanguageCreatesTheFileAndFolder) {
    EXPECT_TRUE(settings.StoreLanguage(L"eng"));
    XmlNode root;
    ASSERT_TRUE(root.LoadFile(path));
    EXPECT_EQ(root.GetName(), L"User");
    EXPECT_EQ(root.FindChild(L"Language")->GetAttribute(L"value", L""), L"eng");
    EXPECT_TRUE(settings.StoreLanguage(L"xyz"));
    ASSERT_TRUE(root.LoadFile(path));
    EXPECT_EQ(root.ChildCount(), 1u);
    EXPECT_EQ(root.FindChild(L"Language")->GetAttribute(L"value", L""), L"xyz");
}

TEST_F(UserSettingsFile, UserTypeRoundTripAndMissingAttributes) {
    EXPECT_TRUE(settings.StoreUserType(UserType{2, -3, 4}));
    EXPECT_EQ(settings.LoadUserType(UserType{}), (UserType{2, -3, 4}));
    WriteBytes(path, "<User><UserType user='5' cert='6'/></User>");
    EXPECT_EQ(settings.LoadUserType(UserType{}), (UserType{5, 6, 0}));
}

TEST_F(UserSettingsFile, MissingUserTypeIsAddedWithDefaults) {
    CreateFolderChain(path);
    WriteBytes(path, "<User><Language value='chs'/></User>");
    EXPECT_EQ(settings.LoadUserType(UserType{7, 7, 7}), (UserType{0, 1, 0}));
    XmlNode root;
    ASSERT_TRUE(root.LoadFile(path));
    ASSERT_NE(root.FindChild(L"UserType"), nullptr);
    EXPECT_EQ(root.FindChild(L"UserType")->GetAttribute(L"cert", L""), L"1");
    EXPECT_EQ(root.FindChild(L"Language")->GetAttribute(L"value", L""), L"chs");
}

TEST_F(UserSettingsFile, MalformedFileReadsAsCallerValuesAndIsRecreatedByWriters) {
    CreateFolderChain(path);
    WriteBytes(path, "<User><broken");
    EXPECT_EQ(settings.LoadUserType(UserType{0, 0, 0}), (UserType{0, 0, 0}));
    EXPECT_TRUE(settings.StoreUserType(UserType{1, 2, 3}));
    EXPECT_EQ(settings.LoadUserType(UserType{}), (UserType{1, 2, 3}));
}

TEST_F(UserSettingsFile, ApplicationCheckSwitch) {
    EXPECT_FALSE(settings.ApplicationCheckDisabled());
    CreateFolderChain(path);
    WriteBytes(path, "<User><CheckVeyr>FALSE</CheckVeyr></User>");
    EXPECT_TRUE(settings.ApplicationCheckDisabled());
    WriteBytes(path, "<User><CheckVeyr>no</CheckVeyr></User>");
    EXPECT_FALSE(settings.ApplicationCheckDisabled());
}

} // namespace
