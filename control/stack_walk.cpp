#include "control/stack_walk.h"

#include "common/handles.h"
#include "common/text.h"

#include <dbghelp.h>

namespace {

constexpr int kMaxFrames = 64;

struct ImageHelp {
    using InitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
    using CleanupFn = BOOL(WINAPI*)(HANDLE);
    using WalkFn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                 PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                 PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64);
    using FromAddrFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
    using SetContextFn = BOOL(WINAPI*)(HANDLE, PIMAGEHLP_STACK_FRAME, PIMAGEHLP_CONTEXT);

    Library library{LoadLibraryW(L"IMAGEHLP.DLL")};
    InitializeFn initialize = Entry<InitializeFn>("SymInitialize");
    CleanupFn cleanup = Entry<CleanupFn>("SymCleanup");
    WalkFn walk = Entry<WalkFn>("StackWalk64");
    PFUNCTION_TABLE_ACCESS_ROUTINE64 tableAccess =
        Entry<PFUNCTION_TABLE_ACCESS_ROUTINE64>("SymFunctionTableAccess64");
    PGET_MODULE_BASE_ROUTINE64 moduleBase = Entry<PGET_MODULE_BASE_ROUTINE64>("SymGetModuleBase64");
    FromAddrFn fromAddr = Entry<FromAddrFn>("SymFromAddr");
    SetContextFn setContext = Entry<SetContextFn>("SymSetContext");

    bool complete() const {
        return initialize && cleanup && walk && tableAccess && moduleBase && fromAddr && setContext;
    }

private:
    template <typename Fn> Fn Entry(const char* name) {
        return library ? reinterpret_cast<Fn>(
                             reinterpret_cast<void*>(GetProcAddress(library.get(), name)))
                       : nullptr;
    }
};

// "SECTION:OFFSET module" for an address inside a loaded image.
std::wstring SectionText(uintptr_t address) {
    MEMORY_BASIC_INFORMATION region{};
    if (!VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof(region)) ||
        !region.AllocationBase)
        return FormatW(L"0000:%08X", static_cast<unsigned>(address));
    auto base = reinterpret_cast<const BYTE*>(region.AllocationBase);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), path, MAX_PATH);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    auto rva = static_cast<DWORD>(address - reinterpret_cast<uintptr_t>(base));
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size)
            return FormatW(L"%04X:%08X %ls", i + 1,
                           static_cast<unsigned>(rva - section->VirtualAddress), path);
    }
    return FormatW(L"%04X:%08X %ls", 0u, static_cast<unsigned>(rva), path);
}

std::wstring FrameText(const ImageHelp& help, HANDLE process, const STACKFRAME64& frame) {
    IMAGEHLP_STACK_FRAME context{};
    context.InstructionOffset = frame.AddrPC.Offset;
    help.setContext(process, &context, nullptr);

    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 512] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 512 - 1;
    DWORD64 displacement = 0;
    if (help.fromAddr(process, frame.AddrPC.Offset, &displacement, symbol))
        return FormatW(L"%hs+%I64X", symbol->Name, displacement);
    return SectionText(static_cast<uintptr_t>(frame.AddrPC.Offset));
}

} // namespace

std::vector<std::wstring> WalkStack(HANDLE process, HANDLE thread, const CONTEXT& context) {
    std::vector<std::wstring> frames;
    ImageHelp help;
    if (!help.complete() || !help.initialize(process, nullptr, TRUE))
        return frames;
    CONTEXT walking = context; // the walk updates it
    STACKFRAME64 frame{};
#ifdef _WIN64 // the tests' 64-bit build
    constexpr DWORD machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = context.Rip;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrFrame.Offset = context.Rbp;
#else
    constexpr DWORD machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = context.Eip;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrFrame.Offset = context.Ebp;
#endif
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Mode = AddrModeFlat;
    while (frames.size() < kMaxFrames &&
           help.walk(machine, process, thread, &frame, &walking, nullptr, help.tableAccess,
                     help.moduleBase, nullptr) &&
           frame.AddrFrame.Offset != 0)
        frames.push_back(FrameText(help, process, frame));
    help.cleanup(process);
    return frames;
}
