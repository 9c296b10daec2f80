// Copying the body of one HTTP(S) resource into one local file through WinINet.
#pragma once

#include "common/fetch.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Told of each failing call of a fetch: the call's name and its error code
// (a WinINet or Win32 error). Purely informative: it never changes the result.
// A body shorter than its Content-Length comes as "InternetReadFile", ERROR_HANDLE_EOF.
using FetchErrorSink = std::function<void(const wchar_t* call, DWORD error)>;

// Fetches `request.url` with a fresh session (no cache read or write) and
// writes the body, whatever the HTTP status, to `request.localPath` (created
// or truncated). Returns 1 when the whole body was written and is not empty,
// else 0. A body that ends early, cannot be written completely or grows past
// `request.maxBytes` returns 0 and leaves the partial file; when the URL
// cannot be opened no file is created. Redirects are followed up to
// kMaxRedirects times, then the fetch fails. Blocks until the body is read;
// run it on a worker thread.
int FetchUrlToFile(const FetchRequest& request, const FetchErrorSink& onError = {});

// More than this many redirects in a row is a loop (a 302 to itself would
// otherwise be followed for ever).
constexpr int kMaxRedirects = 10;

// Whether an HTTP status asks the client to fetch another address.
bool IsRedirectStatus(DWORD status);

// A Content-Length header value as a byte count: decimal digits, blanks around
// them allowed; nothing for anything else.
std::optional<std::uint64_t> ParseContentLength(std::wstring_view text);
