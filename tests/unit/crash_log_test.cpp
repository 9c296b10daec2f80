#include "control/crash_log.h"

#include "common/text.h"

#include <gtest/gtest.h>

namespace {

CrashFacts SampleFacts() {
    CrashFacts facts;
    facts.time = SYSTEMTIME{2009, 3, 4, 5, 8, 7, 6, 0};
    facts.address = 0x10401234;
    facts.name = L"ACCESS_VIOLATION";
    facts.modulePath = L"C:\\Bank\\Client.exe";
    return facts;
}

TEST(CrashRecord, LinesInFileOrder) {
    CrashFacts facts = SampleFacts();
    facts.frames = {L"Fault+1A", L"0001:00000010 C:\\Bank\\Client.exe"};
    EXPECT_EQ(FormatCrashRecord(facts, 1252),
              "---------------------------begin of the log---------------------------\r\n"
              "time:2009 3 5 8:7:6\r\n"
              "error location :\r\neip is 0x10301234\r\n"
              "exception type is : ACCESS_VIOLATION\r\n"
              "module name is : C:\\Bank\\Client.exe\r\n"
              "Fault+1A\r\n"
              "0001:00000010 C:\\Bank\\Client.exe\r\n"
              "---------------------------end of the log---------------------------\r\n");
}

TEST(CrashRecord, AddressOutsideAnyModuleHasNoTypeOrModule) {
    CrashFacts facts = SampleFacts();
    facts.name.reset();
    facts.modulePath.reset();
    std::string record = FormatCrashRecord(facts, 1252);
    EXPECT_EQ(record.find("exception type"), std::string::npos);
    EXPECT_EQ(record.find("module name"), std::string::npos);
    EXPECT_EQ(FormatCrashDialogText(facts), L"\r\n错误信息如下:\r\n错误地址0x10301234\r\n");
}

TEST(CrashRecord, DialogTextCarriesTheSameFacts) {
    EXPECT_EQ(FormatCrashDialogText(SampleFacts()),
              L"\r\n错误信息如下:\r\n错误地址0x10301234\r\n错误类型ACCESS_VIOLATION\r\n"
              L"模块名称C:\\Bank\\Client.exe\r\n");
}

TEST(CrashRecord, ModulePathsAreNotCut) {
    CrashFacts facts = SampleFacts();
    facts.modulePath = L"C:\\" + std::wstring(300, L'x') + L"\\Client.exe";
    EXPECT_NE(FormatCrashRecord(facts, 1252).find(std::string(300, 'x') + "\\Client.exe\r\n"),
              std::string::npos);
}

TEST(ExceptionNames, TableAndSystemTexts) {
    EXPECT_EQ(ExceptionName(0xC0000005), L"ACCESS_VIOLATION");
    EXPECT_EQ(ExceptionName(0x80000003), L"BREAKPOINT");
    EXPECT_EQ(ExceptionName(0xC00000FD), L"STACK_OVERFLOW");
    EXPECT_EQ(ExceptionName(0xC0000094), L"INT_DIVIDE_BY_ZERO");
    // Codes outside the table take the system's text as it stands (its line
    // end included, which the record keeps), or at least the code.
    std::wstring other = ExceptionName(0xC0000017);
    EXPECT_FALSE(other.empty());
    CrashFacts facts;
    facts.name = other;
    facts.modulePath = L"C:\\m.dll";
    std::string fault = CrashRecordFault(facts, CP_ACP);
    EXPECT_EQ(fault.substr(0, 20), "exception type is : ");
    EXPECT_NE(fault.find(ToCodePage(other, CP_ACP) + "\r\nmodule name is : "), std::string::npos);
}

} // namespace
