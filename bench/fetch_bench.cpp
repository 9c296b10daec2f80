// One timed fetch for bench/fetch_bench.py: fetch_bench URL LOCALPATH prints
// the result, the time the fetch took and the process's peak working set.
#include "install/http_fetch.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: fetch_bench URL LOCALPATH\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int result =
        FetchUrlToFile(FetchRequest{argv[1], argv[2]}, [](const wchar_t* call, DWORD error) {
            fwprintf(stderr, L"error %ls %lu\n", call, error);
        });
    QueryPerformanceCounter(&end);

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    wprintf(L"result=%d\nelapsed_seconds=%.6f\npeak_working_set_bytes=%lu\n", result, seconds,
            static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return result == 1 ? 0 : 1;
}
