// Timed rounds of the update check for bench/update_bench.py:
//   update_bench --data DIR --client DIR --root URL --scratch DIR
//                --policy off|required --scenario fetch|current --rounds N URL...
// Each round runs, in an order that alternates, the product's update check
// (UpdateChecker::RunQueryUpdate with the real WinINet fetch, the settings
// folder under DIR) and a bare WinINet fetch of the given URLs (the files the
// check fetches) into the scratch folder. One checker runs every check, as
// the control's one engine does for each QueryUpdate of a page. "fetch"
// empties the settings folder before every round, so the check fetches the
// whole configuration set; "current" fills it once, untimed, so the check
// finds everything current (its first round reads every file, the later
// ones find them as the check before left them).
// Prints one line per round (times and the check's code), then the SHA-256 of
// each decrypted configuration text (as UTF-8), for the driver to judge.
#include "bench/bare_fetch.h"
#include "common/com_types.h"
#include "common/handles.h"
#include "common/text.h"
#include "config/component_context.h"
#include "crypto/sha256.h"
#include "install/http_fetch.h"
#include "install/install_locations.h"
#include "install/internet_handle.h"
#include "install/update_check.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// InternetOpen, InternetOpenUrl, then InternetReadFile and WriteFile until the
// end, with FetchUrlToFile's cache flags and a session per file as it has.
bool BareFetch(const std::wstring& url, const std::wstring& path) {
    InternetHandle session(
        InternetOpenW(L"update_bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session)
        return false;
    return BareFetchOn(session.get(), url, path);
}

// Keeps the check's lines, printed only when its answer is wrong.
class KeptTrace final : public TraceSink {
public:
    void Write(const std::wstring& text, int = 1) const override {
        std::lock_guard guard(lock_);
        lines_.push_back(text);
    }
    void Print() const {
        std::lock_guard guard(lock_);
        // As UTF-8 bytes: the console's code page would lose the Chinese texts.
        for (const std::wstring& line : lines_)
            fprintf(stderr, "trace: %s\n", ToCodePage(line, CP_UTF8).c_str());
    }
    void Clear() const {
        std::lock_guard guard(lock_);
        lines_.clear();
    }

private:
    mutable std::mutex lock_;
    mutable std::vector<std::wstring> lines_;
};

struct Options {
    std::wstring data, client, root, scratch;
    bool required = false;
    bool fetchScenario = true;
    int rounds = 5;
    std::vector<std::wstring> bareUrls;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    std::map<std::wstring, std::wstring> named;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg.rfind(L"--", 0) == 0 && i + 1 < argc)
            named[arg] = argv[++i];
        else
            options.bareUrls.push_back(arg);
    }
    options.data = named[L"--data"];
    options.client = named[L"--client"];
    options.root = named[L"--root"];
    options.scratch = named[L"--scratch"];
    options.required = named[L"--policy"] == L"required";
    options.fetchScenario = named[L"--scenario"] != L"current";
    if (!named[L"--rounds"].empty())
        options.rounds = _wtoi(named[L"--rounds"].c_str());
    return !options.data.empty() && !options.client.empty() && !options.root.empty() &&
           !options.scratch.empty() && !options.bareUrls.empty() && options.rounds > 0;
}

std::wstring WithBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

// Every file of a folder (not its subfolders), so a round starts from an empty PC.
void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

class Bench {
public:
    explicit Bench(const Options& options) : options_(options) {
        context_.paths = SettingsPaths::ForDataFolder(WithBackslash(options.data));
        context_.rootUrl = options.root.back() == L'/' ? options.root : options.root + L'/';
        context_.clientFolder = WithBackslash(options.client);
        context_.key = BuiltInPublicKey();
        context_.signatures =
            SignatureCheck{options.required ? SignaturePolicy::Required : SignaturePolicy::Off,
                           BuiltInSigningKey()};
        context_.trace = &trace_;
        context_.texts = &texts_;
        context_.language = [] { return std::wstring(L"chs"); };
        context_.post = [](UINT, WPARAM, LPARAM) {};
        context_.fetch = [](const FetchRequest& request) { return FetchUrlToFile(request); };
        checker_.emplace(context_, InstallFolders::OfThisSystem(context_.clientFolder,
                                                                context_.paths.dataFolder));
    }

    // One check, as a page's QueryUpdate runs it: (code, seconds).
    std::pair<int, double> TimedCheck() {
        trace_.Clear();
        const double start = Now();
        const int code = checker_->RunQueryUpdate();
        return {code, Now() - start};
    }

    // The bare fetch of every URL: seconds, or a negative number when one failed.
    double TimedBareFetch() {
        const double start = Now();
        for (size_t i = 0; i < options_.bareUrls.size(); ++i) {
            const std::wstring target = WithBackslash(options_.scratch) + FormatW(L"bare%zu", i);
            if (!BareFetch(options_.bareUrls[i], target))
                return -1;
        }
        return Now() - start;
    }

    void EmptySettings() {
        EmptyFolder(context_.paths.settingsFolder);
        EmptyFolder(context_.paths.selfUpdateFolder);
    }

    int Run() {
        if (!options_.fetchScenario) {
            EmptySettings();
            if (int code = TimedCheck().first; code != UpdateCode::kCompleted)
                return Fail(L"filling the settings folder", code);
        }
        for (int round = 0; round < options_.rounds; ++round) {
            if (options_.fetchScenario)
                EmptySettings();
            const bool checkFirst = round % 2 == 0;
            double bare = checkFirst ? 0 : TimedBareFetch();
            auto [code, seconds] = TimedCheck();
            if (checkFirst)
                bare = TimedBareFetch();
            wprintf(L"round=%d first=%ls check_seconds=%.6f bare_seconds=%.6f code=%d\n", round,
                    checkFirst ? L"check" : L"bare", seconds, bare, code);
            if (code != UpdateCode::kCompleted)
                return Fail(L"a timed check", code);
            if (bare < 0) {
                fwprintf(stderr, L"the bare fetch failed\n");
                return 1;
            }
        }
        for (int which = 0; which < 5; ++which) {
            const std::string text =
                ToCodePage(texts_.Get(static_cast<ConfigText>(which)), CP_UTF8);
            std::optional<Sha256Digest> digest = Sha256Of(text);
            wprintf(L"text which=%d bytes=%zu sha256=%ls\n", which, text.size(),
                    digest ? Sha256Text(*digest).c_str() : L"none");
        }
        return 0;
    }

private:
    int Fail(const wchar_t* what, int code) const {
        fwprintf(stderr, L"%ls: the check answered %d, not %d\n", what, code,
                 UpdateCode::kCompleted);
        trace_.Print();
        return 1;
    }

    const Options& options_;
    KeptTrace trace_;
    ConfigurationTexts texts_;
    ComponentContext context_;
    std::optional<UpdateChecker> checker_; // made once the context is complete
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fwprintf(stderr, L"usage: update_bench --data DIR --client DIR --root URL --scratch DIR "
                         L"--policy off|required --scenario fetch|current --rounds N URL...\n");
        return 2;
    }
    // The check's worker joins a single-threaded apartment; so does this thread.
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (!apartment.usable())
        return 1;
    return Bench(options).Run();
}
