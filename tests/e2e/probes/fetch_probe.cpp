// Runs one fetch for the end-to-end tests:
//   fetch_probe URL LOCALPATH [MAXBYTES] [--observe-to FILE] [--reject]
// prints "result=<0|1>" on stdout (after "accept asked" when the fetch asked
// for acceptance) and each failing call as "error <call> <code>" on stderr.
// --observe-to writes every block the fetch showed its observer to FILE;
// --reject refuses the body when asked.
#include "install/http_fetch.h"

#include <cstdio>
#include <cwchar>
#include <memory>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: fetch_probe URL LOCALPATH [MAXBYTES] [--observe-to FILE] "
                         L"[--reject]\n");
        return 2;
    }
    FetchRequest request{argv[1], argv[2]};
    std::unique_ptr<FILE, int (*)(FILE*)> observed(nullptr, fclose);
    bool reject = false;
    for (int i = 3; i < argc; ++i) {
        if (wcscmp(argv[i], L"--reject") == 0)
            reject = true;
        else if (wcscmp(argv[i], L"--observe-to") == 0 && i + 1 < argc)
            observed.reset(_wfopen(argv[++i], L"wb"));
        else
            request.maxBytes = _wcstoui64(argv[i], nullptr, 10);
    }
    if (observed)
        request.observe = [&](const char* data, std::size_t size) {
            fwrite(data, 1, size, observed.get());
        };
    request.accept = [&] {
        wprintf(L"accept asked\n");
        return !reject;
    };
    int result = FetchUrlToFile(request, [](const wchar_t* call, DWORD error) {
        fwprintf(stderr, L"error %ls %lu\n", call, error);
    });
    wprintf(L"result=%d\n", result);
    return 0;
}
