// Reading a Windows module file's headers without loading it (loading runs
// the module's own code): whether it is a DLL and which names it exports.
#pragma once

#include <string_view>

// True when `image` (a whole file's bytes) is a PE DLL, 32- or 64-bit, whose
// export table names `name`. Any malformed or truncated image is false.
bool DllExportsName(std::string_view image, std::string_view name);
