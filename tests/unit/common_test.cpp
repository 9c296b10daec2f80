// The shared layer: the one decision on hostile names, registry values, the
// guard around workers, apartments and disk-file reading.
#include "common/com_types.h"
#include "common/files.h"
#include "common/guard.h"
#include "common/pe_image.h"
#include "common/registry.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(SafeFileName, PlainNamesPass) {
    for (const wchar_t* name : {L"Version.cfg", L"UtilityChs.cfg", L"a", L"中文.dll", L"x.y.z",
                                L".hidden", L"CONSOLE.txt", L"COM10", L"LPT"})
        EXPECT_TRUE(IsSafeFileName(name)) << name;
}

TEST(SafeFileName, AnythingThatLeavesTheFolderOrIsNoFileIsRefused) {
    for (const wchar_t* name : {L"",
                                L".",
                                L"..",
                                L"..\\victim.txt",
                                L"a/b",
                                L"a\\b",
                                L"C:",
                                L"C:x",
                                L"file:stream",
                                L"\\\\server\\share",
                                L"CON",
                                L"con",
                                L"Con.txt",
                                L"AUX",
                                L"NUL ",
                                L"nul.cfg",
                                L"PRN",
                                L"COM1",
                                L"com9.log",
                                L"LPT1",
                                L"CONIN$",
                                L"name.",
                                L"name ",
                                L"a*b",
                                L"a?b",
                                L"a|b",
                                L"a<b",
                                L"a\"b",
                                L"tab\there"})
        EXPECT_FALSE(IsSafeFileName(name)) << name;
    EXPECT_FALSE(IsSafeFileName(std::wstring(256, L'a')));
    EXPECT_TRUE(IsSafeFileName(std::wstring(255, L'a')));
}

TEST(JoinConfined, RelativePathsStayInTheirFolder) {
    EXPECT_EQ(JoinConfined(L"C:\\d\\", L"controls/SampleCtl.dll"),
              std::wstring(L"C:\\d\\controls\\SampleCtl.dll"));
    EXPECT_EQ(JoinConfined(L"C:\\d\\", L"a//b\\\\c.cab"), std::wstring(L"C:\\d\\a\\b\\c.cab"));
    EXPECT_EQ(JoinConfined(L"C:\\d\\", L"/leading.exe"), std::wstring(L"C:\\d\\leading.exe"));
    for (const wchar_t* path : {L"", L"/", L"../x.dll", L"a/../../x.dll", L"C:\\Windows\\x.dll",
                                L"a/COM1/b.dll", L"a/NUL", L"a/b./c"})
        EXPECT_FALSE(JoinConfined(L"C:\\d\\", path).has_value()) << path;
}

class RegistryValues : public testing::Test {
protected:
    void SetUp() override {
        path_ = FormatW(L"Software\\TovralUnitTest\\%lu", GetCurrentProcessId());
        key_ = CreateRegKey(HKEY_CURRENT_USER, path_);
        ASSERT_TRUE(key_);
    }
    void TearDown() override {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    std::wstring path_;
    RegKey key_;
};

TEST_F(RegistryValues, TypedValuesRoundTrip) {
    ASSERT_TRUE(WriteRegString(key_.get(), L"s", L"文本"));
    ASSERT_TRUE(WriteRegDword(key_.get(), L"d", 0x43));
    const BYTE blob[] = {0x30, 0x82, 0x01};
    ASSERT_TRUE(WriteRegBinary(key_.get(), L"b", blob, sizeof(blob)));
    ASSERT_TRUE(WriteRegBinary(key_.get(), L"empty", nullptr, 0));
    EXPECT_EQ(ReadRegString(key_.get(), L"s"), std::wstring(L"文本"));
    EXPECT_EQ(ReadRegDword(key_.get(), L"d"), 0x43u);
    EXPECT_EQ(ReadRegBinary(key_.get(), L"b"), (std::vector<BYTE>{0x30, 0x82, 0x01}));
    EXPECT_EQ(ReadRegBinary(key_.get(), L"empty"), std::vector<BYTE>{});
    // Wrong types and missing values are "not there".
    EXPECT_FALSE(ReadRegString(key_.get(), L"d"));
    EXPECT_FALSE(ReadRegDword(key_.get(), L"s"));
    EXPECT_FALSE(ReadRegString(key_.get(), L"missing"));
    EXPECT_TRUE(DeleteRegValue(key_.get(), L"s"));
    EXPECT_FALSE(ReadRegString(key_.get(), L"s"));
    EXPECT_FALSE(DeleteRegValue(key_.get(), L"s"));
}

TEST_F(RegistryValues, LongStringsAreReadWhole) {
    std::wstring path = L"C:\\" + std::wstring(600, L'p') + L"\\control.dll";
    ASSERT_TRUE(WriteRegString(key_.get(), nullptr, path));
    EXPECT_EQ(ReadRegString(key_.get(), nullptr), path);
    // A string stored without its terminator still reads as its text.
    const wchar_t bare[] = {L'a', L'b'};
    RegSetValueExW(key_.get(), L"bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(bare),
                   sizeof(bare));
    EXPECT_EQ(ReadRegString(key_.get(), L"bare"), std::wstring(L"ab"));
}

TEST_F(RegistryValues, KeysOpenOnlyWhereTheyExist) {
    EXPECT_TRUE(OpenRegKey(HKEY_CURRENT_USER, path_));
    EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, path_ + L"\\missing"));
    EXPECT_FALSE(OpenRegKey(nullptr, path_));
}

TEST(RegistryRoots, NamesAndTheirCase) {
    EXPECT_EQ(PredefinedKeyByName(L"HKEY_LOCAL_MACHINE", NameCase::Exact), HKEY_LOCAL_MACHINE);
    EXPECT_EQ(PredefinedKeyByName(L"HKEY_CURRENT_CONFIG", NameCase::Exact), HKEY_CURRENT_CONFIG);
    EXPECT_EQ(PredefinedKeyByName(L"hkey_local_machine", NameCase::Exact), nullptr);
    EXPECT_EQ(PredefinedKeyByName(L"hkey_local_machine", NameCase::Ignore), HKEY_LOCAL_MACHINE);
    EXPECT_EQ(PredefinedKeyByName(L"HKLM", NameCase::Ignore), nullptr);
}

TEST(GuardedWork, AFailingWorkerIsTracedAndStillReports) {
    RecordingTraceSink trace;
    int reports = 0;
    RunGuardedWork(
        trace, L"QueryUpdate", [] { throw std::runtime_error("boom"); }, [&] { ++reports; });
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{L"失败事件：QueryUpdate 异常：boom"});

    RunGuardedWork(
        trace, L"Worker", [] {}, [&] { ++reports; });
    EXPECT_EQ(reports, 1); // success: no failure report

    // A report that throws itself ends quietly.
    RunGuardedWork(
        trace, L"Worker", [] { throw ComError(E_FAIL); },
        [] { throw std::runtime_error("report failed"); });
    EXPECT_EQ(trace.Lines().back(), L"失败事件：Worker 异常：0x80004005");
}

TEST(ComApartmentOwner, NestsAndBalances) {
    // The test program's main thread is in an STA already.
    ComApartment same(COINIT_APARTMENTTHREADED);
    EXPECT_EQ(same.result(), S_FALSE);
    EXPECT_TRUE(same.usable());
    ComApartment other(COINIT_MULTITHREADED);
    EXPECT_EQ(other.result(), RPC_E_CHANGED_MODE);
    EXPECT_TRUE(other.usable());
}

TEST(DiskFiles, DevicesAreRefused) {
    TempFolder dir;
    WriteBytes(dir / L"file.bin", "abc");
    EXPECT_TRUE(OpenDiskFileForReading(dir / L"file.bin", FILE_SHARE_READ));
    // In any folder these names are devices whose reads may never end.
    for (const wchar_t* device : {L"NUL", L"AUX", L"COM1"})
        EXPECT_FALSE(OpenDiskFileForReading(dir / device, FILE_SHARE_READ)) << device;
    EXPECT_FALSE(OpenDiskFileForReading(dir / L"missing.bin", FILE_SHARE_READ));
}

TEST(ModulePath, NamesTheRunningProgram) {
    std::wstring path = ModuleFilePath(nullptr);
    EXPECT_TRUE(path.ends_with(L"common_tests.exe")) << path;
}

} // namespace

// Wine's own modules are real PE files: the COM libraries export their
// unregistration entry, the kernel does not, and no cut copy or program does.
TEST(PeImage, ExportNamesOfRealModules) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    auto image = [&](const wchar_t* name) {
        return ReadBytes(std::wstring(system) + L"\\" + name);
    };
    const std::string ole = image(L"ole32.dll");
    ASSERT_FALSE(ole.empty());
    EXPECT_TRUE(DllExportsName(ole, "DllUnregisterServer"));
    EXPECT_FALSE(DllExportsName(ole, "DllUnregisterServe"));
    EXPECT_FALSE(DllExportsName(image(L"kernel32.dll"), "DllUnregisterServer"));
    EXPECT_FALSE(DllExportsName(ReadBytes(ModuleFilePath(nullptr)), "main"));
    for (size_t cut : {size_t{0}, size_t{2}, size_t{64}, size_t{512}})
        EXPECT_FALSE(DllExportsName(std::string_view(ole).substr(0, cut), "DllUnregisterServer"))
            << cut;
}
