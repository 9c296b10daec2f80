// Which of the bank's required Windows patches this PC lacks: the patch list
// ("EnvPatch.cfg") matched against the Windows, browser and language codes
// and against the installed-update records. Pure: the records are given.
#pragma once

#include "envcheck/os_version.h"

#include <string>
#include <string_view>
#include <vector>

class XmlNode;

// One installed update as the Windows Update Agent reports it.
struct InstalledUpdate {
    std::wstring title;
    std::wstring severity;
    std::wstring bulletinId;  // the first security bulletin id
    std::wstring kbArticleId; // the first knowledge-base article id
    std::wstring description;
};

struct PatchEnvironment {
    OsDescription os;       // with the full service-pack text ("Service Pack 3")
    std::wstring ieMajor;   // "8"
    int ieServicePack = -1; // the browser's service-pack number, compared as "%d"
    std::wstring language;  // "chs", "eng"...
};

// The codes of this system: the trimmed "value" of the first matching child
// of "window", "ie" and "language"; empty when none matches or the element is absent.
struct ReleaseCodes {
    std::wstring os;
    std::wstring ie;
    std::wstring language;
};
ReleaseCodes MatchReleaseCodes(const XmlNode& patchList, const PatchEnvironment& env);

// "<PathUpdate>" + one "<files Id=.. Subject=.. Desc=.. Url=..></files>" per
// applicable patch that no installed record matches + "</PathUpdate>".
std::wstring MissingPatchesText(const XmlNode& patchList, const PatchEnvironment& env,
                                const std::vector<InstalledUpdate>& installed);
