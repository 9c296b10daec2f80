// The installer's decisions that need no package: destination folders, file
// extensions, command lines, and what an .inf file asks for.
#include "install/cab_package.h"
#include "install/installer.h"
#include "install/programs.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

const DestinationFolders kFolders{{L"C:\\windows\\system32\\", L"C:\\windows\\", L"D:\\Client\\",
                                   L"C:\\Users\\u\\AppData\\Zelmor\\"},
                                  L"C:\\Program Files"};

TEST(DestinationFolder, NamesAndFolders) {
    EXPECT_EQ(ResolveDestFolder(L"", kFolders), kFolders.systemFolder);
    EXPECT_EQ(ResolveDestFolder(L"SYSTEM32", kFolders), kFolders.systemFolder);
    EXPECT_EQ(ResolveDestFolder(L"Windows", kFolders), kFolders.windowsFolder);
    EXPECT_EQ(ResolveDestFolder(L"local", kFolders), kFolders.clientFolder);
    EXPECT_EQ(ResolveDestFolder(L"LocalControl", kFolders),
              std::wstring(L"C:\\Program Files\\Zelmor\\Controls\\"));
    EXPECT_EQ(ResolveDestFolder(L"data", kFolders), kFolders.dataFolder);
    EXPECT_EQ(ResolveDestFolder(L"E:\\Bank", kFolders), std::wstring(L"E:\\Bank\\"));
    EXPECT_EQ(ResolveDestFolder(L"E:/Bank/", kFolders), std::wstring(L"E:/Bank/"));
    // Network, device and relative folders are no destinations.
    for (const wchar_t* folder :
         {L"\\\\host\\share", L"//host/share", L"\\\\?\\C:\\x", L"\\\\.\\COM1", L"relative\\dir",
          L"C:", L"C:\\a\\..\\b", L"C:\\NUL\\x"})
        EXPECT_FALSE(ResolveDestFolder(folder, kFolders).has_value()) << folder;
}

TEST(Extensions, AfterTheLastDotLowerCase) {
    EXPECT_EQ(ExtensionOf(L"Setup.EXE"), L"exe");
    EXPECT_EQ(ExtensionOf(L"a.b.Cab"), L"cab");
    EXPECT_EQ(ExtensionOf(L"noext"), L"");
    EXPECT_EQ(ExtensionOf(L".msi"), L""); // a leading dot is no extension
    EXPECT_EQ(ExtensionOf(L"x."), L"");
}

TEST(CommandLines, PathsWithBlanksStayOneArgument) {
    EXPECT_EQ(QuotedCommandLine(L"C:\\Program Files\\Zelmor\\Controls\\a.ocx", L"/s"),
              L"\"C:\\Program Files\\Zelmor\\Controls\\a.ocx\" /s");
    EXPECT_EQ(QuotedCommandLine(L"C:\\x.exe"), L"\"C:\\x.exe\"");
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\setup.exe";
    EXPECT_EQ(QuotedCommandLine(deep).size(), deep.size() + 2); // never cut
}

TEST(InfFiles, AddCodeSectionLines) {
    const wchar_t section[] = L"a.dll=a.dll\0 b = \t data.dat \0noequals\0c=\0";
    EXPECT_EQ(AddCodeFileNames(std::wstring_view(section, std::size(section) - 1)),
              (std::vector<std::wstring>{L"a.dll", L"data.dat", L""}));
    EXPECT_TRUE(AddCodeFileNames(L"").empty());
    EXPECT_FALSE(GoesToWindowsFolder(L"11"));
    EXPECT_FALSE(GoesToWindowsFolder(L""));
    EXPECT_TRUE(GoesToWindowsFolder(L"10"));
    EXPECT_TRUE(GoesToWindowsFolder(L"anything"));
}

TEST(InfFiles, EntriesOfARealInfFile) {
    TempFolder dir;
    WriteBytes(dir / L"x.inf", "[Add.Code]\r\nctl.dll=ctl.dll\r\ndata.dat=data.dat\r\n"
                               "evil=..\\..\\evil.dll\r\nnone.txt=none.txt\r\n"
                               "[ctl.dll]\r\nRegisterServer=yes\r\n"
                               "[data.dat]\r\ndestdir=10\r\n"
                               "[none.txt]\r\nRegisterServer=no\r\ndestdir=11\r\n");
    RecordingTraceSink trace;
    CCabPackage package(trace, CabinetFolders{L"C:\\sys\\", L"C:\\win\\"});
    InfFile inf = package.ReadInf(dir / L"x.inf", dir / L"ext\\");
    EXPECT_TRUE(inf.refusedName); // the whole cabinet is refused for it
    const std::vector<InfEntry>& entries = inf.entries;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].registerServer);
    EXPECT_EQ(entries[0].destination, L"C:\\sys\\ctl.dll");
    EXPECT_EQ(entries[0].source, dir / L"ext\\ctl.dll");
    EXPECT_FALSE(entries[1].registerServer);
    EXPECT_EQ(entries[1].destination, L"C:\\win\\data.dat");
    EXPECT_FALSE(entries[2].registerServer);
    EXPECT_EQ(entries[2].destination, L"C:\\sys\\none.txt");
    EXPECT_TRUE(trace.Contains(L"失败事件：..\\..\\evil.dll文件名不合法"));
}

} // namespace
