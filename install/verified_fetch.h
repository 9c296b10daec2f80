// Fetching a listed file so that its bytes are read once: they are hashed as
// they arrive and the file is moved into place only when they match what the
// list says (and any further rule, such as a signature, accepts them). A
// file that does not match is never left where it would be used.
#pragma once

#include "common/fetch.h"
#include "config/listed_file.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Components and the client's program files are large, but never this large:
// a body that does not end must not fill the disk.
constexpr std::uint64_t kLargestComponentFile = 1024ull * 1024 * 1024;

enum class FetchVerdict {
    Stored,        // fetched whole and verified: the file is in place
    FetchFailed,   // nothing (or not all) arrived; nothing stored
    ChecksumFailed // it arrived but does not match its list (or was refused); nothing stored
};

struct VerifiedFetchRequest {
    std::wstring url;
    std::wstring localPath; // its folders must exist
    ListedChecksums listed;
    std::uint64_t maxBytes = 0;
    // Configuration files are also kept in memory for the steps after the
    // fetch (signature, decryption), so nothing reads them from disk again.
    bool keepBody = false;
    // Asked after the checksums matched, with the kept body (empty unless
    // keepBody): false refuses the file as a checksum failure.
    std::function<bool(std::string_view body)> alsoAccept;
};

struct FetchOutcome {
    FetchVerdict verdict = FetchVerdict::FetchFailed;
    std::string body; // the file's bytes when kept and stored
};

FetchOutcome FetchVerified(const FetchFunction& fetch, const VerifiedFetchRequest& request);
