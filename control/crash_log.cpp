#include "control/crash_log.h"

#include "common/handles.h"
#include "common/text.h"
#include "config/folder_chain.h"
#include "control/collapse_dialog.h"
#include "control/stack_walk.h"

#include <atomic>
#include <iterator>

namespace {

struct NamedCode {
    DWORD code;
    const wchar_t* name;
};

const NamedCode kExceptionNames[] = {
    {0x80000001, L"GUARD_PAGE"},
    {0x80000002, L"DATATYPE_MISALIGNMENT"},
    {0x80000003, L"BREAKPOINT"},
    {0x80000004, L"SINGLE_STEP"},
    {0xC0000005, L"ACCESS_VIOLATION"},
    {0xC0000006, L"IN_PAGE_ERROR"},
    {0xC0000008, L"INVALID_HANDLE"},
    {0xC000001D, L"ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, L"INVALID_DISPOSITION"},
    {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"FLT_INEXACT_RESULT"},
    {0xC0000090, L"FLT_INVALID_OPERATION"},
    {0xC0000091, L"FLT_OVERFLOW"},
    {0xC0000092, L"FLT_STACK_CHECK"},
    {0xC0000093, L"FLT_UNDERFLOW"},
    {0xC0000094, L"INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"INT_OVERFLOW"},
    {0xC0000096, L"PRIV_INSTRUCTION"},
    {0xC00000FD, L"STACK_OVERFLOW"},
};

// The record's address: the faulting instruction shifted down by 0x100000.
DWORD ShiftedAddress(DWORD address) {
    return address - 0x100000;
}

std::wstring SystemMessageText(DWORD code) {
    static wchar_t text[1024]; // static: the stack may be exhausted when this runs
    text[0] = L'\0';
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleW(L"NTDLL.DLL"), code, 0, text,
                                  static_cast<DWORD>(std::size(text)), nullptr);
    // The system's text as it stands, its own line end included: the record
    // adds its line end after it.
    std::wstring message(text, length);
    // Without a message text the code itself still tells the reader something.
    return message.empty() ? FormatW(L"0x%08X", static_cast<unsigned>(code)) : message;
}

} // namespace

std::wstring ExceptionName(DWORD code) {
    for (const NamedCode& entry : kExceptionNames) {
        if (entry.code == code)
            return entry.name;
    }
    return SystemMessageText(code);
}

std::string CrashRecordHead(const CrashFacts& facts) {
    const SYSTEMTIME& t = facts.time;
    std::string head =
        FormatA("---------------------------begin of the log---------------------------\r\n"
                "time:%d %d %d %d:%d:%d\r\n",
                t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    head += FormatA("error location :\r\neip is 0x%X\r\n",
                    static_cast<unsigned>(ShiftedAddress(facts.address)));
    return head;
}

std::string CrashRecordFault(const CrashFacts& facts, unsigned codePage) {
    if (!facts.name || !facts.modulePath)
        return {};
    return "exception type is : " + ToCodePage(*facts.name, codePage) + "\r\n" +
           "module name is : " + ToCodePage(*facts.modulePath, codePage) + "\r\n";
}

std::string CrashRecordFrames(const CrashFacts& facts, unsigned codePage) {
    std::string frames;
    for (const std::wstring& frame : facts.frames)
        frames += ToCodePage(frame, codePage) + "\r\n";
    return frames;
}

std::string CrashRecordEnd() {
    return "---------------------------end of the log---------------------------\r\n";
}

std::string FormatCrashRecord(const CrashFacts& facts, unsigned codePage) {
    return CrashRecordHead(facts) + CrashRecordFault(facts, codePage) +
           CrashRecordFrames(facts, codePage) + CrashRecordEnd();
}

std::wstring FormatCrashDialogText(const CrashFacts& facts) {
    std::wstring text = L"\r\n错误信息如下:\r\n";
    text += FormatW(L"错误地址0x%X\r\n", static_cast<unsigned>(ShiftedAddress(facts.address)));
    if (facts.name && facts.modulePath) {
        text += L"错误类型" + *facts.name + L"\r\n";
        text += L"模块名称" + *facts.modulePath + L"\r\n";
    }
    return text;
}

namespace {

struct CrashFilterSettings {
    std::wstring crashLogPath;
    HINSTANCE resources = nullptr;
};

CrashFilterSettings* g_settings = nullptr;

struct CrashJob {
    EXCEPTION_POINTERS* exception = nullptr;
    HANDLE faultingThread = nullptr;
    CrashFacts facts;
};

void Append(HANDLE file, const std::string& text) {
    DWORD written = 0;
    if (file && !text.empty())
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Runs on its own thread: the faulting thread's stack may be nearly exhausted.
// Each part of the record is written as soon as it is known, so a second
// fault in the region query or the stack walk still leaves the first lines.
DWORD WINAPI WriteCrashRecord(void* parameter) {
    auto& job = *static_cast<CrashJob*>(parameter);
    const EXCEPTION_RECORD& record = *job.exception->ExceptionRecord;
    CreateFolderChain(g_settings->crashLogPath);
    FileHandle file(CreateFileW(g_settings->crashLogPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (file)
        SetFilePointer(file.get(), 0, nullptr, FILE_END);
    GetLocalTime(&job.facts.time);
    // The record's format holds 32-bit addresses (the control is 32-bit).
    job.facts.address = static_cast<DWORD>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
    Append(file.get(), CrashRecordHead(job.facts));
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(record.ExceptionAddress, &region, sizeof(region)) && region.AllocationBase) {
        wchar_t path[512] = {};
        GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), path, 512);
        job.facts.name = ExceptionName(record.ExceptionCode);
        job.facts.modulePath = path;
        Append(file.get(), CrashRecordFault(job.facts, CP_ACP));
    } else {
        MessageBoxW(nullptr, L"NULL", nullptr, MB_OK);
    }
    job.facts.frames =
        WalkStack(GetCurrentProcess(), job.faultingThread, *job.exception->ContextRecord);
    Append(file.get(), CrashRecordFrames(job.facts, CP_ACP));
    Append(file.get(), CrashRecordEnd());
    return 0;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    CrashJob job;
    job.exception = exception;
    KernelHandle faultingThread;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    faultingThread.out(), 0, FALSE, DUPLICATE_SAME_ACCESS);
    job.faultingThread = faultingThread.get();
    KernelHandle writer(CreateThread(nullptr, 0, WriteCrashRecord, &job, 0, nullptr));
    if (writer && WaitForSingleObject(writer.get(), INFINITE) == WAIT_OBJECT_0) {
        CDlgCollapseInfo dialog;
        dialog.SetText(FormatCrashDialogText(job.facts));
        dialog.DoModal(g_settings->resources, GetActiveWindow());
    }
    ExitProcess(1);
}

} // namespace

void InstallCrashFilterOnce(const std::wstring& crashLogPath, HINSTANCE resources) {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true))
        return;
    g_settings = new CrashFilterSettings{crashLogPath, resources}; // lives for the process
    SetUnhandledExceptionFilter(CrashFilter); // the previous filter is not chained
}
