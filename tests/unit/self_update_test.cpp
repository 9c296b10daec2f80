// The self-update hand-off: the updater's list byte for byte, the decisions
// on what to replace, and the whole hand-off as a job of the work queue,
// through the fake server up to the start of the updater.
#include "install/self_update.h"

#include "common/text.h"
#include "config/xml_node.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "tests/unit/component_fixture.h"
#include "tests/unit/crypto_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

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

TEST(HandOffList, AnyNameReadsBackAsWritten) {
    const HandOffFile odd{L"R&D <\"new\">.exe", L"local", L"replace\tnow", L"a\r\nb"};
    XmlNode list;
    ASSERT_TRUE(list.LoadXml(HandOffText({odd})));
    ASSERT_EQ(list.ChildCount(), 1u);
    EXPECT_EQ(list.Child(0)->GetAttribute(L"filename", L""), odd.filename);
    EXPECT_EQ(list.Child(0)->GetAttribute(L"updatehandle", L""), odd.updatehandle);
    EXPECT_EQ(list.Child(0)->GetAttribute(L"regsvr", L""), odd.regsvr);
}

TEST(HandOffList, WhatNeedsReplacing) {
    EXPECT_TRUE(NeedsReplacing(2, 3, true));  // older
    EXPECT_FALSE(NeedsReplacing(3, 3, true)); // equal and the same file
    EXPECT_FALSE(NeedsReplacing(4, 3, true)); // newer installed
    EXPECT_TRUE(NeedsReplacing(3, 3, false)); // same version, another file or none
}

// The hand-off on a PC whose control requires signatures or not; the server
// publishes the update list with its signature.
template <SignaturePolicy Policy>
class HandOffWith : public testing::Test, protected ComponentFixture {
protected:
    HandOffWith() {
        CreateDirectoryW(context_.paths.dataFolder.c_str(), nullptr);
        CreateDirectoryW(context_.paths.settingsFolder.c_str(), nullptr);
        WriteBytes(clientFolder + L"BankClient.exe", "installed client v3");
        Serve(L"files/BankClient.exe", "new client v4");
        Serve(L"files/Helper.dll", "helper");
        Serve(L"files/UpdateFiles.exe", "new updater");
        PublishUpdateList(Assembly(L"BankClient.exe", 4, L"files/BankClient.exe") +
                          L"<assembly filename='Gone.dll' local='local' updatehandle='Delete' "
                          L"Version='9' mac='0' url='files/Gone.dll'/>" +
                          Assembly(L"Helper.dll", 1, L"files/Helper.dll", L"true"));
        WriteLocalUpdateList(L"<Update><assembly filename='BankClient.exe' Version='3'/>"
                             L"<assembly filename='Helper.dll' Version='1'/></Update>");
    }
    ~HandOffWith() override { queue_.Close(); }

    // An update-list entry with the served file's checksums.
    std::wstring Assembly(const std::wstring& name, int version, const std::wstring& url,
                          const std::wstring& regsvr = L"false") {
        const std::string body = server.Body(L"http://bank/" + url);
        return FormatW(L"<assembly filename='%ls' local='local' updatehandle='replace' "
                       L"Version='%d' mac='%ls' sha256='%ls' regsvr='%ls' url='%ls'/>",
                       name.c_str(), version, Checksum(body).c_str(),
                       Sha256Text(*Sha256Of(body)).c_str(), regsvr.c_str(), url.c_str());
    }

    // The settings folder's update list, signed as the update check leaves it.
    void WriteLocalUpdateList(const std::wstring& text) {
        const std::string file = EncryptForTest(text);
        WriteBytes(context_.paths.updateListFile, file);
        WriteBytes(context_.paths.updateListFile + L".sig", SignForTest(file));
    }

    void Serve(const std::wstring& url, const std::string& body) {
        server.Serve(L"http://bank/" + url, body);
    }

    void PublishUpdateList(const std::wstring& assemblies) {
        const std::wstring list =
            L"<Update><FileVersion root='http://bank/' value='4'/>" + assemblies + L"</Update>";
        const std::string file = EncryptForTest(list);
        server.Serve(L"http://bank/Update.cfg", file);
        server.Serve(L"http://bank/Update.cfg.sig", SignForTest(file));
    }

    // Runs the hand-off until the updater would start or a failure was posted.
    void Run() {
        posted.Clear();
        ASSERT_EQ(update_.UpdateBankVeyr(), 1);
        posted.WaitUntil([&](const std::vector<Posted>& all) { return !all.empty() || exited_; });
        queue_.WaitUntilIdle();
    }

    std::vector<std::wstring> Errors() const { return posted.Texts(); }
    std::wstring SelfUpdateFolder() const { return context_.paths.selfUpdateFolder; }

    ComponentContext SignedContext() {
        key = TestPublicKey();
        if (Policy == SignaturePolicy::Required)
            signatures = RequiredSignatures();
        return MakeContext();
    }

    ComponentContext context_ = SignedContext();
    std::atomic<bool> exited_ = false;
    std::optional<std::wstring> versionList_ =
        L"<Version><Files><file id='54' Name='UtilityChs.cfg'/>"
        L"<file id='50' Name='Update.cfg' Url='http://bank/Update.cfg'/></Files></Version>";
    std::mutex folderLock_;
    WorkQueue queue_{trace};
    DownloadReporter reporter_{posted.Poster(), trace};
    SelfUpdate update_{context_,
                       InstallFolders{dir / L"sys\\", dir / L"win\\", clientFolder, dir.path()},
                       queue_,
                       reporter_,
                       [this] { return versionList_; },
                       folderLock_,
                       [this](UINT) { exited_ = true; }};
};
using HandOff = HandOffWith<SignaturePolicy::Off>;
using SignedHandOff = HandOffWith<SignaturePolicy::Required>;

const std::vector<std::wstring> kStartFailed{L"self-update error 1"};

TEST_F(HandOff, NewerAndChangedFilesAreFetchedListedAndVerified) {
    // Helper.dll is listed at the installed version but is not installed here.
    Run();
    EXPECT_EQ(server.Requests(),
              (std::vector<std::wstring>{L"http://bank/Update.cfg.sig", L"http://bank/Update.cfg",
                                         L"http://bank/files/BankClient.exe",
                                         L"http://bank/files/Helper.dll"}));
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"BankClient.exe"), "new client v4");
    const std::string plain = ScrambleHandOffBytes(ReadBytes(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / 2),
              HandOffText({{L"BankClient.exe", L"local", L"replace", L"false"},
                           {L"Helper.dll", L"local", L"replace", L"true"}}));
    EXPECT_TRUE(trace.Contains(L"成功事件：开始下载Update.cfg"));
    EXPECT_TRUE(trace.Contains(L"成功事件：BankClient.exe下载成功"));
    // No updater in the client folder: the start fails and is reported.
    EXPECT_EQ(Errors(), kStartFailed);
    EXPECT_TRUE(trace.Contains(L"启动UpdateFiles.exe失败"));
    EXPECT_FALSE(update_.Pending());
}

TEST_F(HandOff, WhatAnEarlierHandOffLeftIsNeverHandedOver) {
    // A failed hand-off left a list and an updater that failed its check.
    CreateDirectoryW(SelfUpdateFolder().c_str(), nullptr);
    WriteBytes(SelfUpdateFolder() + L"waiter.cfg", ScrambleHandOff(HandOffText({{L"Old.dll"}})));
    WriteBytes(SelfUpdateFolder() + L"UpdateFiles.exe", "an updater nobody verified");
    WriteBytes(clientFolder + L"UpdateFiles.exe", "installed updater");
    // Now every listed file is current.
    WriteBytes(clientFolder + L"BankClient.exe", "new client v4");
    WriteBytes(clientFolder + L"Helper.dll", "helper");
    WriteLocalUpdateList(L"<Update><assembly filename='BANKCLIENT.EXE' Version='4'/>"
                         L"<assembly filename='BankClient.exe' Version='3'/>"
                         L"<assembly filename='Helper.dll' Version='1'/></Update>");
    Run();
    EXPECT_EQ(server.Requests().size(), 2u); // the list and its signature: all is current
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"UpdateFiles.exe"));
    EXPECT_EQ(ReadBytes(clientFolder + L"UpdateFiles.exe"), "installed updater");
}

TEST_F(HandOff, TheUpdaterStartedIsTheOneJustVerified) {
    WriteBytes(clientFolder + L"UpdateFiles.exe", "installed updater");
    PublishUpdateList(Assembly(L"UpdateFiles.exe", 2, L"files/UpdateFiles.exe"));
    Serve(L"files/UpdateFiles.exe", "an updater changed on the way");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：files/UpdateFiles.exe校验失败"));
    EXPECT_EQ(ReadBytes(clientFolder + L"UpdateFiles.exe"), "installed updater");
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"UpdateFiles.exe"));

    Serve(L"files/UpdateFiles.exe", "new updater");
    PublishUpdateList(Assembly(L"UpdateFiles.exe", 2, L"files/UpdateFiles.exe"));
    Run();
    // Verified, moved into place, then started (here it is no program: the start fails).
    EXPECT_TRUE(trace.Contains(L"成功事件：updateFiles.exe已更新"));
    EXPECT_EQ(ReadBytes(clientFolder + L"UpdateFiles.exe"), "new updater");
    EXPECT_EQ(Errors(), kStartFailed);
}

TEST_F(HandOff, ASecondStartWhileOneIsPendingIsRefusedQuietly) {
    std::unique_lock held(folderLock_); // as a running update check holds the folder
    ASSERT_EQ(update_.UpdateBankVeyr(), 1);
    EXPECT_EQ(update_.UpdateBankVeyr(), 0);
    EXPECT_TRUE(trace.Contains(L"失败事件：自动更新正在进行，忽略本次请求"));
    held.unlock();
    posted.WaitUntil([](const std::vector<Posted>& all) { return !all.empty(); });
    queue_.WaitUntilIdle();
    // One update, one report: the refused start posted nothing and left the first alone.
    EXPECT_EQ(Errors(), kStartFailed);
    EXPECT_TRUE(trace.Contains(L"启动UpdateFiles.exe失败"));
    EXPECT_FALSE(trace.Contains(L"失败事件：Update.cfg下载失败"));
}

TEST_F(HandOff, FailuresAreReportedToThePage) {
    Serve(L"files/Helper.dll", "tampered on the way");
    Run();
    EXPECT_EQ(Errors(), kStartFailed);
    EXPECT_TRUE(trace.Contains(L"失败事件：files/Helper.dll校验失败"));
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"Helper.dll"));

    server.Serve(L"http://bank/Update.cfg", "not an encrypted list");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg文件解密失败"));

    server.Forget(L"http://bank/Update.cfg");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg下载失败"));
    EXPECT_EQ(Errors(), kStartFailed);
}

TEST_F(HandOff, OnlyTheUpdateListTheCheckAcceptedIsUsed) {
    const std::string list = server.Body(L"http://bank/Update.cfg");
    versionList_ = FormatW(L"<Version><Files><file id='51' Name='Update.cfg' "
                           L"Url='http://bank/Update.cfg' mac='%ls'/></Files></Version>",
                           Checksum(EncryptForTest(L"<Update/>")).c_str());
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg校验失败"));
    EXPECT_EQ(Errors(), kStartFailed);
    // No accepted version list (the last check refused its list): nothing starts.
    versionList_.reset();
    EXPECT_EQ(update_.UpdateBankVeyr(), 0);
    versionList_ = L"<Version><Files><file id='54' Name='UtilityChs.cfg'/></Files></Version>";
    EXPECT_EQ(update_.UpdateBankVeyr(), 0);
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(HandOff, HostileNamesNeverReachTheUpdater) {
    PublishUpdateList(L"<assembly filename='..\\..\\evil.exe' local='local' updatehandle='x' "
                      L"Version='9' mac='0' url='files/BankClient.exe'/>");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：..\\..\\evil.exe文件名不合法"));
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    PublishUpdateList(L"<assembly filename='a.exe' local='\\\\host\\share' updatehandle='x' "
                      L"Version='9' mac='0' url='files/BankClient.exe'/>");
    Run();
    EXPECT_EQ(Errors(), kStartFailed);
    EXPECT_EQ(server.Requests().size(), 4u); // the two update lists and their signatures only
}

TEST_F(SignedHandOff, ASignedUpdateListIsFollowed) {
    Run();
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"Update.cfg.sig"),
              server.Body(L"http://bank/Update.cfg.sig"));
    EXPECT_TRUE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));
    EXPECT_EQ(ReadBytes(SelfUpdateFolder() + L"BankClient.exe"), "new client v4");
    EXPECT_TRUE(trace.Contains(L"启动UpdateFiles.exe失败")); // no updater here
}

TEST_F(SignedHandOff, AnUpdateListWithoutTheBanksSignatureOrBindingIsRefused) {
    server.Forget(L"http://bank/Update.cfg.sig");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg签名文件不存在"));
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg文件解密失败"));
    EXPECT_EQ(Errors(), kStartFailed);

    // A signature of the bank, but of another list.
    server.Serve(L"http://bank/Update.cfg.sig", SignForTest(EncryptForTest(L"<Update/>")));
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg签名验证失败"));
    EXPECT_FALSE(FileExists(SelfUpdateFolder() + L"waiter.cfg"));

    // A signed list whose file is bound by its CRC alone: anyone can match that.
    PublishUpdateList(L"<assembly filename='BankClient.exe' local='local' updatehandle='replace' "
                      L"Version='4' mac='" +
                      Checksum("new client v4") + L"' url='files/BankClient.exe'/>");
    Run();
    EXPECT_TRUE(trace.Contains(L"失败事件：BankClient.exe未列出sha256"));
    EXPECT_EQ(Errors(), kStartFailed);
    EXPECT_EQ(server.Requests().size(), 6u); // the three lists and their signatures only
}

} // namespace
