// Read and execute access for the local "Users" group on installed files, so
// that ordinary accounts can use what an administrator installed. Messages go
// to standard output with wprintf; the callers do not act on the results.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// GENERIC_READ | GENERIC_EXECUTE
constexpr DWORD kUsersAccess = 0xA0000000;

// 1 when the grant succeeded, and when the system folder is unknown (nothing
// is done then); 0 when the system drive is not NTFS, the version query
// failed or the grant failed ("AddAccessRights() failed.\n" printed).
BOOL AddAccessRights(const std::wstring& path);

// Puts an access-allowed entry for the account, inherited by files and
// folders below, into the path's access list. 1 when applied; else 0 after
// printing the failing call's message.
BOOL GrantAccess(const std::wstring& path, const std::wstring& account, DWORD mask);

// Whether a file-system name is NTFS (its beginning, any case).
bool IsNtfsName(const std::wstring& fileSystem);

// A zeroed block of the process heap, freed by its owner.
class HeapBlock {
public:
    HeapBlock() = default;
    // An empty owner when the heap refuses.
    static HeapBlock Allocate(size_t size);
    ~HeapBlock();
    HeapBlock(HeapBlock&& other) noexcept;
    HeapBlock& operator=(HeapBlock&& other) noexcept;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    void* get() const { return memory_; }
    explicit operator bool() const { return memory_ != nullptr; }

private:
    void* memory_ = nullptr;
};

// Where a grant stopped: the call's message (a wprintf format taking the
// error as %d) and the system error code.
struct GrantFailure {
    const wchar_t* message;
    DWORD error;
};

// The new access list from the current one (null when the path has none):
// the entries before the first inherited one without the account's, then the
// new entry (allowed, `mask`, inherited by files and folders below), then the
// first inherited entry and every entry after it as they stand, the account's
// included. Only the memory ACL functions are used.
std::optional<GrantFailure> BuildGrantedAcl(const ACL* current, PSID account, DWORD mask,
                                            HeapBlock& acl);
