// Throughput of the file checksum text on one file:
//   crc_bench FILE [--method auto|table|folding|together] [--repeat N]
// Prints one line "method=... crc=... [sha256=... sha256_method=...] bytes=...
// seconds=... mbps=..."
// with the best of N runs; bench/run.py reads it. "together" is what the
// control computes of every listed file: the CRC and the SHA-256 from one read.
#include "common/text.h"
#include "crypto/checksum.h"
#include "config/listed_file.h"
#include "crypto/sha256.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Options {
    std::wstring file;
    std::wstring method = L"auto"; // "together": CRC and SHA-256 from one read
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

// One timed run: the checksums of the file and the seconds they took.
FileChecksums TimedRun(const Options& options, Crc32UpdateFn update, double& seconds) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    FileChecksums sums = options.method == L"together"
                             ? FileChecksumsOf(options.file, true)
                             : FileChecksums{FileChecksumText(options.file, update), L""};
    QueryPerformanceCounter(&end);
    seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    return sums;
}

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: crc_bench FILE [--method auto|table|folding|together] "
                             "[--repeat N]\n");
        return 2;
    }
    std::string name = "together";
    Crc32UpdateFn update = options.method == L"together" ? static_cast<Crc32UpdateFn>(Crc32Update)
                                                         : PickMethod(options.method, name);
    if (!update) {
        std::fprintf(stderr, "method %s is not available here\n", name.c_str());
        return 3;
    }
    double best = 0;
    FileChecksums sums;
    for (int run = 0; run < options.repeat; ++run) {
        double seconds = 0;
        sums = TimedRun(options, update, seconds);
        if (run == 0 || seconds < best)
            best = seconds;
    }
    if (sums.mac.empty() || (options.method == L"together" && sums.sha256.empty())) {
        std::fprintf(stderr, "cannot read %ls\n", options.file.c_str());
        return 1;
    }
    long long bytes = FileSize(options.file);
    // The SHA-256 is made by the method every stream of the control takes here.
    std::string sha256 = sums.sha256.empty()
                             ? ""
                             : " sha256=" + ToCodePage(sums.sha256, CP_UTF8) +
                                   " sha256_method=" + Sha256MethodName(Sha256FastestMethod());
    std::printf("method=%s crc=%s%s bytes=%lld seconds=%.6f mbps=%.1f\n", name.c_str(),
                ToCodePage(sums.mac, CP_UTF8).c_str(), sha256.c_str(), bytes, best,
                double(bytes) / best / 1e6);
    return 0;
}
