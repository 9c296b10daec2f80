// What the configuration components read when they run besides the
// catalogue: the system's and browser's major versions.
#pragma once

#include <functional>

struct MajorVersions {
    int os = 0; // Windows major version (5 for XP, 6 for Vista and 7)
    int ie = 0; // Internet Explorer major version
};
using VersionSource = std::function<MajorVersions()>;
