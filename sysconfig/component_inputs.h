// What the configuration components read when they run: the catalogue text of
// the current language, asked for anew on every operation (the update check
// may replace it at any time), and the system's and browser's major versions.
#pragma once

#include <functional>
#include <string>

struct ComponentContext;

// The catalogue (utility list) text of the current language; "" when none.
using CatalogueSource = std::function<std::wstring()>;

// The catalogue as the engine holds it: the decrypted text of the language the
// context names at the time of the call.
CatalogueSource LanguageCatalogue(const ComponentContext& context);

struct MajorVersions {
    int os = 0; // Windows major version (5 for XP, 6 for Vista and 7)
    int ie = 0; // Internet Explorer major version
};
using VersionSource = std::function<MajorVersions()>;
