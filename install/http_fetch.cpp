#include "install/http_fetch.h"

#include "common/handles.h"
#include "install/internet_handle.h"

#include <mmsystem.h>
#include <wininet.h>

#include <atomic>
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

InternetHandle OpenSession(std::optional<std::uint32_t> connectionFlags,
                           const FetchErrorSink& onError) {
    const DWORD connection = connectionFlags ? *connectionFlags : ConnectionFlags();
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

// The body's file while it arrives: a name of its own beside the target, so a
// failed fetch never touches the target and two fetches of one target never
// share it. Deleted when it goes out of scope unless moved into place.
class PartFile {
public:
    explicit PartFile(const std::wstring& target) : target_(target), path_(PartNameFor(target)) {}
    ~PartFile() {
        file_.reset();
        if (!moved_)
            DeleteFileW(path_.c_str());
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    [[nodiscard]] bool Create(const FetchErrorSink& onError) {
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_)
            Report(onError, L"CreateFileW", GetLastError());
        return static_cast<bool>(file_);
    }
    HANDLE get() const { return file_.get(); }
    void Close() { file_.reset(); }
    // Moves the closed file over the target, replacing it.
    [[nodiscard]] bool MoveIntoPlace(const FetchErrorSink& onError) {
        moved_ = MoveFileExW(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        if (!moved_)
            Report(onError, L"MoveFileExW", GetLastError());
        return moved_;
    }

private:
    static std::wstring PartNameFor(const std::wstring& target) {
        static std::atomic<unsigned long> counter{0};
        wchar_t suffix[40] = {};
        swprintf(suffix, 40, L".%lx-%lx.part", GetCurrentProcessId(), ++counter);
        return target + suffix;
    }

    std::wstring target_;
    std::wstring path_;
    FileHandle file_;
    bool moved_ = false;
};

// Copies the body block by block into the file, showing each stored block to
// `observe`. Returns false on a failed read, on a failed or short write (a
// full disk must not pass for a whole file) and on a block that would take
// the body past `maxBytes` (0: no limit), which is never written.
bool CopyBody(HINTERNET request, HANDLE file, const FetchRequest& fetch, std::uint64_t& written,
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
        if (fetch.maxBytes != 0 && read > fetch.maxBytes - written) {
            Report(onError, L"InternetReadFile", ERROR_FILE_TOO_LARGE);
            return false;
        }
        DWORD stored = 0;
        if (!WriteFile(file, buffer.data(), read, &stored, nullptr) || stored != read) {
            DWORD error = GetLastError();
            Report(onError, L"WriteFile", error != ERROR_SUCCESS ? error : ERROR_DISK_FULL);
            return false;
        }
        written += stored;
        if (fetch.observe)
            fetch.observe(buffer.data(), stored);
    }
}

// Whether the body read into the file is whole: a connection closed before
// the declared length ends the body early without a read error.
bool IsWholeBody(HINTERNET request, std::uint64_t written, const FetchErrorSink& onError) {
    std::optional<std::uint64_t> declared = DeclaredLength(request);
    if (declared && *declared != written) {
        Report(onError, L"InternetReadFile", ERROR_HANDLE_EOF);
        return false;
    }
    return true;
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
    InternetHandle session = OpenSession(fetch.connectionFlags, onError);
    if (!session)
        return 0;
    InternetHandle request = OpenFollowingRedirects(session.get(), fetch.url, onError);
    if (!request)
        return 0;
    PartFile part(fetch.localPath);
    if (!part.Create(onError))
        return 0;
    std::uint64_t written = 0;
    if (!CopyBody(request.get(), part.get(), fetch, written, onError) ||
        !IsWholeBody(request.get(), written, onError) || written == 0)
        return 0;
    part.Close();
    if (fetch.accept && !fetch.accept())
        return 0;
    return part.MoveIntoPlace(onError) ? 1 : 0;
}

std::uint32_t ConnectionFlags() {
    DWORD connection = 0;
    InternetGetConnectedState(&connection, 0);
    return connection;
}

FetchFunction WithConnectionFlags(FetchFunction fetch, std::uint32_t flags) {
    return [fetch = std::move(fetch), flags](const FetchRequest& request) {
        FetchRequest given = request;
        given.connectionFlags = flags;
        return fetch(given);
    };
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
