// The crash log: a process-wide unhandled-exception filter that appends a
// record of the fault to BankVeyrant_Exception.log, shows the user the same
// facts in a small dialog and ends the process with exit code 1.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// The name of an exception code from the table of well-known faults, or the
// system's message text for any other code.
std::wstring ExceptionName(DWORD code);

struct CrashFacts {
    SYSTEMTIME time{};
    DWORD address = 0;                      // faulting instruction
    std::optional<std::wstring> name;       // set when the address lies in a module
    std::optional<std::wstring> modulePath; // set with name
    std::vector<std::wstring> frames;       // stack walk, innermost first
};

// The record as written to the crash log (ANSI text, CR LF line ends), and
// its parts in file order: the begin, time and address lines; the exception
// and module lines (empty without a module); the stack frames; the end line.
std::string FormatCrashRecord(const CrashFacts& facts, unsigned codePage);
std::string CrashRecordHead(const CrashFacts& facts);
std::string CrashRecordFault(const CrashFacts& facts, unsigned codePage);
std::string CrashRecordFrames(const CrashFacts& facts, unsigned codePage);
std::string CrashRecordEnd();

// The dialog's text for the same facts.
std::wstring FormatCrashDialogText(const CrashFacts& facts);

// Installs the filter once per process; later calls do nothing. The filter
// writes to `crashLogPath` and shows dialog resource 103 of `resources`.
void InstallCrashFilterOnce(const std::wstring& crashLogPath, HINSTANCE resources);
