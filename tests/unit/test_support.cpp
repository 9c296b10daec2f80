#include "tests/unit/test_support.h"

#include "common/text.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempFolder::TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    for (;;) {
        path_ = FormatW(L"%lstovral-unit-%lu-%u\\", temp, GetCurrentProcessId(), ++counter);
        if (CreateDirectoryW(path_.c_str(), nullptr))
            return;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create a temporary folder");
    }
}

TempFolder::~TempFolder() {
    std::wstring from = path_.substr(0, path_.size() - 1);
    from.push_back(L'\0'); // SHFileOperation takes a double-NUL-terminated list
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring WinePathOf(const std::string& unixPath) {
    return ReplaceAll(L"Z:" + FromCodePage(unixPath, CP_UTF8), L"/", L"\\");
}

std::wstring SourcePath(const std::wstring& relative) {
    return WinePathOf(TOVRAL_SOURCE_DIR "/" + ToCodePage(relative, CP_UTF8));
}

std::wstring BuildPath(const std::wstring& relative) {
    return WinePathOf(TOVRAL_BINARY_DIR "/" + ToCodePage(relative, CP_UTF8));
}

bool RecordingTraceSink::Contains(const std::wstring& line) const {
    for (const std::wstring& written : Lines()) {
        if (written == line)
            return true;
    }
    return false;
}

void FakeBankServer::Serve(const std::wstring& url, const std::string& body) {
    std::lock_guard guard(lock_);
    bodies_[url] = body;
}

void FakeBankServer::Forget(const std::wstring& url) {
    std::lock_guard guard(lock_);
    bodies_.erase(url);
}

std::string FakeBankServer::Body(const std::wstring& url) const {
    std::lock_guard guard(lock_);
    auto body = bodies_.find(url);
    return body == bodies_.end() ? std::string() : body->second;
}

std::vector<std::wstring> FakeBankServer::Requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

namespace {

// What the real fetch does with a body once it has it: the size cap, the
// observer in blocks, the acceptance, then the body moved over the target
// from a file beside it; on any failure the target stays as it was.
int StoreFetchedBody(const FetchRequest& request, const std::string& body) {
    if (body.empty() || (request.maxBytes != 0 && body.size() > request.maxBytes))
        return 0;
    const std::wstring part = request.localPath + L".fake.part";
    struct RemoveOnExit {
        const std::wstring& path;
        ~RemoveOnExit() { DeleteFileW(path.c_str()); }
    } removePart{part};
    WriteBytes(part, body);
    if (ReadBytes(part) != body)
        return 0; // folder missing or the file could not be written
    constexpr size_t kBlock = 16384;
    for (size_t at = 0; request.observe && at < body.size(); at += kBlock)
        request.observe(body.data() + at, std::min(kBlock, body.size() - at));
    if (request.accept && !request.accept())
        return 0;
    return MoveFileExW(part.c_str(), request.localPath.c_str(), MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

} // namespace

FetchFunction FakeBankServer::Fetcher() {
    return [this](const FetchRequest& request) {
        std::string body;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request.url);
            mostAtOnce_ = std::max(mostAtOnce_, ++inProgress_);
            auto served = bodies_.find(request.url);
            if (served != bodies_.end())
                body = served->second;
        }
        struct EndOnExit {
            FakeBankServer& server;
            ~EndOnExit() {
                std::lock_guard guard(server.lock_);
                --server.inProgress_;
            }
        } end{*this};
        return body.empty() ? 0 : StoreFetchedBody(request, body);
    };
}

int FakeBankServer::MostAtOnce() const {
    std::lock_guard guard(lock_);
    return mostAtOnce_;
}
