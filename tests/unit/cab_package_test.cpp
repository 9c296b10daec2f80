// The .inf files of cabinet packages: which files an "Add.Code" section
// installs, where to and whether they are registered, and the names that
// must never be followed out of their folders.
#include "install/cab_package.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

const CabinetFolders kFolders{L"C:\\windows\\system32\\", L"C:\\windows\\"};

InfFile Read(const TempFolder& dir, const std::string& text) {
    WriteBytes(dir / L"package.inf", text);
    RecordingTraceSink trace;
    return CCabPackage(trace, kFolders).ReadInf(dir / L"package.inf", dir.path());
}

TEST(CabinetInf, EntriesWithTheirFoldersAndRegistration) {
    TempFolder dir;
    InfFile inf = Read(dir, "[Add.Code]\r\nA.dll = A.dll \r\nB.dat=B.dat\r\nC.ocx=C.ocx\r\n"
                            "[A.dll]\r\nRegisterServer=yes\r\n"
                            "[B.dat]\r\ndestdir=10\r\n"
                            "[C.ocx]\r\nRegisterServer=no\r\ndestdir=11\r\n");
    EXPECT_FALSE(inf.refusedName);
    ASSERT_EQ(inf.entries.size(), 3u);
    EXPECT_TRUE(inf.entries[0].registerServer);
    EXPECT_EQ(inf.entries[0].destination, L"C:\\windows\\system32\\A.dll");
    EXPECT_EQ(inf.entries[0].source, dir / L"A.dll");
    EXPECT_FALSE(inf.entries[1].registerServer);
    EXPECT_EQ(inf.entries[1].destination, L"C:\\windows\\B.dat");
    EXPECT_FALSE(inf.entries[2].registerServer);
    EXPECT_EQ(inf.entries[2].destination, L"C:\\windows\\system32\\C.ocx");
}

TEST(CabinetInf, NamesThatLeaveTheirFolderAreRefused) {
    TempFolder dir;
    for (const char* name : {"..\\evil.dll", "sub/evil.dll", "C:evil.dll", "AUX", "evil.dll."}) {
        InfFile inf = Read(dir, std::string("[Add.Code]\r\ngood=Good.dll\r\nbad=") + name + "\r\n");
        EXPECT_TRUE(inf.refusedName) << name;
        ASSERT_EQ(inf.entries.size(), 1u) << name;
        EXPECT_EQ(inf.entries[0].destination, L"C:\\windows\\system32\\Good.dll");
    }
}

} // namespace
