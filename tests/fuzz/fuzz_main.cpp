// tovral_fuzz: an in-process mutation fuzzer for the control's parsers.
// libFuzzer and AFL cannot instrument mingw PE programs, so this one works
// blind: it mutates the seeds of a target, runs each input, and reports what
// fails. tests/fuzz/run_fuzz.py drives it under Wine and restarts it after a
// crash.
//
//   tovral_fuzz list
//   tovral_fuzz run    --target NAME --seeds DIR --findings DIR --state FILE --scratch DIR
//                      [--seed N] [--first N] [--budget-ms N] [--inputs N] [--max-len N]
//                      [--hang-cpu-ms N] [--hang-wall-ms N] [--key FILE]
//   tovral_fuzz emit   --target NAME --seeds DIR --findings DIR --seed N --index N --kind KIND
//   tovral_fuzz replay --target NAME --seeds DIR --scratch DIR [--key FILE] FILE...
//
// Input N of a run is a pure function of the seed, the target, N and the seed
// files: the first inputs are the seeds themselves, each later one a stack of
// mutations of one of them. A crash or hang ends the process after noting
// the input's index in the state file (a file mapping, so the note survives
// any death); the driver then has the input made again with "emit".
//
// Output lines: "finding KIND INDEX NEW PATH MESSAGE" for a failure the run
// survives (a C++ exception, a broken invariant), "saved NEW PATH" from emit,
// "done NEXT-INDEX INPUTS MILLISECONDS" at the end of a run.

#include "common/com_types.h"
#include "common/text.h"
#include "tests/fuzz/mutator.h"
#include "tests/fuzz/targets.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// --- the state file ----------------------------------------------------------------

// Read by run_fuzz.py (struct "<IIQQIIII128s"): keep the layout in step.
struct FuzzState {
    uint32_t magic;        // 'TFZ1'
    uint32_t kind;         // what ended the process
    uint64_t index;        // the input being run (or last run)
    uint64_t inputs;       // inputs started by this process
    uint32_t running;      // 1 while an input runs
    uint32_t code;         // exception code of a crash
    uint32_t address;      // where it happened
    uint32_t moduleBase;   // the allocation base holding that address
    wchar_t module[64];    // that module's file name, without its folder
};
constexpr uint32_t kStateMagic = 0x315A4654;
enum StateKind : uint32_t { kNone = 0, kCrash = 1, kHang = 2, kAbort = 3 };

volatile FuzzState* g_state = nullptr;
HANDLE g_mainThread = nullptr;

bool MapState(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, sizeof(FuzzState), nullptr);
    if (!mapping)
        return false;
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(FuzzState));
    if (!view)
        return false;
    g_state = static_cast<volatile FuzzState*>(view);
    g_state->magic = kStateMagic;
    return true;
}

// Whatever ends the process from here on does nothing but note and terminate:
// the heap or the stack may be broken.
[[noreturn]] void EndWith(uint32_t kind, UINT exitCode) {
    if (g_state)
        g_state->kind = kind;
    TerminateProcess(GetCurrentProcess(), exitCode);
    for (;;)
        Sleep(INFINITE);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    if (g_state) {
        g_state->code = info->ExceptionRecord->ExceptionCode;
        auto address = reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress);
        g_state->address = static_cast<uint32_t>(address);
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(info->ExceptionRecord->ExceptionAddress, &region, sizeof region)) {
            g_state->moduleBase = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(region.AllocationBase));
            // A fixed buffer: nothing here may need the heap.
            wchar_t path[MAX_PATH] = {};
            DWORD length = GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), path, MAX_PATH);
            DWORD name = length;
            while (name > 0 && path[name - 1] != L'\\')
                --name;
            for (DWORD i = 0; i < 63 && name + i < length; ++i)
                g_state->module[i] = path[name + i];
        }
    }
    EndWith(kCrash, 0xC0);
}

void OnAbort(int) {
    EndWith(kAbort, 0xAB);
}

struct HangLimits {
    DWORD cpuMs = 2000;   // CPU time of one input: a busy machine does not stretch it
    DWORD wallMs = 20000; // wall time, for inputs that block without computing
};

uint64_t ThreadCpuMs(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    auto value = [](const FILETIME& t) {
        return (uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 10000;
    };
    return value(kernel) + value(user);
}

// Samples the main thread: an input that stays the same one for longer than
// a limit is a hang. The main thread is suspended first, so the noted index
// is the input that hung.
DWORD WINAPI Watchdog(void* parameter) {
    const HangLimits limits = *static_cast<HangLimits*>(parameter);
    uint64_t watched = ~uint64_t{0};
    uint64_t cpuStart = 0;
    ULONGLONG wallStart = 0;
    for (;;) {
        Sleep(50);
        uint64_t current = g_state->inputs;
        bool running = g_state->running != 0;
        if (!running || current != watched) {
            watched = running ? current : ~uint64_t{0};
            cpuStart = ThreadCpuMs(g_mainThread);
            wallStart = GetTickCount64();
            continue;
        }
        if (ThreadCpuMs(g_mainThread) - cpuStart > limits.cpuMs ||
            GetTickCount64() - wallStart > limits.wallMs) {
            SuspendThread(g_mainThread);
            if (g_state->inputs == watched && g_state->running)
                EndWith(kHang, 0xF0);
            ResumeThread(g_mainThread);
        }
    }
}

// --- seeds and inputs ----------------------------------------------------------------

Bytes ReadWhole(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::wstring WithSlash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder.push_back(L'\\');
    return folder;
}

// The target's seed files in name order (the order fixes input numbers).
std::vector<Bytes> LoadSeeds(const std::wstring& seedsRoot, const std::wstring& target) {
    std::wstring folder = WithSlash(seedsRoot) + target + L"\\";
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.emplace_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::vector<Bytes> seeds;
    for (const std::wstring& name : names)
        seeds.push_back(ReadWhole(folder + name));
    if (seeds.empty())
        seeds.emplace_back(); // the empty input: mutations still have something to grow
    return seeds;
}

struct Generator {
    std::string target;
    uint64_t seed = 1;
    std::vector<Bytes> seeds;
    std::vector<Bytes> dictionary;
    size_t maxLength = 16384;

    Bytes InputAt(uint64_t index) const {
        if (index < seeds.size())
            return seeds[index];
        Prng rng = InputPrng(seed, target, index);
        const Bytes& base = seeds[rng.Below(seeds.size())];
        return Mutate(base, rng, MutationSources{seeds, dictionary, maxLength});
    }
};

// --- running one input -----------------------------------------------------------------

struct Outcome {
    const char* kind = nullptr; // null: passed
    std::string message;
};

Outcome RunOne(FuzzTarget& target, const Bytes& input) {
    try {
        target.Run(input);
        return {};
    } catch (const InvariantBroken& broken) {
        return {"invariant", broken.what()};
    } catch (const std::exception& error) {
        return {"exception", error.what()};
    } catch (...) {
        return {"exception", "an exception of unknown type"};
    }
}

// Saves a failing input as KIND-HASH.bin; true when it was not there yet.
bool SaveFinding(const std::wstring& folder, const char* kind, const Bytes& input,
                 std::wstring& path) {
    CreateDirectoryW(folder.c_str(), nullptr);
    path = WithSlash(folder) +
           FormatW(L"%hs-%016llx.bin", kind, static_cast<unsigned long long>(Fnv1a64(input)));
    bool fresh = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    return fresh;
}

std::string Utf8(const std::wstring& text) {
    return ToCodePage(text, CP_UTF8);
}

// --- command line ------------------------------------------------------------------------

struct Options {
    std::wstring command;
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> files;

    std::wstring Text(const wchar_t* name, const wchar_t* fallback = L"") const {
        auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
    uint64_t Number(const wchar_t* name, uint64_t fallback) const {
        auto found = values.find(name);
        return found == values.end() ? fallback : _wcstoui64(found->second.c_str(), nullptr, 10);
    }
};

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    if (argc > 1)
        options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg.starts_with(L"--") && i + 1 < argc)
            options.values[arg.substr(2)] = argv[++i];
        else
            options.files.push_back(arg);
    }
    return options;
}

int Usage() {
    std::fputs("usage: tovral_fuzz list | run | emit | replay (see tests/fuzz/fuzz_main.cpp)\n", stderr);
    return 2;
}

FuzzTarget* FindTarget(const std::vector<std::unique_ptr<FuzzTarget>>& targets,
                       const std::wstring& name) {
    for (const auto& target : targets) {
        if (FromCodePage(target->Name(), CP_UTF8) == name)
            return target.get();
    }
    return nullptr;
}

std::wstring DefaultKeyFile() {
    return ReplaceAll(L"Z:" + FromCodePage(TOVRAL_SOURCE_DIR "/tests/fixtures/keys/test.pub", CP_UTF8),
                      L"/", L"\\");
}

FuzzPaths PathsFrom(const Options& options) {
    FuzzPaths paths;
    paths.seeds = WithSlash(options.Text(L"seeds"));
    paths.scratch = WithSlash(options.Text(L"scratch"));
    paths.keyFile = options.Text(L"key", DefaultKeyFile().c_str());
    if (!paths.scratch.empty())
        CreateDirectoryW(paths.scratch.c_str(), nullptr);
    return paths;
}

Generator MakeGenerator(const FuzzTarget& target, const Options& options) {
    Generator generator;
    generator.target = target.Name();
    generator.seed = options.Number(L"seed", 1);
    generator.seeds = LoadSeeds(options.Text(L"seeds"), options.Text(L"target"));
    generator.dictionary = target.Dictionary();
    generator.maxLength = static_cast<size_t>(options.Number(L"max-len", 16384));
    return generator;
}

int CommandRun(FuzzTarget& target, const Options& options) {
    if (!MapState(options.Text(L"state"))) {
        std::fputs("cannot map the state file\n", stderr);
        return 2;
    }
    Generator generator = MakeGenerator(target, options);
    const std::wstring findings = options.Text(L"findings");
    const uint64_t first = options.Number(L"first", 0);
    const uint64_t inputLimit = options.Number(L"inputs", 0);
    const ULONGLONG budgetMs = options.Number(L"budget-ms", 10000);

    static HangLimits limits;
    limits.cpuMs = static_cast<DWORD>(options.Number(L"hang-cpu-ms", limits.cpuMs));
    limits.wallMs = static_cast<DWORD>(options.Number(L"hang-wall-ms", limits.wallMs));
    CloseHandle(CreateThread(nullptr, 0, Watchdog, &limits, 0, nullptr));

    const ULONGLONG start = GetTickCount64();
    uint64_t index = first;
    uint64_t ran = 0;
    while (inputLimit ? ran < inputLimit : GetTickCount64() - start < budgetMs) {
        Bytes input = generator.InputAt(index);
        g_state->index = index;
        g_state->inputs = ++ran;
        g_state->running = 1;
        Outcome outcome = RunOne(target, input);
        g_state->running = 0;
        if (outcome.kind) {
            std::wstring path;
            bool fresh = SaveFinding(findings, outcome.kind, input, path);
            std::printf("finding %s %llu %d %s %s\n", outcome.kind,
                        static_cast<unsigned long long>(index), fresh ? 1 : 0, Utf8(path).c_str(),
                        outcome.message.c_str());
            std::fflush(stdout);
        }
        ++index;
    }
    std::printf("done %llu %llu %llu\n", static_cast<unsigned long long>(index),
                static_cast<unsigned long long>(ran),
                static_cast<unsigned long long>(GetTickCount64() - start));
    std::fflush(stdout);
    return 0;
}

int CommandEmit(const FuzzTarget& target, const Options& options) {
    Generator generator = MakeGenerator(target, options);
    Bytes input = generator.InputAt(options.Number(L"index", 0));
    std::wstring kind = options.Text(L"kind", L"crash");
    std::wstring path;
    bool fresh = SaveFinding(options.Text(L"findings"), Utf8(kind).c_str(), input, path);
    std::printf("saved %d %s\n", fresh ? 1 : 0, Utf8(path).c_str());
    return 0;
}

// Runs saved inputs once each (a crash ends the process as it would a run).
int CommandReplay(FuzzTarget& target, const Options& options) {
    int failures = 0;
    for (const std::wstring& file : options.files) {
        Outcome outcome = RunOne(target, ReadWhole(file));
        std::printf("%s %s%s%s\n", outcome.kind ? outcome.kind : "ok", Utf8(file).c_str(),
                    outcome.kind ? ": " : "", outcome.message.c_str());
        failures += outcome.kind ? 1 : 0;
    }
    std::fflush(stdout);
    return failures ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options = ParseOptions(argc, argv);
    std::vector<std::unique_ptr<FuzzTarget>> targets = MakeTargets();
    if (options.command == L"list") {
        for (const auto& target : targets)
            std::printf("%-14s %s\n", target->Name(), target->Reads());
        return 0;
    }
    FuzzTarget* target = FindTarget(targets, options.Text(L"target"));
    if (!target)
        return Usage();
    if (options.command == L"emit")
        return CommandEmit(*target, options);

    // The crash and hang machinery is in place before any input runs.
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_mainThread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    ULONG reserve = 64 * 1024; // room for the exception filter after a stack overflow
    SetThreadStackGuarantee(&reserve);
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::signal(SIGABRT, OnAbort);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);

    // MSXML, behind XmlNode, needs COM on this thread.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    try {
        target->Prepare(PathsFrom(options));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s cannot run: %s\n", target->Name(), error.what());
        return 2;
    }
    if (options.command == L"run")
        return CommandRun(*target, options);
    if (options.command == L"replay")
        return CommandReplay(*target, options);
    return Usage();
}
