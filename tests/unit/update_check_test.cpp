// The update check driven through its fetch seam: a fake server answers from
// memory and drops its files where the check asked, so every code of the
// check and every pass is reached without Wine's network or a bank server.
#include "install/update_check.h"

#include "common/com_types.h"
#include "common/text.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "tests/unit/component_fixture.h"
#include "tests/unit/crypto_fixtures.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

const std::wstring kRoot = L"http://bank.test/";
const std::wstring kVersionUrl = kRoot + L"VeyrantSettingV2/Version.cfg";

std::wstring Checksum(const std::string& bytes) {
    return ChecksumText(Crc32Update(0, bytes));
}

std::wstring Sha256(const std::string& bytes) {
    return Sha256Text(*Sha256Of(bytes));
}

struct ConfigFile {
    const wchar_t* name;
    int id;
};

// The configuration set, in the server list's order (50 is the update list).
const ConfigFile kConfigFiles[] = {{L"UtilityChs.cfg", 54},
                                   {L"UtilityEn.cfg", 55},
                                   {L"Update.cfg", 50},
                                   {L"Resource.cfg", 56},
                                   {L"EnvPatch.cfg", 57}};

class UpdateCheck : public testing::Test, protected ComponentFixture {
protected:
    UpdateCheck() {
        WriteBytes(clientFolder + L"BankClient.exe", "the installed client");
        for (const ConfigFile& file : kConfigFiles)
            PublishConfig(file.name, 1);
        PublishVersionList();
    }

    InstallFolders Folders() const {
        return InstallFolders{dir / L"system\\", dir / L"windows\\", clientFolder, dir.path()};
    }

    // A checker of the same PC that uses a file only when its signature verifies.
    UpdateChecker SigningChecker() const {
        ComponentContext context = context_;
        context.signatures = RequiredSignatures();
        return UpdateChecker(context, Folders());
    }

    // The fixture's context, its fetches answered and recorded here: the
    // check's requests (size caps, paths) are part of what it promises.
    ComponentContext CheckContext() {
        rootUrl = kRoot;
        key = TestPublicKey();
        ComponentContext context = MakeContext();
        context.fetch = [this](const FetchRequest& request) { return Fetch(request); };
        return context;
    }

    // The codes of the update call-backs posted so far.
    std::vector<int> UpdateCodes() const {
        std::vector<int> codes;
        for (const Posted& message : posted.All()) {
            if (message.message == VeyrantMessage::kUpdateResult)
                codes.push_back(message.wParam);
        }
        return codes;
    }

    int Fetch(const FetchRequest& request) {
        fetches_.push_back(request);
        if (beforeServing_)
            beforeServing_(request);
        if (fetchHook_)
            return fetchHook_(request);
        auto served = served_.find(request.url);
        if (served == served_.end() || served->second.empty())
            return 0;
        WriteBytes(request.localPath, served->second);
        if (request.observe) // as the real fetch, which hands over every block it stores
            request.observe(served->second.data(), served->second.size());
        return 1;
    }

    // The plain text of a configuration file at a version.
    std::wstring PlainText(const std::wstring& name, int version) const {
        if (name == L"Update.cfg")
            return FormatW(L"<Update><FileVersion root='%ls' value='%d'/>"
                           L"<assembly filename='BankClient.exe' local='local' "
                           L"updatehandle='replace' Version='3' mac='%ls'%ls regsvr='false' "
                           L"url='client/BankClient.exe'/>"
                           L"<assembly filename='Gone.dll' local='local' updatehandle='delete' "
                           L"Version='1' mac='0' regsvr='false' url='client/Gone.dll'/></Update>",
                           kRoot.c_str(), version, ClientChecksum().c_str(),
                           Sha256Attribute(clientSha256_).c_str());
        return FormatW(L"<Config name='%ls'><FileVersion value='%d'/></Config>", name.c_str(),
                       version);
    }

    std::wstring ClientChecksum() const {
        return Checksum(ReadBytes(clientFolder + L"BankClient.exe"));
    }

    static std::wstring Sha256Attribute(const std::wstring& value) {
        return value.empty() ? L"" : L" sha256='" + value + L"'";
    }

    // The server publishes a file with its signature beside it (while it signs).
    void Serve(const std::wstring& url, const std::string& bytes) {
        served_[url] = bytes;
        if (signing_)
            served_[url + L".sig"] = SignForTest(bytes);
        else
            served_.erase(url + L".sig");
    }

    void PublishConfig(const std::wstring& name, int version) {
        serverVersions_[name] = version;
        Serve(kRoot + L"VeyrantSettingV2/" + name, EncryptForTest(PlainText(name, version)));
    }

    void PublishEverything() {
        for (const ConfigFile& file : kConfigFiles)
            PublishConfig(file.name, serverVersions_[file.name]);
        PublishVersionList();
    }

    std::wstring VersionListText(const std::wstring& extraEntries = L"") const {
        std::wstring list =
            serial_.empty() ? L"<Version><Files>" : L"<Version serial='" + serial_ + L"'><Files>";
        for (const ConfigFile& file : kConfigFiles) {
            std::wstring url = kRoot + L"VeyrantSettingV2/" + file.name;
            auto sha256 = listedSha256_.find(file.name);
            list += FormatW(
                L"<file id='%d' Name='%ls' Url='%ls' Version='%d' mac='%ls'%ls/>", file.id,
                file.name, url.c_str(), serverVersions_.at(file.name),
                Checksum(served_.at(url)).c_str(),
                Sha256Attribute(sha256 == listedSha256_.end() ? L"" : sha256->second).c_str());
        }
        return list + extraEntries + L"</Files></Version>";
    }

    void PublishVersionList(const std::wstring& extraEntries = L"") {
        Serve(kVersionUrl, EncryptForTest(VersionListText(extraEntries)));
    }

    // A PC on which one complete check ran.
    void Populate() {
        ASSERT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
        posted.Clear();
        fetches_.clear();
    }

    std::wstring Settings(const std::wstring& name) const {
        return context_.paths.settingsFolder + name;
    }
    std::wstring SelfUpdate(const std::wstring& name) const {
        return context_.paths.selfUpdateFolder + name;
    }

    std::map<std::wstring, std::string> served_;
    std::map<std::wstring, int> serverVersions_;
    bool signing_ = true;
    std::map<std::wstring, std::wstring> listedSha256_; // by file name
    std::wstring clientSha256_;                         // listed for BankClient.exe
    std::wstring serial_;                               // the version list's, or none
    std::vector<FetchRequest> fetches_;
    std::function<int(const FetchRequest&)> fetchHook_;
    std::function<void(const FetchRequest&)> beforeServing_; // e.g. a change on the PC
    ComponentContext context_ = CheckContext();
    UpdateChecker checker_{context_, Folders()};
};

TEST_F(UpdateCheck, FreshPcFetchesTheSetVerifiesAndDecryptsIt) {
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_EQ(UpdateCodes(), std::vector<int>{48});
    for (const ConfigFile& file : kConfigFiles)
        EXPECT_EQ(ReadBytes(Settings(file.name)),
                  served_[kRoot + L"VeyrantSettingV2/" + file.name]);
    EXPECT_TRUE(FileExists(Settings(L"Version.cfg")));
    EXPECT_FALSE(FileExists(SelfUpdate(L"Version.cfg")));
    EXPECT_EQ(texts.Get(ConfigText::English), PlainText(L"UtilityEn.cfg", 1));
    EXPECT_EQ(texts.Get(ConfigText::Patch), PlainText(L"EnvPatch.cfg", 1));
    // Every file comes with its signature, and each fetch stops at the size
    // its reader accepts.
    ASSERT_EQ(fetches_.size(), 12u);
    for (size_t i = 0; i < fetches_.size(); i += 2) {
        EXPECT_EQ(fetches_[i].maxBytes, kLargestEncryptedFile);
        EXPECT_EQ(fetches_[i + 1].url, fetches_[i].url + L".sig");
        EXPECT_EQ(fetches_[i + 1].localPath, fetches_[i].localPath + L".sig");
        EXPECT_EQ(fetches_[i + 1].maxBytes, kLargestSignatureFile);
    }
    // The signatures moved into the settings folder with their files.
    for (const ConfigFile& file : kConfigFiles)
        EXPECT_EQ(ReadBytes(Settings(file.name) + L".sig"),
                  served_[kRoot + L"VeyrantSettingV2/" + file.name + L".sig"]);
    EXPECT_EQ(ReadBytes(Settings(L"Version.cfg.sig")), served_[kVersionUrl + L".sig"]);
    EXPECT_FALSE(FileExists(SelfUpdate(L"Version.cfg.sig")));
    EXPECT_TRUE(trace.Contains(L"成功事件：UtilityChs.cfg文件移动成功"));
    EXPECT_TRUE(trace.Contains(L"成功事件：Update.cfg本地文件存在且校验成功"));
    EXPECT_TRUE(trace.Contains(L"成功事件：启动检查完成"));
    EXPECT_TRUE(trace.Contains(L"成功事件：删除新Version.cfg文件完成"));
    EXPECT_EQ(checker_.AcceptedVersionList(), VersionListText());
}

TEST_F(UpdateCheck, WithoutTheServerTheLocalFilesDecide) {
    served_.clear();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kNoVersionList);
    EXPECT_TRUE(trace.Contains(L"失败事件：本地版本文件不存在"));
    EXPECT_EQ(UpdateCodes(), std::vector<int>{45});
}

TEST_F(UpdateCheck, OfflineCheckOfAPopulatedPc) {
    Populate();
    const auto server = served_;
    served_.clear();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_TRUE(trace.Contains(L"失败事件：版本文件下载失败，开始检查本地其他配置文件"));
    EXPECT_TRUE(trace.Contains(L"成功事件：应用程序文件校验成功"));

    WriteBytes(Settings(L"Resource.cfg"), "tampered");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kNoVersionList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg本地文件校验失败"));
    EXPECT_TRUE(trace.Contains(L"失败事件：验证本地其他配置文件失败"));
    EXPECT_EQ(UpdateCodes(), (std::vector<int>{48, 45}));
}

TEST_F(UpdateCheck, UnusableServerListsAndFiles) {
    served_[kVersionUrl] = "not an encrypted file";
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);

    served_[kVersionUrl] = EncryptForTest(L"<Version><Files>");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：解析版本文件失败！"));

    // A listed file the server does not have.
    PublishVersionList();
    served_.erase(kRoot + L"VeyrantSettingV2/Resource.cfg");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kFetchFailed);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg文件下载失败"));
}

TEST_F(UpdateCheck, AFileFailingItsChecksumIsNeitherUsedNorLeftBehind) {
    served_[kRoot + L"VeyrantSettingV2/EnvPatch.cfg"] = "a server error page";
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：EnvPatch.cfg文件验证失败"));
    EXPECT_FALSE(FileExists(Settings(L"EnvPatch.cfg")));
    EXPECT_FALSE(FileExists(SelfUpdate(L"EnvPatch.cfg")));
}

TEST_F(UpdateCheck, InstalledApplicationFileMismatch) {
    Populate();
    WriteBytes(clientFolder + L"BankClient.exe", "replaced by someone");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kApplicationFileBad);
    EXPECT_TRUE(trace.Contains(L"失败事件：应用程序文件校验失败"));
}

TEST_F(UpdateCheck, AFileThatCannotBeMovedIntoPlace) {
    Populate();
    PublishConfig(L"Resource.cfg", 2);
    PublishVersionList();
    // A folder where the file should go: the move cannot replace it.
    DeleteFileW(Settings(L"Resource.cfg").c_str());
    CreateDirectoryW(Settings(L"Resource.cfg").c_str(), nullptr);
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kMoveFailed);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg文件移动失败"));
}

TEST_F(UpdateCheck, NewerCataloguesBecomeTheResult) {
    Populate();
    PublishConfig(L"UtilityChs.cfg", 2);
    PublishVersionList();
    EXPECT_EQ(checker_.RunQueryUpdate(), 54);
    EXPECT_TRUE(trace.Contains(L"成功事件：UtilityChs.cfg需要升级"));
    EXPECT_TRUE(trace.Contains(L"成功事件：Utility文件有更新"));
    EXPECT_EQ(texts.Get(ConfigText::Chinese), PlainText(L"UtilityChs.cfg", 2));

    // Another file is replaced the same way, but is no catalogue. (The pending
    // result, once set, is kept for the process.)
    UpdateChecker fresh(context_,
                        InstallFolders{dir / L"s\\", dir / L"w\\", clientFolder, dir.path()});
    PublishConfig(L"Resource.cfg", 2);
    PublishVersionList();
    EXPECT_EQ(fresh.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_EQ(ReadBytes(Settings(L"Resource.cfg")),
              served_[kRoot + L"VeyrantSettingV2/Resource.cfg"]);
}

TEST_F(UpdateCheck, AnUpdateListThatCannotBeFetchedEndsTheCheck) {
    Populate();
    PublishConfig(L"Update.cfg", 2);
    PublishVersionList();
    served_.erase(kRoot + L"VeyrantSettingV2/Update.cfg");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kFetchFailed);
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg文件校验失败"));
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg文件下载失败"));
}

TEST_F(UpdateCheck, NamesFromTheServerNeverLeaveTheSettingsFolder) {
    for (const wchar_t* name : {L"..\\..\\victim.txt", L"COM1", L"C:\\victim.txt", L"a/b.cfg"}) {
        PublishVersionList(FormatW(L"<file id='60' Name='%ls' Url='%lsevil' Version='1' "
                                   L"mac='0'/>",
                                   name, kRoot.c_str()));
        served_[kRoot + L"evil"] = "written outside";
        fetches_.clear();
        EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList) << name;
        EXPECT_TRUE(trace.Contains(std::wstring(L"失败事件：") + name + L"文件名不合法")) << name;
        EXPECT_EQ(fetches_.size(), 2u) << name; // the version list and its signature only
    }
    EXPECT_FALSE(FileExists(dir / L"victim.txt"));
}

TEST_F(UpdateCheck, ADeviceNameInTheLocalListDoesNotHang) {
    Populate();
    std::wstring list = VersionListText(L"<file id='60' Name='AUX' Url='x' Version='1' mac='0'/>");
    WriteBytes(Settings(L"Version.cfg"), EncryptForTest(list));
    EXPECT_EQ(checker_.UpdateCancel(), CancelCode::kCompanionFilesBad);
    EXPECT_TRUE(trace.Contains(L"失败事件：AUX本地文件校验失败"));
}

TEST_F(UpdateCheck, ACheckThatThrowsStillReports) {
    fetchHook_ = [](const FetchRequest&) -> int { throw std::runtime_error("network stack gone"); };
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_EQ(UpdateCodes(), std::vector<int>{46});
    EXPECT_TRUE(trace.Contains(L"失败事件：QueryUpdate 异常：network stack gone"));
}

TEST_F(UpdateCheck, CancelNeverWaitsForARunningCheck) {
    Populate();
    std::mutex lock;
    std::condition_variable changed;
    bool fetching = false, release = false;
    fetchHook_ = [&](const FetchRequest&) {
        std::unique_lock guard(lock);
        fetching = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
        return 0;
    };
    std::thread check([&] {
        ComApartment apartment(COINIT_MULTITHREADED); // as the product's worker has
        checker_.RunQueryUpdate();
    });
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return fetching; });
    }
    // The check is inside its fetch; the page's cancel must answer now.
    EXPECT_EQ(checker_.UpdateCancel(), CancelCode::kVerified);
    {
        std::lock_guard guard(lock);
        release = true;
    }
    changed.notify_all();
    check.join();
    EXPECT_EQ(UpdateCodes(), std::vector<int>{48});
}

TEST_F(UpdateCheck, CancelCodes) {
    EXPECT_EQ(checker_.UpdateCancel(), CancelCode::kCompanionFilesBad); // nothing local yet
    Populate();
    EXPECT_EQ(checker_.UpdateCancel(), CancelCode::kVerified);
    WriteBytes(clientFolder + L"BankClient.exe", "changed");
    EXPECT_EQ(checker_.UpdateCancel(), UpdateCode::kApplicationFileBad);
    // Companion files that match the local list but do not decrypt.
    WriteBytes(Settings(L"UtilityEn.cfg"), "garbage");
    std::wstring list = VersionListText();
    list = ReplaceAll(list, Checksum(served_[kRoot + L"VeyrantSettingV2/UtilityEn.cfg"]),
                      Checksum("garbage"));
    WriteBytes(Settings(L"Version.cfg"), EncryptForTest(list));
    EXPECT_EQ(checker_.UpdateCancel(), CancelCode::kConfigurationUnreadable);
    EXPECT_TRUE(trace.Contains(L"失败事件：UtilityEn.cfg解密失败"));
}

// --- Signatures required ---------------------------------------------------------

TEST_F(UpdateCheck, RequiredSignaturesAcceptTheSignedServerOnlineAndOffline) {
    UpdateChecker checker = SigningChecker();
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_EQ(texts.Get(ConfigText::Resource), PlainText(L"Resource.cfg", 1));
    EXPECT_TRUE(trace.Contains(L"成功事件：配置文件解密成功"));
    // Offline, the copies are checked against the signatures moved with them.
    EXPECT_EQ(checker.UpdateCancel(), CancelCode::kVerified);
}

TEST_F(UpdateCheck, RequiredSignaturesRefuseAVersionListTheBankDidNotSign) {
    UpdateChecker checker = SigningChecker();
    served_.erase(kVersionUrl + L".sig");
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Version.cfg签名文件不存在"));
    EXPECT_EQ(fetches_.size(), 2u); // nothing the list names was fetched
    EXPECT_FALSE(FileExists(Settings(L"UtilityChs.cfg")));

    // The bank's signature of another version list.
    served_[kVersionUrl + L".sig"] = SignForTest(EncryptForTest(VersionListText()));
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Version.cfg签名验证失败"));
    EXPECT_FALSE(FileExists(Settings(L"Version.cfg")));
}

TEST_F(UpdateCheck, RequiredSignaturesStopTheSetAtAnUnsignedFile) {
    UpdateChecker checker = SigningChecker();
    served_.erase(kRoot + L"VeyrantSettingV2/Resource.cfg.sig");
    // A failure, never "up to date", and the unsigned file is not moved into place.
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg签名文件不存在"));
    EXPECT_FALSE(FileExists(Settings(L"Resource.cfg")));
    EXPECT_EQ(texts.Get(ConfigText::Resource), L"");
    // The update list must be signed to be checked against at all (with the
    // resource text signed again, so the check reaches the update list).
    Serve(kRoot + L"VeyrantSettingV2/Resource.cfg",
          served_[kRoot + L"VeyrantSettingV2/Resource.cfg"]);
    served_.erase(kRoot + L"VeyrantSettingV2/Update.cfg.sig");
    DeleteFileW(Settings(L"Update.cfg.sig").c_str());
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Update.cfg签名文件不存在"));
}

TEST_F(UpdateCheck, APcFilledBeforeSignaturesIsRefilledOnceTheyAreRequired) {
    signing_ = false;
    PublishEverything();
    Populate();
    EXPECT_FALSE(FileExists(Settings(L"UtilityChs.cfg.sig")));
    signing_ = true;
    PublishEverything();
    UpdateChecker checker = SigningChecker();
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    for (const ConfigFile& file : kConfigFiles)
        EXPECT_TRUE(FileExists(Settings(file.name) + L".sig")) << file.name;
    EXPECT_TRUE(trace.Contains(L"成功事件：配置文件解密成功"));
}

TEST_F(UpdateCheck, RequiredSignaturesOfflineRefuseALocalCopyWithoutOne) {
    UpdateChecker checker = SigningChecker();
    ASSERT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    DeleteFileW(Settings(L"EnvPatch.cfg.sig").c_str());
    EXPECT_EQ(checker.UpdateCancel(), CancelCode::kCompanionFilesBad);
    EXPECT_TRUE(trace.Contains(L"失败事件：EnvPatch.cfg签名文件不存在"));
    DeleteFileW(Settings(L"Version.cfg.sig").c_str());
    EXPECT_EQ(checker.UpdateCancel(), CancelCode::kCompanionFilesBad);
    EXPECT_TRUE(trace.Contains(L"失败事件：Version.cfg签名文件不存在"));
}

// --- Listed SHA-256 --------------------------------------------------------------

TEST_F(UpdateCheck, AListedSha256MustMatchBesideTheChecksum) {
    const std::string resource = served_[kRoot + L"VeyrantSettingV2/Resource.cfg"];
    // The checksum of the served file, but the SHA-256 of another one.
    listedSha256_[L"Resource.cfg"] = Sha256(resource + "x");
    PublishVersionList();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg文件验证失败"));
    EXPECT_FALSE(FileExists(Settings(L"Resource.cfg")));
    EXPECT_FALSE(FileExists(SelfUpdate(L"Resource.cfg.sig")));

    listedSha256_[L"Resource.cfg"] = ToUpper(Sha256(resource)); // case does not matter
    PublishVersionList();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_EQ(ReadBytes(Settings(L"Resource.cfg")), resource);
}

TEST_F(UpdateCheck, AnInstalledFileMustMatchItsListedSha256) {
    clientSha256_ = Sha256("another client with the same checksum");
    PublishConfig(L"Update.cfg", 1);
    PublishVersionList();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kApplicationFileBad);
    const std::wstring expected =
        L"失败事件：" + clientFolder + L"BankClient.exe校验失败 服务器：" + ClientChecksum() +
        L" 本地：" + ClientChecksum() + L" sha256 服务器：" + clientSha256_ + L" 本地：" +
        Sha256(ReadBytes(clientFolder + L"BankClient.exe"));
    EXPECT_TRUE(trace.Contains(expected)) << expected;
}

} // namespace

// --- Replayed version lists and companion signatures ------------------------------

TEST_F(UpdateCheck, AVersionListOlderThanOneAcceptedIsRefused) {
    const struct {
        const wchar_t* serial; // published; empty: none
        int code;
    } steps[] = {
        {L"", UpdateCode::kCompleted}, // a bank that never numbered its lists
        {L"5", UpdateCode::kCompleted},
        {L"5", UpdateCode::kCompleted},   // the same list again
        {L"4", UpdateCode::kInvalidList}, // an older one the bank once signed
        {L"", UpdateCode::kInvalidList},  // numbering dropped once it began
        {L"5x", UpdateCode::kInvalidList},
        {L"99999999999999999999", UpdateCode::kInvalidList}, // beyond 64 bits
        {L"6", UpdateCode::kCompleted},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.serial);
        serial_ = step.serial;
        PublishVersionList();
        EXPECT_EQ(checker_.RunQueryUpdate(), step.code);
    }
    EXPECT_TRUE(trace.Contains(L"失败事件：版本文件序号无效或低于已接受的序号5"));
    EXPECT_EQ(ReadBytes(context_.paths.VersionSerialFile()), "6");
    // A refused list was neither kept nor handed to the self-update.
    serial_ = L"3";
    PublishVersionList();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_FALSE(checker_.AcceptedVersionList());
}

TEST_F(UpdateCheck, RequiredSignaturesRefuseAFileSignedForAnotherOne) {
    UpdateChecker checker = SigningChecker();
    // A valid bank signature, of another file.
    served_[kRoot + L"VeyrantSettingV2/Resource.cfg.sig"] =
        SignForTest(EncryptForTest(PlainText(L"EnvPatch.cfg", 1)));
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kInvalidList);
    EXPECT_FALSE(FileExists(Settings(L"Resource.cfg")));
    EXPECT_EQ(texts.Get(ConfigText::Resource), L"");
}

// --- What a check remembers of files still the same ----------------------------

namespace {

// What was read within a time stamp step of its last write is not remembered.
void LetTheFilesSettle() {
    Sleep(250);
}

// New bytes in place, the time of the last write put back as it was.
void RewriteKeepingItsTime(const std::wstring& path, const std::string& bytes) {
    FILETIME written{};
    {
        FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file && GetFileTime(file.get(), nullptr, nullptr, &written));
    }
    WriteBytes(path, bytes);
    FileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &written));
}

} // namespace

TEST_F(UpdateCheck, ACheckUsesWhatItLearntOnlyOfFilesThatAreStillTheSame) {
    Populate();
    LetTheFilesSettle();
    ASSERT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted); // reads and learns
    {
        // A copy no one can read now: the check knows it as it still is.
        FileHandle locked(CreateFileW(Settings(L"Resource.cfg").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked);
        EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
        EXPECT_FALSE(trace.Contains(L"失败事件：Resource.cfg校验失败"));
    }
    // Another text stored meanwhile is replaced by the file's own again.
    texts.Set(ConfigText::Resource, L"<another/>");
    // Bytes changed in place with the old time put back are read again: the
    // copy fails its checksum and is fetched again.
    std::string patch = ReadBytes(Settings(L"EnvPatch.cfg"));
    patch.back() ^= 1;
    RewriteKeepingItsTime(Settings(L"EnvPatch.cfg"), patch);
    trace.Take();
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_TRUE(trace.Contains(L"失败事件：EnvPatch.cfg校验失败"));
    EXPECT_EQ(ReadBytes(Settings(L"EnvPatch.cfg")),
              served_[kRoot + L"VeyrantSettingV2/EnvPatch.cfg"]);
    EXPECT_EQ(texts.Get(ConfigText::Resource), PlainText(L"Resource.cfg", 1));
    EXPECT_EQ(texts.Get(ConfigText::Patch), PlainText(L"EnvPatch.cfg", 1));

    // A copy replaced while a check runs gives that check no text; the next
    // check finds it changed and fetches it again.
    LetTheFilesSettle();
    ASSERT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    texts.Set(ConfigText::Resource, L"<another/>");
    bool replaced = false;
    beforeServing_ = [&](const FetchRequest&) {
        if (!std::exchange(replaced, true))
            WriteBytes(Settings(L"Resource.cfg"), EncryptForTest(PlainText(L"Resource.cfg", 2)));
    };
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    beforeServing_ = nullptr;
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg解密失败"));
    EXPECT_EQ(texts.Get(ConfigText::Resource), L"<another/>");
    EXPECT_EQ(checker_.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_EQ(texts.Get(ConfigText::Resource), PlainText(L"Resource.cfg", 1));
}

TEST_F(UpdateCheck, ARememberedFileIsJudgedAgainOnceItsSignatureChanges) {
    UpdateChecker checker = SigningChecker();
    ASSERT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    LetTheFilesSettle();
    ASSERT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    WriteBytes(Settings(L"Resource.cfg.sig"), SignForTest("other bytes"));
    trace.Take();
    EXPECT_EQ(checker.RunQueryUpdate(), UpdateCode::kCompleted);
    EXPECT_TRUE(trace.Contains(L"失败事件：Resource.cfg签名验证失败"));
    EXPECT_EQ(ReadBytes(Settings(L"Resource.cfg.sig")),
              served_[kRoot + L"VeyrantSettingV2/Resource.cfg.sig"]);
}
