// The benchmarks' reference fetch: InternetOpenUrl with FetchUrlToFile's
// cache flags on a session the caller opened, then InternetReadFile and
// WriteFile in FetchUrlToFile's read size until the end; nothing else.
#pragma once

#include "common/handles.h"
#include "install/internet_handle.h"

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

inline bool BareFetchOn(HINTERNET session, const std::wstring& url, const std::wstring& path) {
    constexpr DWORD kBareBlock = 16384; // FetchUrlToFile's read size
    InternetHandle request(InternetOpenUrlW(
        session, url.c_str(), nullptr, 0,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!request || !file)
        return false;
    std::vector<char> buffer(kBareBlock);
    for (;;) {
        DWORD read = 0, written = 0;
        if (!InternetReadFile(request.get(), buffer.data(), kBareBlock, &read))
            return false;
        if (read == 0)
            return true;
        if (!WriteFile(file.get(), buffer.data(), read, &written, nullptr) || written != read)
            return false;
    }
}
