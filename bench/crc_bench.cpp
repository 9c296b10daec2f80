// Throughput of the file checksum text on one file:
//   crc_bench FILE [--method auto|table|folding] [--repeat N]
// Prints one line "method=... crc=... bytes=... seconds=... mbps=..." with the
// best of N runs; bench/run.py reads it.
#include "crypto/checksum.h"
#include "common/text.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Options {
    std::wstring file;
    std::wstring method = L"auto";
    int repeat = 3;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--method" && i + 1 < argc)
            options.method = argv[++i];
        else if (arg == L"--repeat" && i + 1 < argc)
            options.repeat = _wtoi(argv[++i]);
        else if (options.file.empty())
            options.file = arg;
        else
            return false;
    }
    return !options.file.empty() && options.repeat > 0;
}

// The method to time and its name; null when the processor lacks it.
Crc32UpdateFn PickMethod(const std::wstring& method, std::string& name) {
    bool folding = Crc32FoldingSupported();
    if (method == L"auto") {
        name = folding ? "folding" : "table";
        return Crc32Update;
    }
    name = ToCodePage(method, CP_UTF8);
    if (method == L"table")
        return Crc32UpdateTable;
    if (method == L"folding" && folding)
        return Crc32UpdateFolding;
    return nullptr;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: crc_bench FILE [--method auto|table|folding] [--repeat N]\n");
        return 2;
    }
    std::string name;
    Crc32UpdateFn update = PickMethod(options.method, name);
    if (!update) {
        std::fprintf(stderr, "method %s is not available here\n", name.c_str());
        return 3;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    std::wstring text;
    for (int run = 0; run < options.repeat; ++run) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        text = FileChecksumText(options.file, update);
        QueryPerformanceCounter(&end);
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        if (run == 0 || seconds < best)
            best = seconds;
    }
    if (text.empty()) {
        std::fprintf(stderr, "cannot read %ls\n", options.file.c_str());
        return 1;
    }
    long long bytes = FileSize(options.file);
    std::printf("method=%s crc=%s bytes=%lld seconds=%.6f mbps=%.1f\n", name.c_str(),
                ToCodePage(text, CP_UTF8).c_str(), bytes, best, double(bytes) / best / 1e6);
    return 0;
}
