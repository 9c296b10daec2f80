// One timed fetch for bench/fetch_bench.py:
//   fetch_bench [--bare] URL LOCALPATH
// fetches with FetchUrlToFile and the verification every fetch of the control
// gets (CRC-32 and SHA-256 of the body as it is written, then compared), or
// with --bare through the plainest WinINet loop (the platform's limit under
// Wine) alone, and prints the result, the time taken, the checksums (not with
// --bare, with the SHA-256 method) and the process's peak working set.
#include "bench/bare_fetch.h"
#include "common/handles.h"
#include "common/text.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "install/http_fetch.h"
#include "install/internet_handle.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

// InternetOpen, InternetOpenUrl, then InternetReadFile and WriteFile until the
// end: nothing else. The cache flags are FetchUrlToFile's, so that neither
// pays for a cache copy the other does not make.
int BareFetch(const wchar_t* url, const wchar_t* path) {
    InternetHandle session(
        InternetOpenW(L"fetch_bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session)
        return 0;
    return BareFetchOn(session.get(), url, path) ? 1 : 0;
}

struct Verified {
    std::wstring crc;
    std::wstring sha256;
};

// The body hashed while it is written, and accepted only when both checksums
// could be made, as the control verifies what it fetches.
int OurFetch(const wchar_t* url, const wchar_t* path, Verified& verified) {
    std::uint32_t crc = 0;
    Sha256Stream sha256;
    FetchRequest request{url, path};
    request.observe = [&](const char* data, std::size_t size) {
        crc = Crc32Update(crc, data, size);
        sha256.Update(data, size);
    };
    request.accept = [&] {
        std::optional<Sha256Digest> digest = sha256.Finish();
        if (!digest)
            return false;
        verified = {ChecksumText(crc), Sha256Text(*digest)};
        return true;
    };
    return FetchUrlToFile(request, [](const wchar_t* call, DWORD error) {
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
    Verified verified;
    int result = bare ? BareFetch(url, path) : OurFetch(url, path, verified);
    QueryPerformanceCounter(&end);

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    wprintf(L"result=%d\nelapsed_seconds=%.6f\npeak_working_set_bytes=%lu\n", result,
            Seconds(start, end), static_cast<unsigned long>(memory.PeakWorkingSetSize));
    if (!bare)
        wprintf(L"crc=%ls\nsha256=%ls\nsha256_method=%hs\n", verified.crc.c_str(),
                verified.sha256.c_str(), Sha256MethodName(Sha256FastestMethod()));
    return result == 1 ? 0 : 1;
}
