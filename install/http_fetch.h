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
// stores the body, whatever the HTTP status, at `request.localPath`.
// The body goes to a file of its own beside the target while it arrives; the
// size cap is checked before a block is written, and `request.observe` sees
// each stored block in order. Only a whole body (no read error, the declared
// Content-Length met) that is not empty and that `request.accept` (when set)
// accepts is moved over the target, replacing it: returns 1. Anything else
// returns 0, deletes the body's file and leaves an existing target as it was;
// when the URL cannot be opened no file is created. An exception from
// `observe` or `accept` passes through, with the same clean-up. Redirects are
// followed up to kMaxRedirects times, then the fetch fails. Blocks until the
// body is read; run it on a worker thread.
int FetchUrlToFile(const FetchRequest& request, const FetchErrorSink& onError = {});

// The system's connection flags, as each fetch reads them when none are given.
std::uint32_t ConnectionFlags();
// `fetch` giving every request `flags`: for the fetches of one operation (an
// update check), which reads them once, where a change of proxy between two
// files would make no sense and each reading costs 10-12 ms under Wine.
FetchFunction WithConnectionFlags(FetchFunction fetch, std::uint32_t flags);

// More than this many redirects in a row is a loop (a 302 to itself would
// otherwise be followed for ever).
constexpr int kMaxRedirects = 10;

// Whether an HTTP status asks the client to fetch another address.
bool IsRedirectStatus(DWORD status);

// A Content-Length header value as a byte count: decimal digits, blanks around
// them allowed; nothing for anything else.
std::optional<std::uint64_t> ParseContentLength(std::wstring_view text);
