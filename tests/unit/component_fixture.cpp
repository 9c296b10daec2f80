#include "tests/unit/component_fixture.h"

#include "common/text.h"

namespace {

std::wstring Numbers(const wchar_t* what, const Posted& posted) {
    return FormatW(L"%ls %d %d", what, posted.wParam, posted.lParam);
}

} // namespace

std::ostream& operator<<(std::ostream& out, const Posted& posted) {
    return out << "(" << posted.message << "," << posted.wParam << "," << posted.lParam << ")";
}

std::wstring Described(const Posted& posted) {
    switch (posted.message) {
    case VeyrantMessage::kDownloadCompleted:
        return Numbers(L"downloaded", posted);
    case VeyrantMessage::kInstalledCompleted:
        return Numbers(L"installed", posted);
    case VeyrantMessage::kAllDownloadsCompleted:
        return L"all downloaded";
    case VeyrantMessage::kAllInstallsCompleted:
        return L"all installed";
    case VeyrantMessage::kUpdateResult:
        return FormatW(L"update %d", posted.wParam);
    case VeyrantMessage::kSelfUpdateError:
        return FormatW(L"self-update error %d", posted.wParam);
    default:
        return FormatW(L"message %u %d %d", posted.message, posted.wParam, posted.lParam);
    }
}

PagePoster MessageRecorder::Poster() {
    return [this](UINT message, WPARAM wParam, LPARAM lParam) {
        std::lock_guard guard(lock_);
        posted_.push_back(Posted{message, static_cast<int>(wParam), static_cast<int>(lParam)});
        changed_.notify_all();
    };
}

std::vector<Posted> MessageRecorder::All() const {
    std::lock_guard guard(lock_);
    return posted_;
}

std::vector<std::wstring> MessageRecorder::Texts() const {
    std::vector<std::wstring> texts;
    for (const Posted& posted : All())
        texts.push_back(Described(posted));
    return texts;
}

size_t MessageRecorder::Count(UINT message) const {
    std::lock_guard guard(lock_);
    size_t count = 0;
    for (const Posted& posted : posted_)
        count += posted.message == message ? 1 : 0;
    return count;
}

void MessageRecorder::Clear() {
    std::lock_guard guard(lock_);
    posted_.clear();
}

std::vector<std::wstring> MessageRecorder::WaitFor(UINT message, size_t count) const {
    WaitUntil([&](const std::vector<Posted>& all) {
        size_t seen = 0;
        for (const Posted& posted : all)
            seen += posted.message == message ? 1 : 0;
        return seen >= count;
    });
    return Texts();
}

bool MessageRecorder::WaitUntil(const std::function<bool(const std::vector<Posted>&)>& done) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::minutes(1), [&] { return done(posted_); });
}

ComponentFixture::ComponentFixture() : clientFolder(dir / L"client\\") {
    CreateDirectoryW(clientFolder.c_str(), nullptr);
}

ComponentContext ComponentFixture::MakeContext() {
    ComponentContext context;
    context.paths = SettingsPaths::ForDataFolder(dir.path());
    context.rootUrl = rootUrl;
    context.clientFolder = clientFolder;
    context.key = key;
    context.signatures = signatures;
    context.trace = &trace;
    context.texts = &texts;
    context.language = [this] { return language; };
    context.post = posted.Poster();
    context.fetch = server.Fetcher();
    return context;
}
