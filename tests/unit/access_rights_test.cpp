#include "sysconfig/access_rights.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// The accounts the lists are made of, by a short name.
struct Account {
    const char* name;
    WELL_KNOWN_SID_TYPE type;
};
const Account kAccounts[] = {{"Users", WinBuiltinUsersSid},
                             {"Admins", WinBuiltinAdministratorsSid},
                             {"System", WinLocalSystemSid},
                             {"Everyone", WinWorldSid}};

std::vector<BYTE> SidOf(const std::string& name) {
    for (const Account& account : kAccounts) {
        if (name != account.name)
            continue;
        DWORD size = SECURITY_MAX_SID_SIZE;
        std::vector<BYTE> sid(size);
        EXPECT_TRUE(CreateWellKnownSid(account.type, nullptr, sid.data(), &size));
        sid.resize(size);
        return sid;
    }
    ADD_FAILURE() << "unknown account " << name;
    return {};
}

std::string NameOf(PSID sid) {
    for (const Account& account : kAccounts) {
        std::vector<BYTE> known = SidOf(account.name);
        if (EqualSid(sid, known.data()))
            return account.name;
    }
    return "?";
}

constexpr BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE;
constexpr BYTE kDeny = ACCESS_DENIED_ACE_TYPE;
constexpr BYTE kInherited = INHERITED_ACE;
constexpr BYTE kBothInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kRead = 0x001200A9;

struct Entry {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::string account;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* out) {
    *out << (e.type == kAllow  ? "allow "
             : e.type == kDeny ? "deny "
                               : "type? ")
         << e.account << " flags " << int(e.flags) << " mask " << std::hex << e.mask << std::dec;
}

const Entry kNewUsers{kAllow, kBothInherit, kUsersAccess, "Users"};

// A real access list holding the entries, in the order given.
std::vector<BYTE> MakeAcl(const std::vector<Entry>& entries) {
    std::vector<BYTE> acl(8192);
    EXPECT_TRUE(InitializeAcl(reinterpret_cast<ACL*>(acl.data()), acl.size(), ACL_REVISION));
    for (const Entry& e : entries) {
        std::vector<BYTE> sid = SidOf(e.account);
        auto* list = reinterpret_cast<ACL*>(acl.data());
        BOOL added = e.type == kAllow
                         ? AddAccessAllowedAceEx(list, ACL_REVISION, e.flags, e.mask, sid.data())
                         : AddAccessDeniedAceEx(list, ACL_REVISION, e.flags, e.mask, sid.data());
        EXPECT_TRUE(added);
    }
    return acl;
}

std::vector<Entry> EntriesOf(const ACL* acl) {
    std::vector<Entry> entries;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        EXPECT_TRUE(GetAce(const_cast<ACL*>(acl), i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                           NameOf(&allowed->SidStart)});
    }
    return entries;
}

std::vector<Entry> Granted(const ACL* current) {
    std::vector<BYTE> users = SidOf("Users");
    HeapBlock acl;
    std::optional<GrantFailure> failure = BuildGrantedAcl(current, users.data(), kUsersAccess, acl);
    EXPECT_FALSE(failure) << (failure ? failure->message : L"");
    if (failure)
        return {};
    EXPECT_TRUE(IsValidAcl(static_cast<ACL*>(acl.get())));
    return EntriesOf(static_cast<const ACL*>(acl.get()));
}

std::vector<Entry> Granted(const std::vector<Entry>& current) {
    std::vector<BYTE> acl = MakeAcl(current);
    return Granted(reinterpret_cast<const ACL*>(acl.data()));
}

TEST(GrantedAcl, NoListOrNoEntriesGivesTheNewEntryAlone) {
    EXPECT_EQ(Granted(nullptr), std::vector<Entry>{kNewUsers});
    EXPECT_EQ(Granted(std::vector<Entry>{}), std::vector<Entry>{kNewUsers});
}

TEST(GrantedAcl, NewEntryComesBeforeTheInheritedOnes) {
    std::vector<Entry> current = {{kAllow, kInherited, GENERIC_ALL, "System"},
                                  {kAllow, kInherited | kBothInherit, kRead, "Everyone"}};
    EXPECT_EQ(Granted(current), (std::vector<Entry>{kNewUsers, current[0], current[1]}));
}

TEST(GrantedAcl, ExplicitUsersEntriesGiveWayToTheNewOne) {
    std::vector<Entry> current = {{kAllow, 0, GENERIC_ALL, "Admins"},
                                  {kDeny, 0, FILE_WRITE_DATA, "Users"},
                                  {kAllow, kBothInherit, GENERIC_ALL, "Users"},
                                  {kAllow, 0, GENERIC_ALL, "System"}};
    EXPECT_EQ(Granted(current), (std::vector<Entry>{current[0], current[3], kNewUsers}));
}

TEST(GrantedAcl, InheritedUsersEntriesStay) {
    std::vector<Entry> current = {{kAllow, 0, GENERIC_ALL, "Admins"},
                                  {kAllow, kInherited, kRead, "Users"},
                                  {kDeny, kInherited, FILE_WRITE_DATA, "Users"},
                                  {kAllow, kInherited, kRead, "Everyone"}};
    EXPECT_EQ(Granted(current),
              (std::vector<Entry>{current[0], kNewUsers, current[1], current[2], current[3]}));
}

// A list out of the usual order: every entry from the first inherited one on
// is copied as it stands, explicit "Users" entries included.
TEST(GrantedAcl, EntriesAfterTheFirstInheritedOneAreAllKept) {
    std::vector<Entry> current = {{kAllow, 0, GENERIC_ALL, "Admins"},
                                  {kAllow, 0, kRead, "Users"},
                                  {kAllow, kInherited, GENERIC_ALL, "System"},
                                  {kAllow, 0, kRead, "Users"},
                                  {kDeny, 0, FILE_WRITE_DATA, "Everyone"},
                                  {kDeny, kBothInherit, FILE_WRITE_DATA, "Users"},
                                  {kAllow, kInherited, kRead, "Users"}};
    EXPECT_EQ(Granted(current), (std::vector<Entry>{current[0], kNewUsers, current[2], current[3],
                                                    current[4], current[5], current[6]}));
}

TEST(GrantedAcl, ListTooLongForAnotherEntryFailsAtInitializeAcl) {
    // A list filled up to 64 KiB: one more entry would not fit its 16-bit size.
    std::vector<BYTE> big(65532);
    auto* acl = reinterpret_cast<ACL*>(big.data());
    ASSERT_TRUE(InitializeAcl(acl, big.size(), ACL_REVISION));
    std::vector<BYTE> admins = SidOf("Admins");
    while (AddAccessAllowedAce(acl, ACL_REVISION, kRead, admins.data())) {
    }
    ASSERT_GT(acl->AceCount, 2000);
    std::vector<BYTE> users = SidOf("Users");
    HeapBlock created;
    std::optional<GrantFailure> failure = BuildGrantedAcl(acl, users.data(), kUsersAccess, created);
    ASSERT_TRUE(failure);
    EXPECT_STREQ(failure->message, L"InitializeAcl() failed. Error %d\n");
}

TEST(AccessRights, NtfsIsJudgedByTheNameStart) {
    EXPECT_TRUE(IsNtfsName(L"NTFS"));
    EXPECT_TRUE(IsNtfsName(L"ntfs5"));
    EXPECT_FALSE(IsNtfsName(L"FAT32"));
    EXPECT_FALSE(IsNtfsName(L"NTF"));
    EXPECT_FALSE(IsNtfsName(L""));
}

// Wine stores no access lists: the real calls succeed on existing paths and
// fail at reading the security of a missing one.
TEST(AccessRights, RealCallsOnExistingAndMissingPaths) {
    TempFolder folder;
    WriteBytes(folder / L"file.dll", "x");
    EXPECT_EQ(AddAccessRights(folder / L"file.dll"), TRUE);
    EXPECT_EQ(AddAccessRights(folder.path()), TRUE);
    EXPECT_EQ(GrantAccess(folder.path(), L"Users", kUsersAccess), TRUE);
    EXPECT_EQ(AddAccessRights(folder / L"missing.dll"), FALSE);
    EXPECT_EQ(GrantAccess(folder.path(), L"No Such Account 1234", kUsersAccess), FALSE);
}

} // namespace
