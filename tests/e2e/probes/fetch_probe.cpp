// Runs one fetch for the end-to-end tests: fetch_probe URL LOCALPATH prints
// "result=<0|1>" on stdout and each failing call as "error <call> <code>" on stderr.
#include "install/http_fetch.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: fetch_probe URL LOCALPATH\n");
        return 2;
    }
    int result = FetchUrlToFile(argv[1], argv[2], [](const wchar_t* call, DWORD error) {
        fwprintf(stderr, L"error %ls %lu\n", call, error);
    });
    wprintf(L"result=%d\n", result);
    return 0;
}
