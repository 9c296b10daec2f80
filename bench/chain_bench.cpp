// The download chain's own cost per item, for bench/chain_bench.py:
//   chain_bench ROOT_URL CATALOGUE SERVED WORK [--sizes 20,100] [--rounds N]
//               [--modes fetched,present]
// The real chain (DownloadChain, WorkQueue, DownloadReporter and CInstaller
// with the component checks, wired as the control wires them) runs batches of
// the catalogue's first N controls, fetched from the bank server at ROOT_URL
// or already present in the download folder, while this thread pumps the
// call-backs as the page's thread would. The reference in the same run does
// the same work by hand on one thread: a bare WinINet loop per file, then the
// same installer call with the same catalogue entry. Each round runs every
// size and mode once with both, in alternating order, and prints
//   run mode=M items=N round=R runner=chain seconds=S page_ms=P
//   run mode=M items=N round=R runner=reference seconds=S fetch_seconds=F
// A wrong answer (a call-back missing or out of order, an item not installed,
// a trace line missing, a file not where it belongs) prints "FAIL: ..." and
// exits 1. CATALOGUE is the catalogue text (UTF-8) whose "Control" items are
// the batch, SERVED the folder the server serves (for the present files and
// the comparison of the installed copy), WORK an empty folder for the data
// and client folders.
#include "bench/bare_fetch.h"
#include "common/com_types.h"
#include "common/files.h"
#include "common/handles.h"
#include "common/page_messages.h"
#include "common/text.h"
#include "config/catalogue.h"
#include "config/component_context.h"
#include "config/config_set.h"
#include "config/folder_chain.h"
#include "config/trace_log.h"
#include "config/xml_node.h"
#include "envcheck/component_checker.h"
#include "install/download_chain.h"
#include "install/download_reporter.h"
#include "install/http_fetch.h"
#include "install/installer.h"
#include "install/programs.h"
#include "install/internet_handle.h"
#include "install/work_queue.h"
#include "sysconfig/access_rights.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr UINT kTimeoutTimer = 1;
constexpr UINT kRunTimeoutMs = 10 * 60 * 1000;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::wstring& what) {
    throw Failure(ToCodePage(what, CP_UTF8));
}

double NowSeconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

class Stopwatch {
public:
    double Seconds() const { return NowSeconds() - start_; }

private:
    double start_ = NowSeconds();
};

// "12.34,5.67,...": each item's time in milliseconds.
std::wstring ItemTimes(const std::vector<double>& seconds) {
    std::wstring text;
    for (double s : seconds)
        text += FormatW(text.empty() ? L"%.3f" : L",%.3f", s * 1000);
    return text;
}

// The trace log as the control has it, and every line kept for the checks.
class KeptTrace final : public TraceSink {
public:
    explicit KeptTrace(const SettingsPaths& paths) : log_(TraceLog::ForPaths(paths)) {}
    void Write(const std::wstring& text, int level = 1) const override {
        log_.Write(text, level);
        std::lock_guard guard(lock_);
        lines_.push_back(text);
    }
    std::vector<std::wstring> Take() {
        std::lock_guard guard(lock_);
        return std::exchange(lines_, {});
    }

private:
    TraceLog log_;
    mutable std::mutex lock_;
    mutable std::vector<std::wstring> lines_;
};

// The call-backs as the page's thread receives them.
struct Callback {
    UINT message;
    int wParam;
    int lParam;
    bool operator==(const Callback&) const = default;
};

std::wstring Describe(const Callback& c) {
    return FormatW(L"0x%04X(%d,%d)", c.message, c.wParam, c.lParam);
}

std::vector<Callback> g_received;
std::vector<double> g_receivedAt; // NowSeconds() of each

LRESULT CALLBACK PageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= VeyrantMessage::kDownloadCompleted &&
        message <= VeyrantMessage::kAllInstallsCompleted) {
        g_received.push_back(
            {message, static_cast<int>(wParam), static_cast<int>(static_cast<INT_PTR>(lParam))});
        g_receivedAt.push_back(NowSeconds());
        return 0;
    }
    if (message == WM_TIMER && wParam == kTimeoutTimer) {
        PostQuitMessage(1);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakePageWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PageWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ChainBenchPage";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, L"ChainBenchPage", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

// Pumps until the unit's "all installs completed" arrived; false on time-out.
bool PumpUntilUnitEnds(HWND window) {
    SetTimer(window, kTimeoutTimer, kRunTimeoutMs, nullptr);
    MSG message;
    bool ended = false;
    while (!ended && GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
        ended = !g_received.empty() &&
                g_received.back().message == VeyrantMessage::kAllInstallsCompleted;
    }
    KillTimer(window, kTimeoutTimer);
    return ended;
}

// The session every fetch of the control opens: its access type follows the
// connection state, which the fetch asks for first (under Wine that question
// alone costs more than a small file's transfer, so it is timed apart).
HINTERNET OpenFetchSession(double& stateSeconds) {
    Stopwatch state;
    DWORD connection = 0;
    InternetGetConnectedState(&connection, 0);
    stateSeconds += state.Seconds();
    const DWORD access = (connection & INTERNET_CONNECTION_PROXY)
                             ? INTERNET_OPEN_TYPE_PRECONFIG
                             : INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
    return InternetOpenW(L"chain_bench", access, nullptr, nullptr, 0);
}

// That session, InternetOpenUrl, then InternetReadFile and WriteFile until
// the end: nothing else (the fetch benchmark's bare loop).
bool BareFetch(const std::wstring& url, const std::wstring& path, double& stateSeconds) {
    InternetHandle session(OpenFetchSession(stateSeconds));
    if (!session)
        return false;
    return BareFetchOn(session.get(), url, path);
}

std::wstring Backslashed(const std::wstring& url) {
    return ReplaceAll(url, L"/", L"\\");
}

std::wstring WithBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

std::string ReadAll(const std::wstring& path) {
    std::optional<std::string> bytes = ReadWholeDiskFile(path, FILE_SHARE_READ, 1ull << 30);
    if (!bytes)
        Fail(L"cannot read " + path);
    return *bytes;
}

enum class Mode { Fetched, Present };

const wchar_t* NameOf(Mode mode) {
    return mode == Mode::Fetched ? L"fetched" : L"present";
}

struct Item {
    int id;
    std::wstring url;     // relative to the root URL and the download folder
    std::wstring name;    // the file's name
    const XmlNode* entry; // in the bench's catalogue snapshot
};

// The control's components for the download chain, wired as CDownLoadEngine
// wires them, with this thread as the page's.
class ChainRig {
public:
    ChainRig(const std::wstring& rootUrl, const std::wstring& work, const std::wstring& catalogue,
             HWND page)
        : paths_(SettingsPaths::ForDataFolder(work + L"data\\")), clientFolder_(work + L"client\\"),
          trace_(paths_), context_(MakeContext(rootUrl, page)),
          catalogue_(texts_, [] { return std::wstring(L"chs"); }),
          checks_(context_, catalogue_.Source()),
          installFolders_(InstallFolders::OfThisSystem(clientFolder_, paths_.dataFolder)),
          installerSetup_(MakeInstallerSetup()), queue_(trace_), reporter_(context_.post, trace_),
          chain_(context_, queue_, reporter_, catalogue_.Source(), [this](const ItemWork& work) {
              return CInstaller(installerSetup_).InstallItem(work);
          }) {
        CreateFolderChain(clientFolder_);
        CreateFolderChain(paths_.appDownloadFolder);
        texts_.Set(ConfigText::Chinese, catalogue);
    }
    ~ChainRig() { queue_.Close(); }

    DownloadChain& Chain() { return chain_; }
    KeptTrace& Trace() { return trace_; }
    const SettingsPaths& Paths() const { return paths_; }
    const std::wstring& ClientFolder() const { return clientFolder_; }
    const std::wstring& RootUrl() const { return context_.rootUrl; }
    CatalogueSnapshot Catalogue() const { return catalogue_.Current(); }
    InstallOutcome Install(const ItemWork& work) const {
        return CInstaller(installerSetup_).InstallItem(work);
    }

private:
    ComponentContext MakeContext(const std::wstring& rootUrl, HWND page) {
        ComponentContext context;
        context.paths = paths_;
        context.rootUrl = rootUrl;
        context.clientFolder = clientFolder_;
        context.trace = &trace_;
        context.texts = &texts_;
        context.language = [] { return std::wstring(L"chs"); };
        context.post = [page](UINT message, WPARAM wParam, LPARAM lParam) {
            PostMessageW(page, message, wParam, lParam);
        };
        context.fetch = [this](const FetchRequest& request) {
            return FetchUrlToFile(request, [&](const wchar_t* call, DWORD error) {
                trace_.Write(FormatW(L"失败事件：%ls 错误值：%lu ", call, error) + request.url);
            });
        };
        return context;
    }

    InstallerSetup MakeInstallerSetup() {
        InstallerSetup setup;
        setup.paths = paths_;
        setup.folders = DestinationFolders::OfThisSystem(installFolders_);
        setup.cabinetFolders =
            CabinetFolders{installFolders_.systemFolder, installFolders_.windowsFolder};
        setup.trace = &trace_;
        setup.services.controlStatus = [this](const XmlNode* catalogue, int id) {
            return checks_.CheckControlStatus(catalogue, id);
        };
        setup.services.applicationStatus = [this](const XmlNode* catalogue, int id) {
            return checks_.CheckApplicationStatus(catalogue, id);
        };
        setup.services.applyBrowserSetting = [](const XmlNode*, int) {};
        setup.services.installRootCert = [](const XmlNode*, int) { return false; };
        setup.services.addAccessRights = AddAccessRights;
        return setup;
    }

    const SettingsPaths paths_;
    const std::wstring clientFolder_;
    KeptTrace trace_;
    ConfigurationTexts texts_;
    const ComponentContext context_;
    CatalogueCache catalogue_;
    ComponentChecker checks_;
    const InstallFolders installFolders_;
    const InstallerSetup installerSetup_;
    WorkQueue queue_;
    DownloadReporter reporter_;
    DownloadChain chain_;
};

class Bench {
public:
    Bench(ChainRig& rig, HWND page, std::wstring served)
        : rig_(rig), page_(page), served_(WithBackslash(std::move(served))),
          catalogue_(rig.Catalogue()) {
        const XmlNode* controls = catalogue_ ? catalogue_->FindChild(L"Control") : nullptr;
        if (!controls || controls->ChildCount() == 0)
            Fail(L"the catalogue lists no controls");
        for (const auto& entry : controls->Children()) {
            const std::wstring url = entry->GetAttribute(L"url", L"");
            items_.push_back({entry->GetIntAttribute(L"id", 0), url, FileNamePart(Backslashed(url)),
                              entry.get()});
        }
    }

    size_t Available() const { return items_.size(); }

    void Chain(Mode mode, size_t count, int round, bool report) {
        Prepare(mode, count);
        std::wstring list = L"<list>";
        for (size_t i = 0; i < count; ++i)
            list += FormatW(L"<item id=\"%d\"/>", items_[i].id);
        list += L"</list>";
        g_received.clear();
        g_receivedAt.clear();
        const double started = NowSeconds();
        Stopwatch run;
        if (rig_.Chain().EBankDownLoad(list) != 1)
            Fail(L"EBankDownLoad refused the list");
        const double pageSeconds = run.Seconds();
        if (!PumpUntilUnitEnds(page_))
            Fail(FormatW(L"the chain's batch of %zu did not end", count));
        const double seconds = run.Seconds();
        CheckCallbacks(count);
        CheckTrace(mode, count);
        CheckFilesInPlace(count);
        // An item's time as the page sees it: from the end of the one before
        // (the call, for the first) to its installed call-back.
        std::vector<double> itemSeconds;
        double previous = started;
        for (size_t i = 0; i < g_received.size(); ++i) {
            if (g_received[i].message == VeyrantMessage::kInstalledCompleted) {
                itemSeconds.push_back(g_receivedAt[i] - previous);
                previous = g_receivedAt[i];
            }
        }
        if (report)
            wprintf(L"run mode=%ls items=%zu round=%d runner=chain seconds=%.6f page_ms=%.3f "
                    L"item_ms=%ls\n",
                    NameOf(mode), count, round, seconds, pageSeconds * 1000,
                    ItemTimes(itemSeconds).c_str());
    }

    void Reference(Mode mode, size_t count, int round, bool report) {
        Prepare(mode, count);
        double fetchSeconds = 0, stateSeconds = 0;
        std::vector<double> itemSeconds;
        Stopwatch run;
        for (size_t i = 0; i < count; ++i) {
            const Item& item = items_[i];
            Stopwatch itemRun;
            if (mode == Mode::Fetched) {
                Stopwatch fetch;
                if (!BareFetch(rig_.RootUrl() + item.url, DownloadPath(item), stateSeconds))
                    Fail(L"the bare loop could not fetch " + item.url);
                fetchSeconds += fetch.Seconds();
            }
            if (rig_.Install(ItemWork{item.id, catalogue_, item.entry}) !=
                InstallOutcome::Installed)
                Fail(FormatW(L"the reference did not install %d", item.id));
            itemSeconds.push_back(itemRun.Seconds());
        }
        const double seconds = run.Seconds();
        rig_.Trace().Take();
        CheckFilesInPlace(count);
        if (report)
            wprintf(L"run mode=%ls items=%zu round=%d runner=reference seconds=%.6f "
                    L"fetch_seconds=%.6f state_seconds=%.6f item_ms=%ls\n",
                    NameOf(mode), count, round, seconds, fetchSeconds, stateSeconds,
                    ItemTimes(itemSeconds).c_str());
    }

private:
    std::wstring DownloadPath(const Item& item) const {
        return rig_.Paths().appDownloadFolder + Backslashed(item.url);
    }

    // Nothing of an earlier run in the download folder, or (present) every
    // file of the batch already there; the trace kept so far dropped.
    void Prepare(Mode mode, size_t count) {
        for (const Item& item : items_) {
            const std::wstring path = DownloadPath(item);
            CreateFolderChain(path);
            DeleteFileW(path.c_str());
        }
        if (mode == Mode::Present) {
            for (size_t i = 0; i < count; ++i) {
                if (!CopyFileW((served_ + Backslashed(items_[i].url)).c_str(),
                               DownloadPath(items_[i]).c_str(), FALSE))
                    Fail(L"cannot place " + items_[i].url);
            }
        }
        rig_.Trace().Take();
    }

    // Each item downloaded, then installed; all downloads completed after the
    // last download, all installs completed at the end.
    void CheckCallbacks(size_t count) const {
        std::vector<Callback> expected;
        for (size_t i = 0; i < count; ++i) {
            expected.push_back({VeyrantMessage::kDownloadCompleted, items_[i].id, -1});
            if (i + 1 == count)
                expected.push_back({VeyrantMessage::kAllDownloadsCompleted, 0, 0});
            expected.push_back({VeyrantMessage::kInstalledCompleted, items_[i].id, -1});
        }
        expected.push_back({VeyrantMessage::kAllInstallsCompleted, 0, 0});
        if (g_received == expected)
            return;
        size_t at = 0;
        while (at < expected.size() && at < g_received.size() && expected[at] == g_received[at])
            ++at;
        Fail(FormatW(L"call-back %zu of %zu: got %ls, expected %ls", at, expected.size(),
                     at < g_received.size() ? Describe(g_received[at]).c_str() : L"nothing",
                     at < expected.size() ? Describe(expected[at]).c_str() : L"nothing"));
    }

    // Every item's own lines: found or fetched and verified, then installed.
    void CheckTrace(Mode mode, size_t count) {
        const std::vector<std::wstring> lines = rig_.Trace().Take();
        for (size_t i = 0; i < count; ++i) {
            const int id = items_[i].id;
            std::vector<std::wstring> wanted = {FormatW(L"文件号：%d 检测事件：安装成功", id)};
            if (mode == Mode::Present) {
                wanted.push_back(FormatW(L"成功事件：文件号：%d 文件存在且校验成功", id));
            } else {
                wanted.push_back(FormatW(L"文件号：%d 成功事件：下载成功", id));
                wanted.push_back(FormatW(L"文件号：%d 成功事件：完整性校验成功", id));
            }
            for (const std::wstring& line : wanted) {
                if (std::count(lines.begin(), lines.end(), line) != 1)
                    Fail(L"the trace does not hold once: " + line);
            }
        }
    }

    // The installer moves each control out of the download folder and removes
    // the one before it: only the batch's last control stays, a copy of the
    // served file, in the client folder.
    void CheckFilesInPlace(size_t count) const {
        for (size_t i = 0; i < count; ++i) {
            if (IsExistingFile(DownloadPath(items_[i])))
                Fail(L"still in the download folder: " + items_[i].url);
        }
        for (const std::wstring& name : FilesIn(rig_.Paths().appDownloadFolder + L"controls\\")) {
            if (name.ends_with(L".part"))
                Fail(L"a part file was left behind: " + name);
        }
        const Item& last = items_[count - 1];
        const std::wstring installed = rig_.ClientFolder() + last.name;
        if (ReadAll(installed) != ReadAll(served_ + Backslashed(last.url)))
            Fail(L"the installed copy differs from the served file: " + installed);
        for (size_t i = 0; i + 1 < count; ++i) {
            if (IsExistingFile(rig_.ClientFolder() + items_[i].name))
                Fail(L"an old control was not removed: " + items_[i].name);
        }
    }

public:
    // The last control installed leaves the prefix's registry and the client folder.
    void RemoveInstalled() const {
        for (const Item& item : items_) {
            const std::wstring path = rig_.ClientFolder() + item.name;
            if (IsExistingFile(path)) {
                UnregisterServerDll(path);
                DeleteFileW(path.c_str());
            }
        }
    }

private:
    ChainRig& rig_;
    HWND page_;
    const std::wstring served_;
    const CatalogueSnapshot catalogue_;
    std::vector<Item> items_;
};

std::vector<size_t> ParseSizes(const wchar_t* text) {
    std::vector<size_t> sizes;
    for (const wchar_t* at = text; *at;) {
        wchar_t* end = nullptr;
        unsigned long size = std::wcstoul(at, &end, 10);
        if (end == at || size == 0)
            Fail(L"bad --sizes");
        sizes.push_back(size);
        at = *end == L',' ? end + 1 : end;
    }
    return sizes;
}

std::vector<Mode> ParseModes(const std::wstring& text) {
    std::vector<Mode> modes;
    if (text.find(L"fetched") != std::wstring::npos)
        modes.push_back(Mode::Fetched);
    if (text.find(L"present") != std::wstring::npos)
        modes.push_back(Mode::Present);
    if (modes.empty())
        Fail(L"bad --modes");
    return modes;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 5) {
        fwprintf(stderr, L"usage: chain_bench ROOT_URL CATALOGUE SERVED WORK [--sizes 20,100] "
                         L"[--rounds N] [--modes fetched,present]\n");
        return 2;
    }
    std::vector<size_t> sizes = {20, 100};
    int rounds = 5;
    std::vector<Mode> modes = {Mode::Fetched, Mode::Present};
    for (int i = 5; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--sizes")
            sizes = ParseSizes(argv[i + 1]);
        else if (option == L"--rounds")
            rounds = std::max(1, _wtoi(argv[i + 1]));
        else if (option == L"--modes")
            modes = ParseModes(argv[i + 1]);
    }
    ComApartment apartment(COINIT_APARTMENTTHREADED); // the page's thread is an STA
    HWND page = MakePageWindow();
    if (!page)
        Fail(L"no message window");
    const std::string catalogue = ReadAll(argv[2]);
    ChainRig rig(argv[1], WithBackslash(argv[4]), FromCodePage(catalogue, CP_UTF8), page);
    Bench bench(rig, page, argv[3]);
    if (*std::max_element(sizes.begin(), sizes.end()) > bench.Available())
        Fail(FormatW(L"the catalogue lists only %zu controls", bench.Available()));
    // Warm-up: the libraries, WinINet's connection and the first registration.
    bench.Chain(Mode::Fetched, sizes.front(), -1, false);
    bench.Reference(Mode::Fetched, sizes.front(), -1, false);
    for (int round = 0; round < rounds; ++round) {
        for (size_t size : sizes) {
            for (Mode mode : modes) {
                if (round % 2 == 0) {
                    bench.Chain(mode, size, round, true);
                    bench.Reference(mode, size, round, true);
                } else {
                    bench.Reference(mode, size, round, true);
                    bench.Chain(mode, size, round, true);
                }
                fflush(stdout);
            }
        }
    }
    bench.RemoveInstalled();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failure& failure) {
        printf("FAIL: %s\n", failure.what());
        return 1;
    }
}
