// The seam through which components fetch from the bank's server: the real
// WinINet fetch in the product, a fake that drops fixture files in unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct FetchRequest {
    std::wstring url;       // absolute, used as it stands (nothing is escaped)
    std::wstring localPath; // full path; its folders must exist
    // Bodies larger than this fail (0: no limit), so an endless body cannot fill the disk.
    std::uint64_t maxBytes = 0;
    // Sees every block of the body, in order, as it arrives (optional): the
    // caller hashes the bytes once, while they are written.
    std::function<void(const char* data, std::size_t size)> observe;
    // Asked once the whole body is stored beside the target (optional): false
    // keeps it out of place, as a failed fetch.
    std::function<bool()> accept;
    // The system's connection flags as the operation read them when it began
    // (optional): a burst of fetches reads them once, not once per file.
    std::optional<std::uint32_t> connectionFlags;
};

// 1 when the whole body was stored at localPath and is not empty, else 0.
using FetchFunction = std::function<int(const FetchRequest&)>;
