// The update check: compares the server's encrypted version list with the
// settings folder, brings the encrypted configuration files up to date,
// verifies the installed application files and decrypts the configuration
// set. QueryUpdate runs it on a worker thread and reports a code through the
// page's "OnUpdate"; UpdateCancel only re-checks what is on the PC.
#pragma once

#include "common/handles.h"
#include "config/component_context.h"
#include "config/user_settings.h"
#include "install/install_locations.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

// The version list's anti-replay serial: the root element's "serial"
// attribute, a decimal number. A list without one reads as 0; a text that is
// no such number is nothing (the list is refused).
std::optional<unsigned long long> VersionSerialOf(const XmlNode& list);
// Whether a list with `serial` may be used on a PC that accepted `highest`
// before: never an older one than the newest accepted.
constexpr bool SerialAcceptable(unsigned long long serial, unsigned long long highest) {
    return serial >= highest;
}

// Results of the application file check.
enum class AppCheck { Passed = 0, UpdateListUnreadable = 1, FileMismatch = 2 };

// Threads: StartQueryUpdate and UpdateCancel run on the page's thread, the
// check itself on its worker. UpdateCancel never waits for a running check.
class XmlNode;

class UpdateChecker {
public:
    UpdateChecker(const ComponentContext& context, InstallFolders installFolders);

    // Starts the QueryUpdate worker; false when no thread could be created.
    bool StartQueryUpdate();
    // The whole check of the worker, ending with the code posted to the page
    // (also returned). A check that throws posts kInvalidList.
    int RunQueryUpdate();
    short UpdateCancel();

    // The deciphered server version list of the last check, when that check
    // accepted it (it ended with 47, 48, 54 or 55): the self-update uses no other.
    std::optional<std::wstring> AcceptedVersionList() const;
    // Held by a running check, and by the self-update, which works in the same folder.
    std::mutex& SelfUpdateFolderLock() { return runLock_; }

private:
    struct ListEntry;
    struct FetchEvents;     // the trace texts of one pass
    class Speculation;      // a fetched body's text, made beside the next fetch
    struct HeldFile;        // a file's bytes and what one check learnt of them
    class HeldFiles;        // the settings folder's files as one check has them
    struct RememberedFiles; // what earlier checks learnt of files still the same
    int Check();
    int CheckWith(HeldFiles& held);
    int Compare(HeldFile& fetchedList, HeldFiles& held);
    int FirstPass(const std::vector<ListEntry>& entries, HeldFiles& held);
    int UpdateListPass(const std::vector<ListEntry>& entries, long long& localVersion,
                       HeldFiles& held);
    int ThirdPass(const std::vector<ListEntry>& entries, HeldFiles& held);
    int CheckSerial(const XmlNode& list, unsigned long long& serial) const;
    void RememberSerial(unsigned long long serial) const;
    int FetchIntoPlace(const ListEntry& entry, const FetchEvents& events, HeldFiles& held);
    int RunApplicationCheckStep(HeldFiles& held);
    AppCheck ApplicationFileCheck(HeldFiles& held) const;
    bool VerifyLocalCompanionFiles(HeldFiles& held) const;
    bool StoreHeldSet(HeldFiles& held, bool keepTexts) const;
    void PostResult(int code) const;
    void Trace(const std::wstring& text) const;
    void TraceEntry(bool success, const ListEntry& entry, const wchar_t* event) const;

    const ComponentContext context_;
    const InstallFolders installFolders_;
    const UserSettings userSettings_;

    std::mutex runLock_;           // held by a running check: two checks would move the same files
    mutable std::mutex stateLock_; // guards the two fields below (worker writes, page reads)
    std::optional<std::wstring> acceptedVersionList_;
    int pendingResult_ = 0; // 54 or 55 once such an entry was updated; never reset
    std::shared_ptr<RememberedFiles> remembered_; // the check's worker only, under runLock_
    KernelHandle thread_;                         // the last worker started; page thread only
};
