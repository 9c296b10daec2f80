// The update check: compares the server's encrypted version list with the
// settings folder, brings the encrypted configuration files up to date,
// verifies the installed application files and decrypts the configuration
// set. QueryUpdate runs it on a worker thread and reports a code through the
// page's "OnUpdate"; UpdateCancel only re-checks what is on the PC.
#pragma once

#include "config/config_set.h"
#include "config/settings_paths.h"
#include "config/user_settings.h"
#include "install/http_fetch.h"
#include "install/install_locations.h"

#include <functional>
#include <mutex>
#include <string>

class TraceLog;
class XmlNode;

namespace UpdateCode {
constexpr int kMoveFailed = 44;
constexpr int kNoVersionList = 45;
constexpr int kInvalidList = 46;
constexpr int kApplicationFileBad = 47;
constexpr int kCompleted = 48;
constexpr int kFetchFailed = 49;
} // namespace UpdateCode

namespace CancelCode {
constexpr short kCompanionFilesBad = 0;
constexpr short kConfigurationUnreadable = 1;
constexpr short kVerified = 3;
} // namespace CancelCode

// Results of the application file check.
enum class AppCheck { Passed = 0, UpdateListUnreadable = 1, FileMismatch = 2 };

struct UpdateCheckSetup {
    SettingsPaths paths;
    std::wstring rootUrl;
    InstallFolders installFolders;
    RsaPublicKey key;
};

class UpdateChecker {
public:
    using PostResult = std::function<void(int code)>;

    // `current` is the engine's fetch target (URL, local path, item id).
    UpdateChecker(UpdateCheckSetup setup, const TraceLog& trace, ConfigurationTexts& texts,
                  FetchTarget& current);

    // The whole check of the QueryUpdate worker; `post` delivers the code.
    int RunQueryUpdate(const PostResult& post);
    short UpdateCancel();

    int ApplicationFileCheck() const;
    bool VerifyLocalCompanionFiles() const;

    // The deciphered server version list of the last check (for the self-update).
    std::wstring VersionListText() const;

private:
    struct ListEntry;
    int Compare();
    int FirstPass(const std::vector<ListEntry>& entries);
    int UpdateListPass(const std::vector<ListEntry>& entries, long long& localVersion);
    int ThirdPass(const std::vector<ListEntry>& entries);
    struct FetchEvents; // the trace texts of one pass
    int FetchIntoPlace(const ListEntry& entry, const FetchEvents& events);
    bool FetchEntry(const ListEntry& entry);
    int RunApplicationCheckStep();
    void Trace(const std::wstring& text) const;
    void TraceEntry(bool success, const ListEntry& entry, const wchar_t* event) const;

    const UpdateCheckSetup setup_;
    const TraceLog& trace_;
    ConfigurationTexts& texts_;
    FetchTarget& current_;
    const UserSettings userSettings_;

    // Two checks at once would move the same files under each other.
    std::mutex runLock_;
    mutable std::mutex stateLock_;
    std::wstring versionListText_;
    int pendingResult_ = 0; // 54 or 55 once such an entry was updated; never reset
};
