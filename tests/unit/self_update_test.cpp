// The self-update hand-off: the updater's list byte for byte, the decisions
// on what to replace, and the whole hand-off through the download chain's
// fetch seam up to the start of the updater.
#include "install/self_update.h"

#include "common/com_types.h"
#include "common/text.h"
#include "crypto/checksum.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>

namespace {

std::wstring Checksum(const std::string& bytes) {
    return ChecksumText(Crc32Update(0, bytes));
}

TEST(HandOffList, TwoFilesScrambled) {
    const std::wstring text = HandOffText({{L"BankClient.exe", L"local", L"replace", L"false"},
                                           {L"Sign.ocx", L"system32", L"replace", L"true"}});
    EXPECT_EQ(text, L"<update>\n"
                    L"<file filename=\"BankClient.exe\" local=\"local\" updatehandle=\"replace\" "
                    L"regsvr=\"false\"></file>\n"
                    L"<file filename=\"Sign.ocx\" local=\"system32\" updatehandle=\"replace\" "
                    L"regsvr=\"true\"></file>\n"
                    L"</update>");
    const std::string scrambled = ScrambleHandOff(text);
    ASSERT_EQ(scrambled.size(), text.size() * 2);
    const unsigned char key = static_cast<unsigned char>((scrambled.size() % 256) ^ 0x6B);
    EXPECT_EQ(static_cast<unsigned char>(scrambled[0]), L'<' ^ key);
    EXPECT_EQ(static_cast<unsigned char>(scrambled[1]), 0 ^ key); // UTF-16 LE, no mark
    // The same operation reads it back.
    const std::string plain = ScrambleHandOffBytes(scrambled);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / 2), text);
    EXPECT_EQ(HandOffText({}), L"<update>\n</update>");
}

TEST(HandOffList, WhatNeedsReplacing) {
    EXPECT_TRUE(NeedsReplacing(2, 3, true));  // older
    EXPECT_FALSE(NeedsReplacing(3, 3, true)); // equal and the same file
    EXPECT_FALSE(NeedsReplacing(4, 3, true)); // newer installed
    EXPECT_TRUE(NeedsReplacing(3, 3, false)); // same version, another file or none
}

// The hand-off on a PC whose control requires signatures or not; the server
// publishes the update list with its signature.
template <SignaturePolicy Policy> class HandOffWith : public testing::Test {
protected:
    HandOffWith() {
        CreateDirectoryW(client_.c_str(), nullptr);
        WriteBytes(client_ + L"BankClient.exe", "installed client v3");
        Serve(L"files/BankClient.exe", "new client v4");
        Serve(L"files/Helper.dll", "helper");
        PublishUpdateList(L"<assembly filename='BankClient.exe' local='local' "
                          L"updatehandle='replace' Version='4' mac='%ls' regsvr='false' "
                          L"url='files/BankClient.exe'/>"
                          L"<assembly filename='Gone.dll' local='local' updatehandle='Delete' "
                          L"Version='9' mac='0' url='files/Gone.dll'/>"
                          L"<assembly filename='Helper.dll' local='local' updatehandle='replace' "
                          L"Version='1' mac='%ls' regsvr='true' url='files/Helper.dll'/>");
        WriteLocalUpdateList(L"<Update><assembly filename='BankClient.exe' Version='3'/>"
                             L"<assembly filename='Helper.dll' Version='1'/></Update>");
    }

    // The settings folder's update list, signed as the update check leaves it.
    void WriteLocalUpdateList(const std::wstring& text) {
        const std::string file = EncryptForTest(text);
        WriteBytes(context_.paths.updateListFile, file);
        WriteBytes(context_.paths.updateListFile + L".sig", SignForTest(file));
    }

    void Serve(const std::wstring& url, const std::string& body) {
        server_.Serve(L"http://bank/" + url, body);
        macs_.push_back(Checksum(body));
    }

    void PublishUpdateList(const std::wstring& assemblies) {
        std::wstring list = L"<Update><FileVersion root='http://bank/' value='4'/>" +
                            FormatW(assemblies.c_str(), macs_[0].c_str(), macs_[1].c_str()) +
                            L"</Update>";
        const std::string file = EncryptForTest(list);
        server_.Serve(L"http://bank/Update.cfg", file);
        server_.Serve(L"http://bank/Update.cfg.sig", SignForTest(file));
    }

    ComponentContext MakeContext() {
        CreateDirectoryW((dir_ / L"VeyrantSetting").c_str(), nullptr);
        ComponentContext context;
        context.paths = SettingsPaths::ForDataFolder(dir_.path());
        context.clientFolder = client_;
        context.key = TestPublicKey();
        if (Policy == SignaturePolicy::Required)
            context.signatures = RequiredSignatures();
        context.trace = &trace_;
        context.texts = &texts_;
        context.language = [] { return std::wstring(L"chs"); };
        context.post = [this](UINT message, WPARAM w, LPARAM) {
            std::lock_guard guard(lock_);
            if (message == VeyrantMessage::kSelfUpdateError)
                errors_.push_back(static_cast<int>(w));
            changed_.notify_all();
        };
        context.fetch = [this, fetch = server_.Fetcher()](const FetchRequest& request) {
            HoldWhileAsked(request.url);
            return fetch(request);
        };
        return context;
    }

    // A slow network: while holdSignatures_ is set, a signature fetch waits.
    void HoldWhileAsked(const std::wstring& url) {
        std::unique_lock guard(lock_);
        if (!holdSignatures_ || !url.ends_with(L".sig"))
            return;
        signatureHeld_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return !holdSignatures_; });
    }

    void ReleaseSignatures() {
        std::lock_guard guard(lock_);
        holdSignatures_ = false;
        changed_.notify_all();
    }

    // Runs the hand-off until the updater would start or a failure was posted.
    void Run() {
        // The worker that posted the last run's end may still hold the chain's turn.
        for (int waited = 0; chain_.State().InWork() && waited < 10000; waited += 10)
            Sleep(10);
        ASSERT_EQ(update_.UpdateBankVeyr(), 1);
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(60),
                          [&] { return !errors_.empty() || exited_; });
    }

    std::wstring SelfUpdateFolder() const { return context_.paths.selfUpdateFolder; }

    TempFolder dir_;
    const std::wstring client_ = dir_ / L"client\\";
    RecordingTraceSink trace_;
    ConfigurationTexts texts_;
    FakeBankServer server_;
    std::vector<std::wstring> macs_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<int> errors_;
    bool exited_ = false;
    bool holdSignatures_ = false;
    bool signatureHeld_ = false;
    ComponentContext context_ = MakeContext();
    std::wstring versionList_ = L"<Version><Files><file id='54' Name='UtilityChs.cfg'/>"
                                L"<file id='50' Name='Update.cfg' Url='http://bank/Update.cfg'/>"
                                L"</Files></Version>";
    DownloadChain chain_{context_, [](int, bool) {}};
    SelfUpdate update_{context_,
                       InstallFolders{dir_ / L"sys\\", dir_ / L"win\\", client_, dir_.path()},
                       chain_, [this] { return versionList_; },
                       [this](UINT) {
                           std::lock_guard guard(lock_);
                           exited_ = true;
                           changed_.notify_all();
                       }};
    int initChain_ = (chain_.SetSelfUpdateStep([this] { update_.OnFileFetched(); }), 0);
};
using HandOff = HandOffWith<SignaturePolicy::Off>;
using SignedHandOff = HandOffWith<SignaturePolicy::Required>;

TEST_F(HandOff, NewerAndChangedFilesAreFetchedListedAndVerified) {
    // Helper.dll is listed at the installed version but is not installed here.
    Run();
    EXPECT_EQ(server_.Requests(),
              (std::vector<std::wstring>{L"http://bank/Update.cfg", L"http://bank/Update.cfg.sig",
                                         L"http://bank/files/BankClient.exe",
                                         L"http://bank/files/Helper.dll"}));
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"BankClient.exe"), "new client v4");
    const std::string plain = ScrambleHandOffBytes(ReadBytes(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / 2),
              HandOffText({{L"BankClient.exe", L"local", L"replace", L"false"},
                           {L"Helper.dll", L"local", L"replace", L"true"}}));
    EXPECT_TRUE(trace_.Contains(L"成功事件：开始下载Update.cfg"));
    EXPECT_TRUE(trace_.Contains(L"成功事件：BankClient.exe下载成功"));
    // No updater in the client folder: the start fails and is reported.
    EXPECT_EQ(errors_, std::vector<int>{1});
    EXPECT_TRUE(trace_.Contains(L"启动UpdateFiles.exe失败"));
}

TEST_F(HandOff, EverythingCurrentStartsTheUpdaterWithoutAList) {
    WriteBytes(client_ + L"BankClient.exe", "new client v4");
    WriteBytes(client_ + L"Helper.dll", "helper");
    WriteLocalUpdateList(L"<Update><assembly filename='BankClient.exe' Version='4'/>"
                         L"<assembly filename='Helper.dll' Version='1'/></Update>");
    Run();
    EXPECT_EQ(server_.Requests().size(), 2u); // the list and its signature
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_TRUE(trace_.Contains(L"启动UpdateFiles.exe失败"));
}

TEST_F(HandOff, TheFirstLocalEntryOfANameCountsWhateverItsCase) {
    WriteBytes(client_ + L"BankClient.exe", "new client v4");
    WriteBytes(client_ + L"Helper.dll", "helper");
    WriteLocalUpdateList(L"<Update><assembly filename='bankclient.EXE' Version='4'/>"
                         L"<assembly filename='BankClient.exe' Version='3'/>"
                         L"<assembly filename='HELPER.DLL' Version='1'/></Update>");
    Run();
    EXPECT_EQ(server_.Requests().size(), 2u); // the list and its signature: all is current
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
}

TEST_F(HandOff, ASecondStartBesideARunningUpdateIsRefusedAtOnceAndLeavesItAlone) {
    holdSignatures_ = true;
    ASSERT_EQ(update_.UpdateBankVeyr(), 1);
    {
        std::unique_lock guard(lock_);
        ASSERT_TRUE(
            changed_.wait_for(guard, std::chrono::seconds(60), [&] { return signatureHeld_; }));
    }
    // The first update's worker now waits for the list's signature.
    auto second = std::async(std::launch::async, [this] {
        ComApartment apartment(COINIT_APARTMENTTHREADED); // as on the page's thread
        return update_.UpdateBankVeyr();
    });
    const bool prompt = second.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    ReleaseSignatures();
    EXPECT_TRUE(prompt);
    EXPECT_EQ(second.get(), 0);
    {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(60), [&] { return errors_.size() >= 2; });
    }
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg下载失败")); // the refused start
    // The running update went on with its own list and files.
    EXPECT_FALSE(trace_.Contains(L"失败事件：Update.cfg文件解密失败"));
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"BankClient.exe"), "new client v4");
    EXPECT_TRUE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_TRUE(trace_.Contains(L"启动UpdateFiles.exe失败"));
}

TEST_F(HandOff, FailuresAreReportedToThePage) {
    server_.Serve(L"http://bank/files/Helper.dll", "tampered on the way");
    Run();
    EXPECT_EQ(errors_, std::vector<int>{1});
    EXPECT_TRUE(trace_.Contains(L"失败事件：files/Helper.dll校验失败"));

    errors_.clear();
    server_.Serve(L"http://bank/Update.cfg", "not an encrypted list");
    Run();
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg文件解密失败"));

    errors_.clear();
    server_.Forget(L"http://bank/Update.cfg");
    Run();
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg下载失败"));
    EXPECT_EQ(errors_, std::vector<int>{1});
}

TEST_F(HandOff, HostileNamesNeverReachTheUpdater) {
    PublishUpdateList(L"<assembly filename='..\\..\\evil.exe' local='local' updatehandle='x' "
                      L"Version='9' mac='%ls' url='files/BankClient.exe'/>");
    Run();
    EXPECT_TRUE(trace_.Contains(L"失败事件：..\\..\\evil.exe文件名不合法"));
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    errors_.clear();
    PublishUpdateList(L"<assembly filename='a.exe' local='\\\\host\\share' updatehandle='x' "
                      L"Version='9' mac='%ls' url='files/BankClient.exe'/>");
    Run();
    EXPECT_EQ(errors_, std::vector<int>{1});
    EXPECT_EQ(server_.Requests().size(), 4u); // the two update lists and their signatures only
}

TEST_F(HandOff, NothingHappensWithoutAnUpdateListEntry) {
    versionList_ = L"<Version><Files><file id='54' Name='UtilityChs.cfg'/></Files></Version>";
    EXPECT_EQ(update_.UpdateBankVeyr(), 0);
    versionList_ = L"";
    EXPECT_EQ(update_.UpdateBankVeyr(), 0);
    EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(SignedHandOff, ASignedUpdateListIsFollowed) {
    Run();
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"Update.cfg.sig"),
              server_.Body(L"http://bank/Update.cfg.sig"));
    EXPECT_TRUE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"BankClient.exe"), "new client v4");
    EXPECT_TRUE(trace_.Contains(L"启动UpdateFiles.exe失败")); // no updater here
}

TEST_F(SignedHandOff, AnUpdateListWithoutTheBanksSignatureIsRefused) {
    server_.Forget(L"http://bank/Update.cfg.sig");
    Run();
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg签名文件不存在"));
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg文件解密失败"));
    EXPECT_EQ(errors_, std::vector<int>{1});

    // A signature of the bank, but of another list.
    errors_.clear();
    server_.Serve(L"http://bank/Update.cfg.sig", SignForTest(EncryptForTest(L"<Update/>")));
    Run();
    EXPECT_TRUE(trace_.Contains(L"失败事件：Update.cfg签名验证失败"));
    EXPECT_EQ(errors_, std::vector<int>{1});
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_EQ(server_.Requests().size(),
              4u); // the two lists and their signatures, no file they name
}

} // namespace
