#include "common/text.h"
#include "config/config_set.h"
#include "config/trace_log.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct SetFile {
    const wchar_t* name;
    ConfigText text;
};

const SetFile kSetFiles[] = {
    {L"UtilityChs.cfg", ConfigText::Chinese}, {L"UtilityEn.cfg", ConfigText::English},
    {L"Update.cfg", ConfigText::Update},      {L"Resource.cfg", ConfigText::Resource},
    {L"EnvPatch.cfg", ConfigText::Patch},
};

std::wstring NewText(const SetFile& file) {
    return std::wstring(L"<new file=\"") + file.name + L"\"/>";
}
std::wstring OldText(const SetFile& file) {
    return std::wstring(L"old ") + file.name;
}

// A data folder with tracing switched on and the five files encrypted.
class ConfigSetTest : public testing::Test {
protected:
    ConfigSetTest()
        : settings_(dir_.path() + L"VeyrantSetting\\"), logs_(dir_.path() + L"VeyrantLog\\"),
          trace_(TraceLog::ForPaths(SettingsPaths::ForDataFolder(dir_.path()))) {
        CreateDirectoryW(settings_.c_str(), nullptr);
        WriteBytes(settings_ + L"Default.cfg", "<User><Debug/></User>");
        for (const SetFile& file : kSetFiles) {
            WriteBytes(settings_ + file.name, EncryptForTest(NewText(file)));
            texts_.Set(file.text, OldText(file));
        }
    }

    bool Run() {
        return DecryptConfigurationSet(settings_, CDravikCrypto(TestPublicKey()), trace_, texts_,
                                       936);
    }

    // The trace lines without their time prefix, as wide text.
    std::vector<std::wstring> TraceEvents() const {
        std::vector<std::wstring> events;
        std::wstring log = FromCodePage(ReadBytes(trace_.LogFile()), CP_ACP);
        size_t start = 0, end;
        while ((end = log.find(L'\n', start)) != std::wstring::npos) {
            std::wstring line = log.substr(start, end - start);
            // "时间：YYYY-MM-DD hh:mm:ss " holds two blanks.
            size_t text = line.find(L' ', line.find(L' ') + 1) + 1;
            events.push_back(line.substr(text));
            start = end + 1;
        }
        return events;
    }

    // What the trace file holds for a line: the ANSI code page's rendering.
    static std::wstring AsLogged(const std::wstring& text) {
        return FromCodePage(ToCodePage(text, CP_ACP), CP_ACP);
    }

    TempFolder dir_;
    std::wstring settings_;
    std::wstring logs_;
    TraceLog trace_;
    ConfigurationTexts texts_;
};

TEST_F(ConfigSetTest, AllFiveFilesReplaceTheirTexts) {
    EXPECT_TRUE(Run());
    for (const SetFile& file : kSetFiles)
        EXPECT_EQ(texts_.Get(file.text), NewText(file)) << file.name;
    EXPECT_EQ(TraceEvents(), std::vector<std::wstring>{AsLogged(L"成功事件：配置文件解密成功")});
}

TEST_F(ConfigSetTest, FirstFailureStopsTheRunAndKeepsLaterTexts) {
    for (size_t failing = 0; failing < std::size(kSetFiles); ++failing) {
        SCOPED_TRACE(testing::Message() << "failing " << kSetFiles[failing].name);
        DeleteFileW(trace_.LogFile().c_str());
        for (const SetFile& file : kSetFiles) {
            WriteBytes(settings_ + file.name, EncryptForTest(NewText(file)));
            texts_.Set(file.text, OldText(file));
        }
        // Cut short: too short for its key block.
        WriteBytes(settings_ + kSetFiles[failing].name, "\x40\x00\x00\x00"
                                                        "AB");

        EXPECT_FALSE(Run());
        for (size_t i = 0; i < std::size(kSetFiles); ++i) {
            const SetFile& file = kSetFiles[i];
            EXPECT_EQ(texts_.Get(file.text), i < failing ? NewText(file) : OldText(file))
                << file.name;
        }
        std::wstring failure = std::wstring(L"失败事件：") + kSetFiles[failing].name + L"解密失败";
        EXPECT_EQ(TraceEvents(), std::vector<std::wstring>{AsLogged(failure)});
    }
}

TEST_F(ConfigSetTest, ResourceFailureLeavesPatchTextAlone) {
    DeleteFileW((settings_ + L"Resource.cfg").c_str());
    EXPECT_FALSE(Run());
    EXPECT_EQ(texts_.Get(ConfigText::Update), L"<new file=\"Update.cfg\"/>");
    EXPECT_EQ(texts_.Get(ConfigText::Resource), L"old Resource.cfg");
    EXPECT_EQ(texts_.Get(ConfigText::Patch), L"old EnvPatch.cfg");
    std::string log = ReadBytes(trace_.LogFile());
    EXPECT_NE(log.find(ToCodePage(L"失败事件：Resource.cfg解密失败\n", CP_ACP)), std::string::npos);
    EXPECT_EQ(log.find("EnvPatch"), std::string::npos);
}

TEST_F(ConfigSetTest, WithoutTheDebugSwitchNothingIsTraced) {
    WriteBytes(settings_ + L"Default.cfg", "<User/>");
    EXPECT_TRUE(Run());
    EXPECT_FALSE(FileExists(trace_.LogFile()));
}

TEST(ConfigurationTexts, LanguageChoice) {
    ConfigurationTexts texts;
    EXPECT_EQ(texts.LanguageText(L"eng"), L""); // empty before any decryption
    texts.Set(ConfigText::Chinese, L"中文");
    texts.Set(ConfigText::English, L"English");
    for (const wchar_t* english : {L"eng", L"ENG", L"eNg"})
        EXPECT_EQ(texts.LanguageText(english), L"English") << english;
    for (const wchar_t* other : {L"chs", L"", L"en", L"english", L"xyz", L"eng "})
        EXPECT_EQ(texts.LanguageText(other), L"中文") << other;
    EXPECT_EQ(LanguageTextFor(L"Eng"), ConfigText::English);
}

TEST(ConfigurationTexts, ReadersSeeWholeTextsWhileAWriterReplacesThem) {
    ConfigurationTexts texts;
    const std::wstring shortText(3, L'a'), longText(5000, L'b');
    texts.Set(ConfigText::Resource, shortText);
    std::atomic<bool> done = false;
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            texts.Set(ConfigText::Resource, i % 2 ? longText : shortText);
        done = true;
    });
    size_t torn = 0;
    while (!done) {
        std::wstring seen = texts.Get(ConfigText::Resource);
        torn += seen != shortText && seen != longText;
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
}

TEST(FileVersion, ReadFromTheFileVersionElement) {
    EXPECT_EQ(FileVersionFromText(L"<FileVersion value=\"123\"/>"), 123);
    EXPECT_EQ(
        FileVersionFromText(L"<Update><FileVersion root=\"x\" value=\"-5\"/><assembly/></Update>"),
        -5);
    EXPECT_EQ(FileVersionFromText(L"<a><b><fileversion value=\"20240101\"/></b></a>"), 20240101);
    EXPECT_EQ(FileVersionFromText(L"<a><FileVersion value=\"9223372036854775807\"/></a>"),
              9223372036854775807ll);
    EXPECT_EQ(FileVersionFromText(L"<a><FileVersion value=\"1\"/><FileVersion value=\"2\"/></a>"),
              1);
}

TEST(FileVersion, AnythingUnreadableIsTheUnknownVersion) {
    for (const wchar_t* text :
         {L"", L"not xml", L"<a/>", L"<a><FileVersion/></a>", L"<a><FileVersion value=\"\"/></a>",
          L"<a><FileVersion value=\"12abc\"/></a>", L"<a><FileVersion value=\"abc\"/></a>",
          L"<a><FileVersion value=\" 12\"/></a>",
          L"<a><FileVersion value=\"99999999999999999999\"/></a>"})
        EXPECT_EQ(FileVersionFromText(text), kUnknownFileVersion) << text;
    EXPECT_EQ(kUnknownFileVersion, 999999999999ll);
}

TEST(FileVersion, ProbesEncryptedFiles) {
    TempFolder dir;
    WriteBytes(dir / L"Update.cfg",
               EncryptForTest(L"<Update><FileVersion root=\"r\" value=\"42\"/></Update>",
                              BodyEncoding::Utf16));
    WriteBytes(dir / L"Broken.cfg", EncryptForTest(L"<Update><FileVersion value=\"42\">"));
    const CDravikCrypto crypto(TestPublicKey());
    EXPECT_EQ(ReadEncryptedFileVersion(dir / L"Update.cfg", crypto), 42);
    EXPECT_EQ(ReadEncryptedFileVersion(dir / L"Broken.cfg", crypto), kUnknownFileVersion);
    EXPECT_EQ(ReadEncryptedFileVersion(dir / L"Missing.cfg", crypto), kUnknownFileVersion);
}

} // namespace
