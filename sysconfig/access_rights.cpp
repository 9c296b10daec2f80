#include "sysconfig/access_rights.h"

#include "common/handles.h"

#include <aclapi.h>

#include <cwchar>
#include <utility>

namespace {

// A security descriptor that the system allocated for us.
struct LocalMemoryTraits {
    using Handle = PSECURITY_DESCRIPTOR;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};
using LocalSecurityDescriptor = UniqueHandle<LocalMemoryTraits>;

constexpr SECURITY_INFORMATION kApplyInformation =
    DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION; // 0x20000004
// Bytes of an access-allowed entry before its security identifier.
constexpr DWORD kAllowedAceHead = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
constexpr BYTE kNewEntryFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

GrantFailure LastError(const wchar_t* message) {
    return {message, GetLastError()};
}

// The security identifier of an entry whose layout puts it right after the
// mask, when it is well formed; null for object entries and anything else.
PSID AceSid(const ACE_HEADER* ace) {
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
        break;
    default:
        return nullptr;
    }
    if (ace->AceSize < kAllowedAceHead + 8) // the smallest identifier has 8 bytes
        return nullptr;
    PSID sid = const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart);
    if (!IsValidSid(sid) || GetLengthSid(sid) > ace->AceSize - kAllowedAceHead)
        return nullptr;
    return sid;
}

bool IsAccountEntry(const ACE_HEADER* ace, PSID account) {
    PSID sid = AceSid(ace);
    return sid && EqualSid(sid, account);
}

bool IsInherited(const ACE_HEADER* ace) {
    return (ace->AceFlags & INHERITED_ACE) != 0;
}

std::optional<GrantFailure> CopyAce(ACL* to, const ACL* from, const ACE_HEADER* ace) {
    if (!AddAce(to, from->AclRevision, MAXDWORD, const_cast<ACE_HEADER*>(ace), ace->AceSize))
        return LastError(L"AddAce() failed. Error %d\n");
    return std::nullopt;
}

std::optional<GrantFailure> AppendNewEntry(ACL* acl, PSID account, DWORD mask) {
    if (!AddAccessAllowedAce(acl, ACL_REVISION, mask, account))
        return LastError(L"AddAccessAllowedAce() failed. Error %d\n");
    void* added = nullptr;
    if (!GetAce(acl, acl->AceCount - 1, &added))
        return LastError(L"GetAce() failed. Error %d\n");
    static_cast<ACE_HEADER*>(added)->AceFlags = kNewEntryFlags;
    return std::nullopt;
}

// Copies the current entries around the new one: before the first inherited
// entry, the account's own entries give way to it; from there on every entry
// is copied as it stands, so a list out of the usual order keeps all of its
// own entries.
std::optional<GrantFailure> FillAcl(ACL* acl, const ACL* current, DWORD count, PSID account,
                                    DWORD mask) {
    bool added = false;
    for (DWORD i = 0; i < count; ++i) {
        void* entry = nullptr;
        if (!GetAce(const_cast<ACL*>(current), i, &entry))
            return LastError(L"GetAce() failed. Error %d\n");
        const auto* ace = static_cast<const ACE_HEADER*>(entry);
        if (!added && IsInherited(ace)) {
            if (auto failure = AppendNewEntry(acl, account, mask))
                return failure;
            added = true;
        }
        if (!added && IsAccountEntry(ace, account))
            continue;
        if (auto failure = CopyAce(acl, current, ace))
            return failure;
    }
    if (!added)
        return AppendNewEntry(acl, account, mask);
    return std::nullopt;
}

std::optional<GrantFailure> LookupLocalAccount(const std::wstring& account, HeapBlock& sid) {
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameW(nullptr, account.c_str(), nullptr, &sidSize, nullptr, &domainSize,
                           &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return LastError(L"LookupAccountName() failed. Error %d\n");
    sid = HeapBlock::Allocate(sidSize);
    if (!sid)
        return LastError(L"HeapAlloc() failed. Error %d\n");
    HeapBlock domain = HeapBlock::Allocate(domainSize * sizeof(wchar_t));
    if (!domain)
        return LastError(L"HeapAlloc() failed. Error %d\n");
    if (!LookupAccountNameW(nullptr, account.c_str(), sid.get(), &sidSize,
                            static_cast<wchar_t*>(domain.get()), &domainSize, &use))
        return LastError(L"LookupAccountName() failed. Error %d\n");
    return std::nullopt;
}

// The new descriptor keeps the way the current one relates to its parent.
std::optional<GrantFailure> CarryControlBits(PSECURITY_DESCRIPTOR current,
                                             PSECURITY_DESCRIPTOR created) {
    using SetControl = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                     SECURITY_DESCRIPTOR_CONTROL);
    Library advapi(LoadLibraryW(L"advapi32.dll"));
    auto setControl = advapi ? reinterpret_cast<SetControl>(reinterpret_cast<void*>(
                                   GetProcAddress(advapi.get(), "SetSecurityDescriptorControl")))
                             : nullptr;
    if (!setControl)
        return std::nullopt;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(current, &control, &revision))
        return LastError(L"GetSecurityDescriptorControl() failed.Error %d\n");
    SECURITY_DESCRIPTOR_CONTROL bits = 0;
    if (control & SE_DACL_AUTO_INHERITED)
        bits = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    else if (control & SE_DACL_PROTECTED)
        bits = SE_DACL_PROTECTED;
    if (bits && !setControl(created, bits, bits))
        return LastError(L"SetSecurityDescriptorControl() failed.Error %d\n");
    return std::nullopt;
}

std::optional<GrantFailure> ApplyGrant(const std::wstring& path, PSID account, DWORD mask) {
    PACL unused = nullptr;
    LocalSecurityDescriptor current;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &unused, nullptr, current.out());
    if (error != ERROR_SUCCESS)
        return GrantFailure{L"GetFileSecurity() failed. Error %d\n", error};

    SECURITY_DESCRIPTOR created;
    if (!InitializeSecurityDescriptor(&created, SECURITY_DESCRIPTOR_REVISION))
        return LastError(L"InitializeSecurityDescriptor() failed.Error %d\n");
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(current.get(), &present, &dacl, &defaulted))
        return LastError(L"GetSecurityDescriptorDacl() failed. Error %d\n");

    HeapBlock acl;
    if (auto failure = BuildGrantedAcl(present ? dacl : nullptr, account, mask, acl))
        return failure;
    if (!SetSecurityDescriptorDacl(&created, TRUE, static_cast<ACL*>(acl.get()), FALSE))
        return LastError(L"SetSecurityDescriptorDacl() failed. Error %d\n");
    if (auto failure = CarryControlBits(current.get(), &created))
        return failure;

    std::wstring target = path; // the call takes a writable name
    error = SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, kApplyInformation, nullptr,
                                  nullptr, static_cast<ACL*>(acl.get()), nullptr);
    if (error != ERROR_SUCCESS)
        return GrantFailure{L"SetNamedSecurityInfo() failed. Error %d\n", error};
    return std::nullopt;
}

std::optional<std::wstring> SystemFolder() {
    wchar_t folder[MAX_PATH + 1];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return std::nullopt;
    return std::wstring(folder, length);
}

std::wstring FileSystemOf(const std::wstring& root) {
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                               MAX_PATH + 1))
        return {};
    return name;
}

bool HaveVersionRecord() {
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof(extended);
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended)))
        return true;
    OSVERSIONINFOW basic{};
    basic.dwOSVersionInfoSize = sizeof(basic);
    return GetVersionExW(&basic) != FALSE;
}

} // namespace

HeapBlock HeapBlock::Allocate(size_t size) {
    HeapBlock block;
    block.memory_ = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    return block;
}

HeapBlock::~HeapBlock() {
    if (memory_)
        HeapFree(GetProcessHeap(), 0, memory_);
}

HeapBlock::HeapBlock(HeapBlock&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}

HeapBlock& HeapBlock::operator=(HeapBlock&& other) noexcept {
    std::swap(memory_, other.memory_);
    return *this;
}

bool IsNtfsName(const std::wstring& fileSystem) {
    return _wcsnicmp(fileSystem.c_str(), L"NTFS", 4) == 0;
}

std::optional<GrantFailure> BuildGrantedAcl(const ACL* current, PSID account, DWORD mask,
                                            HeapBlock& acl) {
    ACL_SIZE_INFORMATION size{0, sizeof(ACL), 0}; // no list: a bare header, no entries
    if (current &&
        !GetAclInformation(const_cast<ACL*>(current), &size, sizeof(size), AclSizeInformation))
        return LastError(L"GetAclInformation() failed. Error %d\n");
    DWORD length = GetLengthSid(account) + size.AclBytesInUse + kAllowedAceHead;
    acl = HeapBlock::Allocate(length);
    if (!acl)
        return LastError(L"HeapAlloc() failed. Error %d\n");
    auto* created = static_cast<ACL*>(acl.get());
    if (!InitializeAcl(created, length, ACL_REVISION))
        return LastError(L"InitializeAcl() failed. Error %d\n");
    return FillAcl(created, current, size.AceCount, account, mask);
}

BOOL GrantAccess(const std::wstring& path, const std::wstring& account, DWORD mask) {
    HeapBlock sid;
    std::optional<GrantFailure> failure = LookupLocalAccount(account, sid);
    if (!failure)
        failure = ApplyGrant(path, sid.get(), mask);
    if (failure) {
        wprintf(failure->message, static_cast<int>(failure->error));
        return FALSE;
    }
    return TRUE;
}

BOOL AddAccessRights(const std::wstring& path) {
    std::optional<std::wstring> system = SystemFolder();
    if (!system)
        return TRUE;
    // The system drive decides, not the path's drive.
    if (!IsNtfsName(FileSystemOf(system->substr(0, 3))))
        return FALSE;
    if (!HaveVersionRecord())
        return FALSE;
    if (!GrantAccess(path, L"Users", kUsersAccess)) {
        wprintf(L"AddAccessRights() failed.\n");
        return FALSE;
    }
    return TRUE;
}
