// Copying the body of one HTTP(S) resource into one local file through WinINet.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// What the download engine prepares before a fetch. The item id is not used by
// the fetch; it tells the caller's report which item the fetch was for.
struct FetchTarget {
    std::wstring url;       // absolute, used as it stands (nothing is escaped)
    std::wstring localPath; // full path; its folders must exist
    int itemId = 0;
};

// Told of each failing call of a fetch: the call's name and its error code
// (a WinINet or Win32 error). Purely informative: it never changes the result.
// A body shorter than its Content-Length comes as "InternetReadFile", ERROR_HANDLE_EOF.
using FetchErrorSink = std::function<void(const wchar_t* call, DWORD error)>;

// Fetches `url` with a fresh session (no cache read or write) and writes the
// body, whatever the HTTP status, to `localPath` (created or truncated).
// Returns 1 when the whole body was written and is not empty, else 0. A body
// that ends early or cannot be written completely returns 0 and leaves the
// partial file; when the URL cannot be opened no file is created. Blocks
// until the body is read; run it on a worker thread.
int FetchUrlToFile(const std::wstring& url, const std::wstring& localPath,
                   const FetchErrorSink& onError = {});
inline int FetchUrlToFile(const FetchTarget& target, const FetchErrorSink& onError = {}) {
    return FetchUrlToFile(target.url, target.localPath, onError);
}

// A Content-Length header value as a byte count: decimal digits, blanks around
// them allowed; nothing for anything else.
std::optional<std::uint64_t> ParseContentLength(std::wstring_view text);
