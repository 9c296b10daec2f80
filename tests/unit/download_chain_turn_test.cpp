// The download chain's turn: one item at a time however the page calls, and
// a chain that stays free when a worker or installer fails. Through its seams:
// a catalogue text in memory, a fetch that writes files (and can be held), an
// installer that reports as the real one does, and a recorder of the posts.
#include "install/download_chain.h"

#include "common/text.h"
#include "crypto/checksum.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

namespace {

const std::string kControl = "MZ control bytes";
const std::string kApplication = "MZ installer bytes";

std::wstring Checksum(const std::string& bytes) {
    return ChecksumText(Crc32Update(0, bytes));
}

std::wstring Catalogue() {
    return L"<Utility><Control><item id=\"1001\" url=\"controls/a.dll\" mac=\"" +
           Checksum(kControl) +
           L"\"/></Control><Application><item id=\"4001\" url=\"apps/b.exe\" mac=\"" +
           Checksum(kApplication) + L"\"/></Application></Utility>";
}

class ChainTurn : public testing::Test {
protected:
    ChainTurn() {
        context_.paths = SettingsPaths::ForDataFolder(dir_.path());
        context_.rootUrl = L"http://bank.test/";
        context_.trace = &trace_;
        context_.texts = &texts_;
        context_.language = [] { return std::wstring(L"chs"); };
        context_.post = [this](UINT message, WPARAM wParam, LPARAM lParam) {
            Record(message, static_cast<int>(wParam), static_cast<int>(lParam));
        };
        context_.fetch = [this](const FetchRequest& request) { return Fetch(request); };
        texts_.Set(ConfigText::Chinese, Catalogue());
    }
    ~ChainTurn() override { WaitUntilIdle(); }

    // Made on first use, so that a test can change the texts before.
    DownloadChain& chain() {
        if (!chain_)
            chain_ = std::make_unique<DownloadChain>(context_, [this](int id, bool last) {
                if (id == throwingInstall_)
                    throw std::runtime_error("installer broke");
                // As the installer reports: the item, then the end after the last.
                Record(VeyrantMessage::kInstalledCompleted, id, -1);
                if (last)
                    Record(VeyrantMessage::kAllInstallsCompleted, 0, 0);
            });
        return *chain_;
    }

    void Record(UINT message, int wParam, int lParam) {
        std::lock_guard guard(lock_);
        switch (message) {
        case VeyrantMessage::kDownloadCompleted:
            events_.push_back(FormatW(L"downloaded %d %d", wParam, lParam));
            break;
        case VeyrantMessage::kInstalledCompleted:
            events_.push_back(FormatW(L"installed %d %d", wParam, lParam));
            break;
        case VeyrantMessage::kAllDownloadsCompleted:
            events_.push_back(L"all downloaded");
            break;
        case VeyrantMessage::kAllInstallsCompleted:
            events_.push_back(L"all installed");
            break;
        default:
            events_.push_back(FormatW(L"message %u", message));
        }
        changed_.notify_all();
    }

    int Fetch(const FetchRequest& request) {
        std::unique_lock guard(lock_);
        fetched_.push_back(request.url);
        changed_.notify_all();
        changed_.wait(guard, [this] { return !holdFetches_; });
        if (request.url == throwingFetch_)
            throw std::runtime_error("fetch broke");
        auto file = files_.find(request.url);
        if (file == files_.end())
            return 0;
        WriteBytes(request.localPath, file->second);
        return 1;
    }

    // The events until the end of all installs has been posted `ends` times.
    std::vector<std::wstring> Events(int ends = 1) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(20), [&] {
            return std::count(events_.begin(), events_.end(), L"all installed") >= ends;
        });
        return events_;
    }

    void HoldFetches(bool hold) {
        std::lock_guard guard(lock_);
        holdFetches_ = hold;
        changed_.notify_all();
    }

    void WaitForFetch(size_t count) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(20),
                          [&] { return fetched_.size() >= count; });
    }

    // Until the worker that posted the last report has handed the chain back.
    void WaitUntilIdle() {
        for (int i = 0; chain_ && chain_->State().InWork() && i < 2000; ++i)
            Sleep(10);
    }

    std::vector<std::wstring> Fetched() {
        std::lock_guard guard(lock_);
        return fetched_;
    }

    TempFolder dir_;
    RecordingTraceSink trace_;
    ConfigurationTexts texts_;
    ComponentContext context_;
    std::map<std::wstring, std::string> files_ = {{L"http://bank.test/controls/a.dll", kControl},
                                                  {L"http://bank.test/apps/b.exe", kApplication}};
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::wstring> events_;
    std::vector<std::wstring> fetched_;
    bool holdFetches_ = false;
    std::wstring throwingFetch_;
    int throwingInstall_ = 0;
    std::unique_ptr<DownloadChain> chain_; // last: its workers use the members above
};

using Texts = std::vector<std::wstring>;

TEST_F(ChainTurn, ABatchBeforeTheCatalogueIsDecryptedFailsItsItemsAndEnds) {
    texts_.Set(ConfigText::Chinese, L"");
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"1001\"/><item id=\"4001\"/></list>"), 1);
    EXPECT_EQ(Events(), (Texts{L"downloaded 1001 0", L"installed 1001 0", L"downloaded 4001 0",
                               L"installed 4001 0", L"all downloaded", L"all installed"}));
    EXPECT_TRUE(Fetched().empty());
    EXPECT_TRUE(trace_.Contains(L"文件号：1001 错误原因：组件列表不可用"));

    // Once decrypted, the page's next batch is its own and runs (its file is
    // present, so it finishes here).
    texts_.Set(ConfigText::Chinese, Catalogue());
    CreateDirectoryW((context_.paths.appDownloadFolder).c_str(), nullptr);
    CreateDirectoryW((context_.paths.appDownloadFolder + L"apps").c_str(), nullptr);
    WriteBytes(context_.paths.appDownloadFolder + L"apps\\b.exe", kApplication);
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"4001\"/></list>"), 1);
    EXPECT_EQ(Events(2), (Texts{L"downloaded 1001 0", L"installed 1001 0", L"downloaded 4001 0",
                                L"installed 4001 0", L"all downloaded", L"all installed",
                                L"downloaded 4001 -1", L"all downloaded", L"installed 4001 -1",
                                L"all installed"}));
    EXPECT_TRUE(Fetched().empty());
}

TEST_F(ChainTurn, IdsBelowTheItemRangesFailInABatchAndAreIgnoredAlone) {
    EXPECT_EQ(chain().StartDownLoad(999), 0);
    EXPECT_EQ(chain().EBankDownLoad(
                  L"<list><item id=\"0\"/><item/><item id=\"5052\"/><item id=\"999\"/></list>"),
              1);
    EXPECT_EQ(Events(),
              (Texts{L"downloaded 0 0", L"installed 0 0", L"downloaded 0 0", L"installed 0 0",
                     L"downloaded 5052 -1", L"installed 5052 -1", L"downloaded 999 0",
                     L"installed 999 0", L"all downloaded", L"all installed"}));
    EXPECT_TRUE(trace_.Contains(L"文件号：999 错误原因：文件号无效"));
    // The batch has ended: the next one is taken whole.
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"5054\"/></list>"), 1);
    Texts events = Events(2);
    EXPECT_EQ(
        Texts(events.end() - 4, events.end()),
        (Texts{L"downloaded 5054 -1", L"all downloaded", L"installed 5054 -1", L"all installed"}));
}

TEST_F(ChainTurn, ThePageCannotStartAnotherItemWhileOneIsInWork) {
    HoldFetches(true);
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"1001\"/><item id=\"4001\"/></list>"), 1);
    WaitForFetch(1);
    // A second list or a single item now would take over the item in work.
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"5052\"/></list>"), 1);
    EXPECT_EQ(chain().StartDownLoad(5053), 0);
    EXPECT_TRUE(trace_.Contains(L"失败事件：上一项尚未完成，忽略本次下载列表"));
    EXPECT_TRUE(trace_.Contains(L"文件号：5053 错误原因：上一项尚未完成，忽略本次下载"));
    HoldFetches(false);
    EXPECT_EQ(Events(), (Texts{L"downloaded 1001 -1", L"installed 1001 -1", L"downloaded 4001 -1",
                               L"all downloaded", L"installed 4001 -1", L"all installed"}));
    EXPECT_EQ(Fetched(),
              (Texts{L"http://bank.test/controls/a.dll", L"http://bank.test/apps/b.exe"}));
    // Once the batch has ended, the page's next call is taken.
    WaitUntilIdle();
    EXPECT_EQ(chain().StartDownLoad(5053), 1);
    EXPECT_EQ(Events(2).size(), 10u);
}

TEST_F(ChainTurn, AFailingWorkerOrInstallerLeavesTheChainFree) {
    throwingFetch_ = L"http://bank.test/controls/a.dll";
    EXPECT_EQ(chain().EBankDownLoad(L"<list><item id=\"1001\"/><item id=\"4001\"/></list>"), 1);
    EXPECT_EQ(Events(), (Texts{L"downloaded 1001 0", L"installed 1001 0", L"downloaded 4001 -1",
                               L"all downloaded", L"installed 4001 -1", L"all installed"}));
    EXPECT_TRUE(trace_.Contains(L"失败事件：StartDownLoad 异常：fetch broke"));
    WaitUntilIdle();
    // An installer that throws on the page's thread: the scripting guard
    // catches it above, and the chain must not stay taken.
    throwingInstall_ = 5052;
    EXPECT_THROW(chain().StartDownLoad(5052), std::runtime_error);
    EXPECT_FALSE(chain().State().InWork());
    EXPECT_EQ(chain().StartDownLoad(5053), 1);
}

} // namespace
