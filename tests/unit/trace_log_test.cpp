#include "common/text.h"
#include "config/trace_log.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const SYSTEMTIME kMorning{2009, 3, 4, 5, 8, 7, 6, 0};

TEST(TraceLine, PrefixPadsEverythingButTheYear) {
    std::wstring expected = L"时间：2009-03-05 08:07:06 成功事件：x\n";
    EXPECT_EQ(FormatTraceLine(kMorning, L"成功事件：x", CP_UTF8), ToCodePage(expected, CP_UTF8));
}

TEST(TraceLine, Code936BytesAndReplacementOutsideTheCodePage) {
    // 时间： in GBK, then the text, then one line feed.
    EXPECT_EQ(FormatTraceLine(kMorning, L"失败", 936), "\xCA\xB1\xBC\xE4\xA3\xBA"
                                                       "2009-03-05 08:07:06 \xCA\xA7\xB0\xDC\n");
    std::string western = FormatTraceLine(kMorning, L"失败", 1252);
    EXPECT_EQ(western.substr(western.size() - 3), "??\n");
}

TEST(TraceSwitch, Rules) {
    EXPECT_FALSE(TraceSwitchAllows(false, L"", 1));
    EXPECT_TRUE(TraceSwitchAllows(true, L"", 1));
    EXPECT_TRUE(TraceSwitchAllows(true, L"true", 1));
    EXPECT_TRUE(TraceSwitchAllows(true, L"False", 1)); // the comparison regards case
    EXPECT_FALSE(TraceSwitchAllows(true, L"false", 1));
    EXPECT_TRUE(TraceSwitchAllows(true, L"false", 2));
}

class TraceLogFile : public testing::Test {
protected:
    void WriteSwitch(const std::string& settings) {
        CreateDirectoryW((dir / L"VeyrantSetting").c_str(), nullptr);
        WriteBytes(dir / L"VeyrantSetting\\Default.cfg", settings);
    }
    std::string Written() { return ReadBytes(dir / L"VeyrantLog\\VeyrantTrace.log"); }

    TempFolder dir;
    TraceLog log = TraceLog::ForPaths(SettingsPaths::ForDataFolder(dir.path()));
};

// The switch as the next line after each change of Default.cfg finds it,
// including a change that keeps the file's size ("False" is on, "false" off).
TEST_F(TraceLogFile, NextLineFollowsEveryChangeOfTheSwitch) {
    const std::string on = "<User><Debug>False</Debug></User>";
    const std::string off = "<User><Debug>false</Debug></User>";
    const struct {
        std::optional<std::string> settings; // nothing: no Default.cfg
        const wchar_t* text;
        bool written;
    } steps[] = {
        {std::nullopt, L"missing", false},
        {on, L"on", true},
        {off, L"off", false},
        {on, L"on again", true},
        {"<User><Debug>tr", L"unparsable", false},
        {"<User><debug/></User>", L"empty", true},
        {"<User><Language value='chs'/></User>", L"no Debug", false},
        {std::nullopt, L"removed", false},
        {on, L"last", true},
    };
    std::string lastLine;
    long lines = 0;
    for (const auto& step : steps) {
        if (step.settings)
            WriteSwitch(*step.settings);
        else
            DeleteFileW((dir / L"VeyrantSetting\\Default.cfg").c_str());
        log.Write(step.text);
        if (step.written) {
            lastLine = " " + ToCodePage(step.text, CP_ACP) + "\n";
            ++lines;
        }
        std::string text = Written();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), lines) << step.settings.value_or("");
        EXPECT_TRUE(text.ends_with(lastLine)) << text;
    }
}

TEST_F(TraceLogFile, LogFolderIsMadeAgainWhenItWentAway) {
    log.Write(L"switch off");
    EXPECT_TRUE(FileExists(dir / L"VeyrantLog")); // made whatever the switch says
    WriteSwitch("<User><Debug/></User>");
    RemoveDirectoryW((dir / L"VeyrantLog").c_str());
    log.Write(L"after");
    EXPECT_TRUE(Written().ends_with(" after\n"));
}

TEST_F(TraceLogFile, LinesOfManyThreadsStayWhole) {
    WriteSwitch("<User><Debug/></User>");
    auto writeLines = [&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (int i = 0; i < 50; ++i)
            log.Write(L"a line of one thread");
        CoUninitialize();
    };
    std::vector<std::thread> threads;
    // Enough at once that appends through separate handles would overtake each other.
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(writeLines);
    for (std::thread& thread : threads)
        thread.join();
    std::istringstream lines(Written());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(line.ends_with(" a line of one thread")) << line;
    EXPECT_EQ(count, 400);
}

TEST_F(TraceLogFile, AppendsOneLinePerCall) {
    WriteSwitch("<User><debug/></User>");
    log.Write(L"first");
    log.Write(L"second");
    std::string text = Written();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find(" first\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 8), " second\n");
}

} // namespace

namespace {

// The test program runs with the Chinese ANSI code page (see CMakeLists.txt),
// as on the bank's customers' PCs.
TEST_F(TraceLogFile, WritesTheProcessAnsiCodePage) {
    ASSERT_EQ(GetACP(), 936u);
    WriteSwitch("<User><Debug>False</Debug></User>"); // "False" is not "false": on
    log.Write(L"成功事件：配置文件解密成功");
    std::string text = Written();
    ASSERT_GE(text.size(), 26u);
    EXPECT_EQ(text.substr(0, 6), "\xCA\xB1\xBC\xE4\xA3\xBA"); // 时间：
    EXPECT_EQ(text[10], '-');
    EXPECT_EQ(text.substr(26), "\xB3\xC9\xB9\xA6\xCA\xC2\xBC\xFE\xA3\xBA\xC5\xE4\xD6\xC3\xCE\xC4"
                               "\xBC\xFE\xBD\xE2\xC3\xDC\xB3\xC9\xB9\xA6\n");
}

} // namespace
