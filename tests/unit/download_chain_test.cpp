// The download chain through its seams: a fake bank server behind the fetch,
// an installer that answers from a table, the real work queue and reporter,
// and the call-backs recorded as the page would see them.
#include "install/download_chain.h"

#include "install/self_update.h"

#include "common/text.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "tests/unit/component_fixture.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>

namespace {

using Texts = std::vector<std::wstring>;

std::wstring Checksum(const std::string& bytes) {
    return ChecksumText(Crc32Update(0, bytes));
}

class Chain : public testing::Test, protected ComponentFixture {
protected:
    Chain() {
        Serve(L"controls/a.dll", "control a");
        Serve(L"controls/b.dll", "control b");
        Serve(L"apps/c.exe", "application c");
        texts.Set(ConfigText::Chinese, CatalogueText());
    }
    ~Chain() override { queue_.Close(); }

    void Serve(const std::wstring& url, const std::string& body) {
        server.Serve(rootUrl + url, body);
        macs_[url] = Checksum(body);
    }

    std::wstring CatalogueText(const std::wstring& extraControls = L"") {
        return FormatW(L"<Utility><Control>"
                       L"<e id='1001' url='controls/a.dll' mac='%ls'/>"
                       L"<e id='1002' url='controls/b.dll' mac='%ls'/>"
                       L"<e id='1003' url='../../escape.dll' mac='0'/>%ls"
                       L"</Control><Application><e id='4001' url='apps/c.exe' mac='%ls'%ls/>"
                       L"</Application></Utility>",
                       macs_[L"controls/a.dll"].c_str(), ToUpper(macs_[L"controls/b.dll"]).c_str(),
                       extraControls.c_str(), macs_[L"apps/c.exe"].c_str(),
                       applicationSha256_.c_str());
    }

    void PlaceDownloaded(const std::wstring& url, const std::string& body) {
        const std::wstring path = context_.paths.appDownloadFolder + ReplaceAll(url, L"/", L"\\");
        SHCreateDirectoryExW(nullptr, FolderPart(path).c_str(), nullptr);
        WriteBytes(path, body);
    }

    InstallOutcome Install(const ItemWork& work) {
        std::lock_guard guard(lock_);
        installed_.push_back(work.id);
        installThreads_.insert(GetCurrentThreadId());
        if (work.id == throwingInstall_)
            throw std::runtime_error("installer broke");
        if (onInstall_)
            onInstall_(work);
        auto answer = answers_.find(work.id);
        return answer == answers_.end() ? InstallOutcome::Installed : answer->second;
    }

    Texts Wait(size_t ends = 1) {
        posted.WaitFor(VeyrantMessage::kAllInstallsCompleted, ends);
        queue_.WaitUntilIdle();
        return posted.Texts();
    }

    std::map<std::wstring, std::wstring> macs_;
    std::wstring applicationSha256_; // a " sha256='...'" attribute for 4001, or none
    std::mutex lock_;
    std::vector<int> installed_;
    std::set<DWORD> installThreads_;
    std::map<int, InstallOutcome> answers_{{2500, InstallOutcome::Unreported}};
    int throwingInstall_ = 0;
    std::function<void(const ItemWork&)> onInstall_;
    ComponentContext context_ = MakeContext();
    CatalogueCache catalogue_{texts, [this] { return language; }};
    WorkQueue queue_{trace};
    DownloadReporter reporter_{context_.post, trace};
    DownloadChain chain_{context_, queue_, reporter_, catalogue_.Source(),
                         [this](const ItemWork& work) { return Install(work); }};
};

TEST_F(Chain, ABatchOfThreeWhoseSecondFailsRunsOnTheWorker) {
    server.Forget(L"http://bank/controls/b.dll"); // the server answers nothing for it
    EXPECT_EQ(chain_.EBankDownLoad(L"<list><i id='1001'/><i id='1002'/><i id='4001'/></list>"), 1);
    EXPECT_EQ(Wait(), (Texts{L"downloaded 1001 -1", L"installed 1001 -1", L"downloaded 1002 0",
                             L"installed 1002 0", L"downloaded 4001 -1", L"all downloaded",
                             L"installed 4001 -1", L"all installed"}));
    EXPECT_TRUE(trace.Contains(L"文件号：1002 错误原因：下载失败"));
    EXPECT_TRUE(trace.Contains(L"文件号：4001 成功事件：完整性校验成功"));
    EXPECT_EQ(ReadBytes(context_.paths.appDownloadFolder + L"apps\\c.exe"), "application c");
    // The page's thread only queued the list: it never installs.
    EXPECT_EQ(installThreads_.count(GetCurrentThreadId()), 0u);
}

TEST_F(Chain, VerifiedFilesAlreadyThereAreNotFetchedAndBadOnesNotKept) {
    PlaceDownloaded(L"controls/b.dll", "control b"); // listed in upper case: still matches
    server.Serve(L"http://bank/controls/a.dll", "<html>server error</html>");
    // The checksum of both files, but the SHA-256 of another for 4001.
    PlaceDownloaded(L"apps/c.exe", "application c");
    applicationSha256_ = L" sha256='" + Sha256Text(*Sha256Of("application d")) + L"'";
    texts.Set(ConfigText::Chinese, CatalogueText());
    chain_.EBankDownLoad(L"<list><i id='1002'/><i id='1001'/><i id='4001'/></list>");
    EXPECT_EQ(Wait(), (Texts{L"downloaded 1002 -1", L"installed 1002 -1", L"downloaded 1001 0",
                             L"installed 1001 0", L"downloaded 4001 0", L"installed 4001 0",
                             L"all downloaded", L"all installed"}));
    EXPECT_EQ(server.Requests(), (Texts{L"http://bank/controls/a.dll", L"http://bank/apps/c.exe"}));
    EXPECT_TRUE(trace.Contains(L"成功事件：文件号：1002 文件存在且校验成功"));
    EXPECT_TRUE(trace.Contains(L"文件号：1001 错误原因：完整性校验失败"));
    EXPECT_FALSE(FileExists(context_.paths.appDownloadFolder + L"controls\\a.dll"));
    EXPECT_FALSE(FileExists(context_.paths.appDownloadFolder + L"apps\\c.exe"));
    EXPECT_EQ(installed_, std::vector<int>{1002});
}

TEST_F(Chain, IdsWithoutFilesUnknownIdsAndEscapingNames) {
    EXPECT_EQ(chain_.StartDownLoad(999), 0); // no item: refused, nothing posted
    EXPECT_EQ(chain_.StartDownLoad(5051), 1);
    EXPECT_EQ(chain_.StartDownLoad(2500), 1); // a trusted site: installed without a report
    chain_.EBankDownLoad(L"<list><i id='1999'/><i id='1003'/><i id='50'/><i/></list>");
    EXPECT_EQ(Wait(3),
              (Texts{L"downloaded 5051 -1", L"all downloaded", L"installed 5051 -1",
                     L"all installed", L"downloaded 2500 -1", L"all downloaded", L"all installed",
                     L"downloaded 1999 0", L"installed 1999 0", L"downloaded 1003 0",
                     L"installed 1003 0", L"downloaded 50 0", L"installed 50 0", L"downloaded 0 0",
                     L"installed 0 0", L"all downloaded", L"all installed"}));
    EXPECT_TRUE(trace.Contains(L"文件号：999 错误原因：文件号无效"));
    EXPECT_TRUE(trace.Contains(L"文件号：1003 错误原因：文件路径不合法"));
    EXPECT_TRUE(trace.Contains(L"文件号：1999 错误原因：目录中无此文件"));
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Chain, WorkGivenWhileAnItemIsInFlightWaitsForItsTurn) {
    std::mutex gate;
    std::unique_lock held(gate);
    onInstall_ = [&](const ItemWork& work) {
        if (work.id == 5052)
            std::lock_guard wait(gate); // the first item installs until the test lets it go
    };
    EXPECT_EQ(chain_.StartDownLoad(5052), 1);
    EXPECT_EQ(chain_.EBankDownLoad(L"<list><i id='1001'/><i id='5053'/></list>"), 1);
    // A second list while the first is pending is ignored, as before; an item is queued.
    EXPECT_EQ(chain_.EBankDownLoad(L"<list><i id='5055'/></list>"), 1);
    EXPECT_EQ(chain_.StartDownLoad(5054), 1);
    held.unlock();
    EXPECT_EQ(Wait(3), (Texts{L"downloaded 5052 -1", L"all downloaded", L"installed 5052 -1",
                              L"all installed", L"downloaded 1001 -1", L"installed 1001 -1",
                              L"downloaded 5053 -1", L"all downloaded", L"installed 5053 -1",
                              L"all installed", L"downloaded 5054 -1", L"all downloaded",
                              L"installed 5054 -1", L"all installed"}));
    EXPECT_TRUE(trace.Contains(L"失败事件：上一下载列表尚未完成，忽略本次下载列表"));
}

TEST_F(Chain, APageAnsweringTheEndOfAListWithANewOneIsHeard) {
    // As a page's OnAllInstalledCompleted would, at the earliest moment it could.
    DownloadChain* chain = nullptr;
    bool answered = false;
    ComponentContext context = context_;
    context.post = [&, post = context_.post](UINT message, WPARAM w, LPARAM l) {
        post(message, w, l);
        if (message == VeyrantMessage::kAllInstallsCompleted && !std::exchange(answered, true))
            chain->EBankDownLoad(L"<list><i id='5052'/></list>");
    };
    DownloadReporter reporter(context.post, trace);
    DownloadChain answering(context, queue_, reporter, catalogue_.Source(),
                            [](const ItemWork&) { return InstallOutcome::Installed; });
    chain = &answering;
    answering.EBankDownLoad(L"<list><i id='5051'/></list>");
    EXPECT_EQ(Wait(2), (Texts{L"downloaded 5051 -1", L"all downloaded", L"installed 5051 -1",
                              L"all installed", L"downloaded 5052 -1", L"all downloaded",
                              L"installed 5052 -1", L"all installed"}));
}

TEST_F(Chain, EachItemReadsTheCatalogueItWasStartedWith) {
    Serve(L"controls/new.dll", "only in the new catalogue");
    // While 5051 installs, a new catalogue arrives (an update check, a language switch).
    onInstall_ = [&](const ItemWork& work) {
        if (work.id == 5051)
            texts.Set(ConfigText::Chinese,
                      CatalogueText(L"<e id='1004' url='controls/new.dll' mac='" +
                                    macs_[L"controls/new.dll"] + L"'/>"));
        if (work.entry) { // the entry the item was fetched by is in the item's own snapshot
            EXPECT_EQ(FindCatalogueItem(work.catalogue.get(), work.id), work.entry);
        }
    };
    chain_.EBankDownLoad(L"<list><i id='5051'/><i id='1004'/><i id='1001'/></list>");
    EXPECT_EQ(Wait(), (Texts{L"downloaded 5051 -1", L"installed 5051 -1", L"downloaded 1004 -1",
                             L"installed 1004 -1", L"downloaded 1001 -1", L"all downloaded",
                             L"installed 1001 -1", L"all installed"}));
}

TEST_F(Chain, AnInstallerThatBreaksStillReportsItsUnitToTheEnd) {
    throwingInstall_ = 5052;
    chain_.EBankDownLoad(L"<list><i id='5051'/><i id='5052'/><i id='5053'/></list>");
    EXPECT_EQ(Wait(), (Texts{L"downloaded 5051 -1", L"installed 5051 -1", L"downloaded 5052 -1",
                             L"installed 5052 0", L"downloaded 5053 0", L"installed 5053 0",
                             L"all downloaded", L"all installed"}));
    EXPECT_TRUE(trace.Contains(L"失败事件：EBankDownLoad 异常：installer broke"));
    // The chain is free again.
    chain_.EBankDownLoad(L"<list><i id='5054'/></list>");
    EXPECT_EQ(Wait(2).size(), 12u);
}

TEST_F(Chain, ALongListOfImmediateItemsNeverHoldsThePage) {
    std::wstring list = L"<list>";
    for (int i = 0; i < 20000; ++i)
        list += L"<i id='5051'/>";
    chain_.EBankDownLoad(list + L"</list>");
    Wait();
    EXPECT_EQ(installed_.size(), 20000u);
    EXPECT_EQ(posted.Count(VeyrantMessage::kAllDownloadsCompleted), 1u);
}

// The reporter alone: every call its state does not allow is refused,
// traced and not posted.
TEST(Reporter, RefusesWhatItsOrderDoesNotAllow) {
    RecordingTraceSink trace;
    MessageRecorder posted;
    DownloadReporter reporter(posted.Poster(), trace);
    EXPECT_FALSE(reporter.ItemStarted(7));     // no unit
    EXPECT_FALSE(reporter.SelfUpdateFailed()); // no self-update
    EXPECT_FALSE(reporter.BeginUnit(0));       // a unit of nothing
    EXPECT_TRUE(reporter.BeginUnit(2));
    EXPECT_FALSE(reporter.BeginUnit(1));        // one unit at a time
    EXPECT_FALSE(reporter.Downloaded(7, true)); // not started
    EXPECT_TRUE(reporter.ItemStarted(7));
    EXPECT_FALSE(reporter.ItemStarted(8));      // one item at a time
    EXPECT_FALSE(reporter.Installed(7, true));  // not downloaded yet
    EXPECT_FALSE(reporter.Downloaded(8, true)); // another id
    EXPECT_TRUE(reporter.Downloaded(7, true));
    EXPECT_FALSE(reporter.Downloaded(7, true)); // twice
    EXPECT_TRUE(reporter.Installed(7, false));
    EXPECT_TRUE(reporter.ItemStarted(8));
    EXPECT_TRUE(reporter.Downloaded(8, false));
    EXPECT_FALSE(reporter.Installed(8, true)); // a failed item is over
    EXPECT_TRUE(reporter.BeginSelfUpdate());
    EXPECT_FALSE(reporter.BeginSelfUpdate());
    EXPECT_TRUE(reporter.SelfUpdateFailed());
    EXPECT_FALSE(reporter.SelfUpdateEnded());
    EXPECT_EQ(posted.Texts(),
              (Texts{L"downloaded 7 -1", L"installed 7 0", L"downloaded 8 0", L"installed 8 0",
                     L"all downloaded", L"all installed", L"self-update error 1"}));
    EXPECT_TRUE(trace.Contains(L"失败事件：文件号：8 回调顺序不允许：Installed"));
}

} // namespace

namespace {

// Holds the queue's one worker between drains. A drain queues the next hold
// behind everything the page queued and then lets the current one go: the
// worker never finds the queue empty (no thread starts per drain, which is
// most of a drain's cost under Wine), and once the next hold is reached all
// that was queued before it has run and been reported.
class WorkerHold {
public:
    explicit WorkerHold(WorkQueue& queue) : queue_(queue) { Queue(); }
    ~WorkerHold() {
        {
            std::lock_guard guard(lock_);
            released_ = queued_;
        }
        changed_.notify_all();
        queue_.WaitUntilIdle();
    }
    WorkerHold(const WorkerHold&) = delete;
    WorkerHold& operator=(const WorkerHold&) = delete;

    // False when the work queued so far did not end within a minute.
    bool Drain() {
        Queue();
        std::unique_lock guard(lock_);
        ++released_;
        changed_.notify_all();
        return changed_.wait_for(guard, std::chrono::minutes(1),
                                 [this] { return reached_ == queued_; });
    }

private:
    void Queue() {
        int index = 0;
        {
            std::lock_guard guard(lock_);
            index = ++queued_;
        }
        EXPECT_TRUE(queue_.Enqueue({L"hold",
                                    [this, index] {
                                        std::unique_lock guard(lock_);
                                        reached_ = index;
                                        changed_.notify_all();
                                        changed_.wait(guard, [&] { return released_ >= index; });
                                    },
                                    {}}));
    }

    WorkQueue& queue_;
    std::mutex lock_; // the counts below
    std::condition_variable changed_;
    int queued_ = 0;
    int reached_ = 0;
    int released_ = 0;
};

// A model of the conversation: seeded sequences of the page's calls
// (StartDownLoad, EBankDownLoad, UpdateBankVeyr, SetLanguage), update checks
// bringing new catalogues between calls or in the middle of a unit's work,
// with the worker held until a "drain", so the model knows exactly which
// calls found a list pending. After each drain the call-backs must be those
// of the accepted units, in acceptance order, each item's in the allowed
// order, "all ..." once per unit after its last item; ignored and refused
// calls post nothing, and no two fetches ever run at once.
// TOVRAL_MODEL_SEQUENCES sets the number of sequences; a failure names the
// seed that reproduces it.
class ChainModel : public Chain {
protected:
    enum class Outcome { Installed, NotInstalled, Unreported, NotDownloaded };

    // What the two language texts list: the control 1004 or not.
    struct Catalogues {
        bool chineseHasNew = false;
        bool englishHasNew = false;
        bool english = false; // the page's language
        bool& Current() { return english ? englishHasNew : chineseHasNew; }
    };

    static Outcome OutcomeOf(int id, bool newListed) {
        switch (id) {
        case 5051:
        case 1001:
        case 4001:
            return Outcome::Installed;
        case 5060:
            return Outcome::NotInstalled;
        case 2500:
            return Outcome::Unreported;
        case 1004:
            return newListed ? Outcome::Installed : Outcome::NotDownloaded;
        default:
            return Outcome::NotDownloaded; // 999, 1002 (no answer), 1999 (unlisted)
        }
    }

    // The call-backs the page must see for one unit. An update check armed
    // to land during an install replaces the current catalogue after the
    // first item that reaches its installer: the items after it see the new one.
    static void Expect(const std::vector<int>& unit, Catalogues& catalogues, bool& flipArmed,
                       Texts& out) {
        for (size_t i = 0; i < unit.size(); ++i) {
            const int id = unit[i];
            const bool last = i + 1 == unit.size();
            const Outcome outcome = OutcomeOf(id, catalogues.Current());
            const bool downloaded = outcome != Outcome::NotDownloaded;
            out.push_back(FormatW(L"downloaded %d %d", id, downloaded ? -1 : 0));
            if (last && downloaded)
                out.push_back(L"all downloaded");
            if (outcome != Outcome::Unreported)
                out.push_back(
                    FormatW(L"installed %d %d", id, outcome == Outcome::Installed ? -1 : 0));
            if (last && !downloaded)
                out.push_back(L"all downloaded");
            if (last)
                out.push_back(L"all installed");
            if (downloaded && flipArmed) {
                catalogues.Current() = !catalogues.Current();
                flipArmed = false;
            }
        }
    }

    // A self-update whose update list the server does not have: queued
    // behind the units before it, it ends with its one error call-back.
    std::mutex folderLock_;
    SelfUpdate selfUpdate_{context_,
                           InstallFolders{dir / L"sys\\", dir / L"win\\", clientFolder, dir.path()},
                           queue_,
                           reporter_,
                           [] {
                               return std::optional<std::wstring>(
                                   L"<Version><Files><file id='50' Name='Update.cfg' "
                                   L"Url='http://bank/VeyrantSettingV2/Update.cfg' Version='2' "
                                   L"mac='0'/></Files></Version>");
                           },
                           folderLock_,
                           [](UINT) { ADD_FAILURE() << "no updater may start"; }};

    std::wstring CatalogueWithNew(bool withNew) {
        return CatalogueText(withNew ? L"<e id='1004' url='controls/new.dll' mac='" +
                                           macs_[L"controls/new.dll"] + L"'/>"
                                     : L"");
    }

    void SetTexts(const Catalogues& catalogues) {
        texts.Set(ConfigText::Chinese, CatalogueWithNew(catalogues.chineseHasNew));
        texts.Set(ConfigText::English, CatalogueWithNew(catalogues.englishHasNew));
    }
};

TEST_F(ChainModel, AnyOrderOfCallsKeepsEveryAcceptedUnitAndItsOrder) {
    server.Forget(L"http://bank/controls/b.dll");
    Serve(L"controls/new.dll", "only in the new catalogue");
    answers_[5060] = InstallOutcome::NotInstalled;
    const int pool[] = {999, 5051, 1001, 1002, 2500, 1999, 5060, 1004, 4001};
    constexpr int kPool = static_cast<int>(std::size(pool));
    const char* configured = std::getenv("TOVRAL_MODEL_SEQUENCES");
    const int sequences = configured ? std::atoi(configured) : 2000;
    // Set by the page's thread while the worker is held, run by the worker.
    std::function<void()> landOnInstall;
    onInstall_ = [&](const ItemWork&) {
        if (landOnInstall)
            std::exchange(landOnInstall, nullptr)();
    };
    WorkerHold hold(queue_);
    for (int seed = 1; seed <= sequences && !HasFailure(); ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 random(seed);
        auto pick = [&](int n) { return static_cast<int>(random() % n); };
        Catalogues catalogues{pick(2) == 1, pick(2) == 1, pick(2) == 1};
        SetTexts(catalogues);
        language = catalogues.english ? L"eng" : L"chs";
        std::vector<std::vector<int>> accepted; // {} is the self-update
        bool listPending = false;
        bool selfUpdatePending = false;
        bool flipArmed = false;
        auto drain = [&] {
            if (flipArmed) {
                const ConfigText which =
                    catalogues.english ? ConfigText::English : ConfigText::Chinese;
                const std::wstring flipped = CatalogueWithNew(!catalogues.Current());
                landOnInstall = [this, which, flipped] { texts.Set(which, flipped); };
            }
            Texts expected;
            for (const auto& unit : accepted) {
                if (unit.empty())
                    expected.push_back(L"self-update error 1");
                else
                    Expect(unit, catalogues, flipArmed, expected);
            }
            ASSERT_TRUE(hold.Drain());
            EXPECT_EQ(posted.Texts(), expected);
            posted.Clear();
            accepted.clear();
            listPending = selfUpdatePending = false;
            if (flipArmed) { // no item reached an installer: the check did not land
                landOnInstall = nullptr;
                flipArmed = false;
            }
        };
        for (int step = 0, steps = 1 + pick(12); step < steps && !HasFailure(); ++step) {
            switch (pick(10)) {
            case 0:
            case 1: { // a single item
                const int id = pool[pick(kPool)];
                const bool needsNoFile = id == 2500 || id == 5051 || id == 5060;
                EXPECT_EQ(chain_.StartDownLoad(id), needsNoFile ? 1 : 0) << id;
                if (id >= 1000)
                    accepted.push_back({id});
                break;
            }
            case 2:
            case 3: { // a list: empty, garbage or up to four items
                std::vector<int> ids;
                std::wstring list = L"<list>";
                for (int n = pick(5); n > 0; --n) {
                    ids.push_back(pool[pick(kPool)]);
                    list += FormatW(L"<i id='%d'/>", ids.back());
                }
                const bool garbage = pick(8) == 0;
                EXPECT_EQ(chain_.EBankDownLoad(garbage ? L"<list><i" : list + L"</list>"), 1);
                if (!listPending && !garbage && !ids.empty()) {
                    accepted.push_back(ids);
                    listPending = true;
                }
                break;
            }
            case 4: // the page starts the self-update: queued once, then refused while pending
                EXPECT_EQ(selfUpdate_.UpdateBankVeyr(), selfUpdatePending ? 0 : 1);
                if (!selfUpdatePending)
                    accepted.push_back({});
                selfUpdatePending = true;
                break;
            case 5: // the page switches its language
                catalogues.english = !catalogues.english;
                language = catalogues.english ? L"eng" : L"chs";
                break;
            case 6: // an update check brings new texts for both languages
                catalogues.chineseHasNew = pick(2) == 1;
                catalogues.englishHasNew = pick(2) == 1;
                SetTexts(catalogues);
                break;
            case 7: // an update check lands while the next installer runs
                flipArmed = true;
                break;
            default:
                drain();
            }
        }
        drain();
    }
    EXPECT_EQ(server.MostAtOnce(), 1);
}

} // namespace
