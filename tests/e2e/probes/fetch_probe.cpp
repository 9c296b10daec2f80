// Runs one fetch for the end-to-end tests: fetch_probe URL LOCALPATH [MAXBYTES]
// prints "result=<0|1>" on stdout and each failing call as "error <call> <code>"
// on stderr.
#include "install/http_fetch.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        fwprintf(stderr, L"usage: fetch_probe URL LOCALPATH [MAXBYTES]\n");
        return 2;
    }
    FetchRequest request{argv[1], argv[2], argc == 4 ? _wcstoui64(argv[3], nullptr, 10) : 0};
    int result = FetchUrlToFile(request, [](const wchar_t* call, DWORD error) {
        fwprintf(stderr, L"error %ls %lu\n", call, error);
    });
    wprintf(L"result=%d\n", result);
    return 0;
}
