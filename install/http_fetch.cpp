#include "install/http_fetch.h"

#include "common/handles.h"
#include "install/internet_handle.h"

#include <mmsystem.h>
#include <wininet.h>

#include <cwchar>
#include <limits>
#include <optional>
#include <vector>

namespace {

constexpr DWORD kReadBlock = 16384;
constexpr wchar_t kRequestHeaders[] = L"Accept: */*\r\n\r\n";
constexpr DWORD kRequestHeadersLength = 15;
static_assert(std::char_traits<wchar_t>::length(kRequestHeaders) == kRequestHeadersLength);

// Every fetch goes to the server and leaves nothing in the browser's cache.
constexpr DWORD kOpenUrlFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kOpenUrlFlags == 0x84000100);

void Report(const FetchErrorSink& onError, const wchar_t* call, DWORD error) {
    if (onError)
        onError(call, error);
}

// A different agent text on every fetch ("Agent" + millisecond tick count).
std::wstring AgentText() {
    wchar_t agent[64] = {};
    swprintf(agent, 64, L"Agent%ld", static_cast<long>(timeGetTime()));
    return agent;
}

InternetHandle OpenSession(const FetchErrorSink& onError) {
    DWORD connection = 0;
    InternetGetConnectedState(&connection, 0);
    // Behind a proxy the configured one is used, auto-detection included;
    // otherwise the slow proxy auto-detection is skipped.
    DWORD access = (connection & INTERNET_CONNECTION_PROXY)
                       ? INTERNET_OPEN_TYPE_PRECONFIG
                       : INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
    InternetHandle session(InternetOpenW(AgentText().c_str(), access, nullptr, nullptr, 0));
    if (!session)
        Report(onError, L"InternetOpenW", GetLastError());
    return session;
}

bool HasHeader(HINTERNET request, DWORD query) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    DWORD index = 0;
    return HttpQueryInfoW(request, query, text, &size, &index) ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// The body length the server declared, if it declared one. A chunked body
// carries its own length, and a Content-Length beside it means nothing.
std::optional<std::uint64_t> DeclaredLength(HINTERNET request) {
    if (HasHeader(request, HTTP_QUERY_TRANSFER_ENCODING))
        return std::nullopt;
    wchar_t text[32] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index))
        return std::nullopt;
    return ParseContentLength(std::wstring_view(text, size / sizeof(wchar_t)));
}

// Copies the body block by block into the file. Returns false on a failed read,
// on a failed or short write (a full disk must not pass for a whole file) and
// once the body grows past `maxBytes` (0: no limit).
bool CopyBody(HINTERNET request, HANDLE file, std::uint64_t maxBytes, std::uint64_t& written,
              const FetchErrorSink& onError) {
    std::vector<char> buffer(kReadBlock + 1, 0);
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request, buffer.data(), kReadBlock, &read)) {
            Report(onError, L"InternetReadFile", GetLastError());
            return false;
        }
        if (read == 0)
            return true;
        DWORD stored = 0;
        if (!WriteFile(file, buffer.data(), read, &stored, nullptr) || stored != read) {
            DWORD error = GetLastError();
            Report(onError, L"WriteFile", error != ERROR_SUCCESS ? error : ERROR_DISK_FULL);
            return false;
        }
        written += stored;
        if (maxBytes != 0 && written > maxBytes) {
            Report(onError, L"InternetReadFile", ERROR_FILE_TOO_LARGE);
            return false;
        }
    }
}

DWORD StatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        &index))
        return 0; // not HTTP: no redirects either
    return status;
}

// The absolute address a redirect points to, resolved against the current one.
std::optional<std::wstring> RedirectTarget(HINTERNET request, const std::wstring& current) {
    std::vector<wchar_t> location(2048, L'\0');
    DWORD size = static_cast<DWORD>((location.size() - 1) * sizeof(wchar_t));
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location.data(), &size, &index))
        return std::nullopt;
    std::vector<wchar_t> combined(INTERNET_MAX_URL_LENGTH + 1, L'\0');
    DWORD length = static_cast<DWORD>(combined.size());
    if (!InternetCombineUrlW(current.c_str(), location.data(), combined.data(), &length,
                             ICU_NO_ENCODE))
        return std::nullopt;
    return std::wstring(combined.data(), length);
}

// Opens the URL and follows its redirects ourselves: WinINet would follow a
// redirect loop for ever.
InternetHandle OpenFollowingRedirects(HINTERNET session, std::wstring url,
                                      const FetchErrorSink& onError) {
    for (int redirects = 0;; ++redirects) {
        InternetHandle request(InternetOpenUrlW(session, url.c_str(), kRequestHeaders,
                                                kRequestHeadersLength,
                                                kOpenUrlFlags | INTERNET_FLAG_NO_AUTO_REDIRECT, 0));
        if (!request) {
            Report(onError, L"InternetOpenUrlW", GetLastError());
            return request;
        }
        if (!IsRedirectStatus(StatusCode(request.get())))
            return request;
        std::optional<std::wstring> target = RedirectTarget(request.get(), url);
        if (!target || redirects == kMaxRedirects) {
            Report(onError, L"InternetOpenUrlW", ERROR_HTTP_REDIRECT_FAILED);
            return InternetHandle();
        }
        url = std::move(*target);
    }
}

} // namespace

bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int FetchUrlToFile(const FetchRequest& fetch, const FetchErrorSink& onError) {
    InternetHandle session = OpenSession(onError);
    if (!session)
        return 0;
    InternetHandle request = OpenFollowingRedirects(session.get(), fetch.url, onError);
    if (!request)
        return 0;
    FileHandle file(CreateFileW(fetch.localPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Report(onError, L"CreateFileW", GetLastError());
        return 0;
    }
    std::uint64_t written = 0;
    if (!CopyBody(request.get(), file.get(), fetch.maxBytes, written, onError))
        return 0;
    // A connection closed before the declared length ends the body early without
    // a read error; the partial file must not pass for the whole one.
    std::optional<std::uint64_t> declared = DeclaredLength(request.get());
    if (declared && *declared != written) {
        Report(onError, L"InternetReadFile", ERROR_HANDLE_EOF);
        return 0;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) {
        Report(onError, L"GetFileSizeEx", GetLastError());
        return 0;
    }
    return size.QuadPart != 0 ? 1 : 0;
}

std::optional<std::uint64_t> ParseContentLength(std::wstring_view text) {
    auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        unsigned digit = static_cast<unsigned>(c - L'0');
        if (value > (kMax - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}
