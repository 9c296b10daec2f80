// The seam through which components fetch from the bank's server: the real
// WinINet fetch in the product, a fake that drops fixture files in unit tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct FetchRequest {
    std::wstring url;       // absolute, used as it stands (nothing is escaped)
    std::wstring localPath; // full path; its folders must exist
    // Bodies larger than this fail (0: no limit), so an endless body cannot fill the disk.
    std::uint64_t maxBytes = 0;
};

// 1 when the whole body was written and is not empty, else 0.
using FetchFunction = std::function<int(const FetchRequest&)>;
