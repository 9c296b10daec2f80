// One timed fetch for bench/fetch_bench.py:
//   fetch_bench [--bare] URL LOCALPATH
// fetches with FetchUrlToFile, or with --bare through the plainest WinINet
// loop (the platform's limit under Wine), and prints the result, the time the
// fetch took and the process's peak working set.
#include "common/handles.h"
#include "install/http_fetch.h"
#include "install/internet_handle.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kBareBlock = 16384; // FetchUrlToFile's read size

// InternetOpen, InternetOpenUrl, then InternetReadFile and WriteFile until the
// end: nothing else. The cache flags are FetchUrlToFile's, so that neither
// pays for a cache copy the other does not make.
int BareFetch(const wchar_t* url, const wchar_t* path) {
    InternetHandle session(
        InternetOpenW(L"fetch_bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session)
        return 0;
    InternetHandle request(InternetOpenUrlW(
        session.get(), url, nullptr, 0,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
    FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!request || !file)
        return 0;
    std::vector<char> buffer(kBareBlock);
    for (;;) {
        DWORD read = 0, written = 0;
        if (!InternetReadFile(request.get(), buffer.data(), kBareBlock, &read))
            return 0;
        if (read == 0)
            return 1;
        if (!WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read)
            return 0;
    }
}

int OurFetch(const wchar_t* url, const wchar_t* path) {
    return FetchUrlToFile(FetchRequest{url, path}, [](const wchar_t* call, DWORD error) {
        fwprintf(stderr, L"error %ls %lu\n", call, error);
    });
}

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const bool bare = argc == 4 && std::wcscmp(argv[1], L"--bare") == 0;
    if (argc != 3 && !bare) {
        fwprintf(stderr, L"usage: fetch_bench [--bare] URL LOCALPATH\n");
        return 2;
    }
    const wchar_t* url = argv[argc - 2];
    const wchar_t* path = argv[argc - 1];
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int result = bare ? BareFetch(url, path) : OurFetch(url, path);
    QueryPerformanceCounter(&end);

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    wprintf(L"result=%d\nelapsed_seconds=%.6f\npeak_working_set_bytes=%lu\n", result,
            Seconds(start, end), static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return result == 1 ? 0 : 1;
}
