// The download chain driven through its seams: a fake server for the fetch,
// a recording installer and the posted messages. Workers are real threads;
// each test waits for the chain's last report.
#include "install/download_chain.h"

#include "common/text.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>

namespace {

std::wstring Checksum(const std::string& bytes) {
    return ChecksumText(Crc32Update(0, bytes));
}

struct Posted {
    UINT message;
    int wParam;
    int lParam;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
    return out << "(" << p.message << "," << p.wParam << "," << p.lParam << ")";
}

constexpr UINT kDownloaded = VeyrantMessage::kDownloadCompleted;
constexpr UINT kAllDownloaded = VeyrantMessage::kAllDownloadsCompleted;
constexpr UINT kInstalled = VeyrantMessage::kInstalledCompleted;
constexpr UINT kAllInstalled = VeyrantMessage::kAllInstallsCompleted;

class Chain : public testing::Test {
protected:
    Chain() {
        Serve(L"controls/a.dll", "control a");
        Serve(L"controls/b.dll", "control b");
        Serve(L"apps/c.exe", "application c");
        texts_.Set(ConfigText::Chinese, CatalogueText());
    }

    void Serve(const std::wstring& url, const std::string& body) {
        server_.Serve(L"http://bank/" + url, body);
        macs_[url] = Checksum(body);
    }

    std::wstring CatalogueText() {
        return FormatW(L"<Utility><Control>"
                       L"<e id='1001' url='controls/a.dll' mac='%ls'/>"
                       L"<e id='1002' url='controls/b.dll' mac='%ls'/>"
                       L"<e id='1003' url='../../escape.dll' mac='0'/>"
                       L"</Control><Application><e id='4001' url='apps/c.exe' mac='%ls'%ls/>"
                       L"</Application></Utility>",
                       macs_[L"controls/a.dll"].c_str(), ToUpper(macs_[L"controls/b.dll"]).c_str(),
                       macs_[L"apps/c.exe"].c_str(), applicationSha256_.c_str());
    }

    ComponentContext MakeContext() {
        ComponentContext context;
        context.paths = SettingsPaths::ForDataFolder(dir_.path());
        context.rootUrl = L"http://bank/";
        context.trace = &trace_;
        context.texts = &texts_;
        context.language = [] { return std::wstring(L"chs"); };
        context.post = [this](UINT message, WPARAM w, LPARAM l) {
            std::lock_guard guard(lock_);
            posted_.push_back(Posted{message, static_cast<int>(w), static_cast<int>(l)});
            changed_.notify_all();
        };
        context.fetch = server_.Fetcher();
        return context;
    }

    // Waits until `message` was posted `count` times (the chain's workers run on).
    std::vector<Posted> WaitFor(UINT message, size_t count = 1) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(60), [&] {
            return static_cast<size_t>(
                       std::count_if(posted_.begin(), posted_.end(), [&](const Posted& p) {
                           return p.message == message;
                       })) >= count;
        });
        return posted_;
    }

    std::vector<std::wstring> Fetched() const { return server_.Requests(); }

    TempFolder dir_;
    RecordingTraceSink trace_;
    ConfigurationTexts texts_;
    FakeBankServer server_;
    std::map<std::wstring, std::wstring> macs_;
    std::wstring applicationSha256_; // a " sha256='...'" attribute for 4001, or none
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Posted> posted_;
    std::vector<std::pair<int, bool>> installed_; // under lock_
    ComponentContext context_ = MakeContext();
    DownloadChain chain_{context_, [this](int id, bool last) {
                             std::lock_guard guard(lock_);
                             installed_.emplace_back(id, last);
                             // Installers report their item, and the last one all installs.
                             posted_.push_back(Posted{kInstalled, id, -1});
                             if (last)
                                 posted_.push_back(Posted{kAllInstalled, 0, 0});
                             changed_.notify_all();
                         }};
};

TEST_F(Chain, ABatchOfThreeWhoseSecondFails) {
    server_.Forget(L"http://bank/controls/b.dll"); // the server answers nothing for it
    EXPECT_EQ(chain_.EBankDownLoad(L"<list><i id='1001'/><i id='1002'/><i id='4001'/></list>"), 1);
    std::vector<Posted> posted = WaitFor(kAllInstalled);
    EXPECT_EQ(posted, (std::vector<Posted>{{kDownloaded, 1001, -1},
                                           {kInstalled, 1001, -1},
                                           {kDownloaded, 1002, 0},
                                           {kInstalled, 1002, 0},
                                           {kDownloaded, 4001, -1},
                                           {kAllDownloaded, 0, 0},
                                           {kInstalled, 4001, -1},
                                           {kAllInstalled, 0, 0}}));
    EXPECT_TRUE(trace_.Contains(L"文件号：1002 错误原因：下载失败"));
    EXPECT_TRUE(trace_.Contains(L"文件号：4001 成功事件：完整性校验成功"));
    EXPECT_EQ(ReadBytes(dir_ / L"AppsDownload\\apps\\c.exe"), "application c");
}

TEST_F(Chain, AVerifiedFileAlreadyThereIsNotFetched) {
    CreateDirectoryW((dir_ / L"AppsDownload").c_str(), nullptr);
    CreateDirectoryW((dir_ / L"AppsDownload\\controls").c_str(), nullptr);
    WriteBytes(dir_ / L"AppsDownload\\controls\\b.dll", "control b");
    // The listed checksum is upper case: it still matches.
    EXPECT_EQ(chain_.StartDownLoad(1002), 0);
    EXPECT_EQ(WaitFor(kAllInstalled), (std::vector<Posted>{{kDownloaded, 1002, -1},
                                                           {kAllDownloaded, 0, 0},
                                                           {kInstalled, 1002, -1},
                                                           {kAllInstalled, 0, 0}}));
    EXPECT_TRUE(Fetched().empty());
    EXPECT_TRUE(trace_.Contains(L"成功事件：文件号：1002 文件存在且校验成功"));
}

TEST_F(Chain, AFileFailingItsChecksumIsDeletedAndReportedOnce) {
    server_.Serve(L"http://bank/controls/a.dll", "<html>server error</html>");
    chain_.StartDownLoad(1001);
    EXPECT_EQ(WaitFor(kAllInstalled), (std::vector<Posted>{{kDownloaded, 1001, 0},
                                                           {kInstalled, 1001, 0},
                                                           {kAllDownloaded, 0, 0},
                                                           {kAllInstalled, 0, 0}}));
    EXPECT_FALSE(FileExists(dir_ / L"AppsDownload\\controls\\a.dll"));
    EXPECT_TRUE(trace_.Contains(L"文件号：1001 错误原因：完整性校验失败"));
    EXPECT_TRUE(installed_.empty());
}

TEST_F(Chain, AListedSha256GuardsThePresentFileAndTheFetchedOne) {
    const std::wstring present = dir_ / L"AppsDownload\\apps\\c.exe";
    CreateDirectoryW((dir_ / L"AppsDownload").c_str(), nullptr);
    CreateDirectoryW((dir_ / L"AppsDownload\\apps").c_str(), nullptr);
    WriteBytes(present, "application c");
    // The checksum of both files, but the SHA-256 of another.
    applicationSha256_ = L" sha256='" + Sha256Text(*Sha256Of("application d")) + L"'";
    texts_.Set(ConfigText::Chinese, CatalogueText());
    chain_.StartDownLoad(4001);
    EXPECT_EQ(WaitFor(kAllInstalled), (std::vector<Posted>{{kDownloaded, 4001, 0},
                                                           {kInstalled, 4001, 0},
                                                           {kAllDownloaded, 0, 0},
                                                           {kAllInstalled, 0, 0}}));
    EXPECT_EQ(Fetched(), std::vector<std::wstring>{L"http://bank/apps/c.exe"});
    EXPECT_TRUE(trace_.Contains(L"文件号：4001 错误原因：完整性校验失败"));
    EXPECT_FALSE(FileExists(present));
    EXPECT_TRUE(installed_.empty());
}

TEST_F(Chain, ItemsWithoutFilesAndIgnoredIds) {
    EXPECT_EQ(chain_.StartDownLoad(999), 0);
    EXPECT_EQ(chain_.StartDownLoad(5051), 1);
    EXPECT_EQ(chain_.StartDownLoad(2500), 1);
    EXPECT_EQ(WaitFor(kAllInstalled, 2), (std::vector<Posted>{{kDownloaded, 5051, -1},
                                                              {kAllDownloaded, 0, 0},
                                                              {kInstalled, 5051, -1},
                                                              {kAllInstalled, 0, 0},
                                                              {kDownloaded, 2500, -1},
                                                              {kAllDownloaded, 0, 0},
                                                              {kInstalled, 2500, -1},
                                                              {kAllInstalled, 0, 0}}));
    EXPECT_TRUE(Fetched().empty());
}

TEST_F(Chain, UnknownIdsAndEscapingNamesFailWithoutStallingTheBatch) {
    chain_.EBankDownLoad(L"<list><i id='1999'/><i id='1003'/><i id='5052'/></list>");
    EXPECT_EQ(WaitFor(kAllInstalled), (std::vector<Posted>{{kDownloaded, 1999, 0},
                                                           {kInstalled, 1999, 0},
                                                           {kDownloaded, 1003, 0},
                                                           {kInstalled, 1003, 0},
                                                           {kDownloaded, 5052, -1},
                                                           {kAllDownloaded, 0, 0},
                                                           {kInstalled, 5052, -1},
                                                           {kAllInstalled, 0, 0}}));
    EXPECT_TRUE(trace_.Contains(L"文件号：1003 错误原因：文件路径不合法"));
    EXPECT_FALSE(FileExists(dir_ / L"..\\escape.dll"));
}

TEST_F(Chain, ALongBatchOfImmediateItemsRunsInALoop) {
    std::wstring list = L"<list>";
    for (int i = 0; i < 20000; ++i)
        list += L"<i id='5051'/>";
    chain_.EBankDownLoad(list + L"</list>");
    std::lock_guard guard(lock_);
    EXPECT_EQ(installed_.size(), 20000u);
    EXPECT_TRUE(installed_.back().second);
    EXPECT_FALSE(installed_.front().second);
}

TEST_F(Chain, BatchStepsOfAOneItemList) {
    const std::wstring list = L"<list><i id='5051'/></list>";
    chain_.EBankDownLoad(list); // loads it and runs the item, which steps to the end
    EXPECT_EQ(chain_.State().BatchCount(), 0);
    // Started by hand, the batch is loaded but not yet stepped past its item.
    DownloadChainState state;
    EXPECT_EQ(state.StepBatch(std::vector<int>{7}), 7);
    EXPECT_EQ(state.Current().id, 7);
    EXPECT_TRUE(state.AtBatchEnd());
    EXPECT_EQ(state.StepBatch(std::vector<int>{8}), std::nullopt); // pending: ids ignored, reset
    EXPECT_EQ(state.BatchCount(), 0);
    EXPECT_EQ(state.StepBatch(std::vector<int>{8}), 8); // a new batch
}

} // namespace
