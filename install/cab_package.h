// Cabinet packages: the cabinet is extracted beside itself, every .inf file
// in it lists the files to install in its "Add.Code" section, and each file's
// own section says whether to register it ("RegisterServer") and where it
// goes ("destdir": 11 or nothing is the system folder, anything else the
// Windows folder). Files are copied first, registered second; the extraction
// folder is removed afterwards.
#pragma once

#include "common/files.h" // FilesIn
#include "common/trace_sink.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct InfEntry {
    bool registerServer = false;
    std::wstring destination; // full path of the installed copy
    std::wstring source;      // full path in the extraction folder
};

// The file names of an "Add.Code" section as GetPrivateProfileSectionW gives
// it (NUL-separated "key=value" lines): each value, trimmed, in order. Lines
// without "=" name nothing.
std::vector<std::wstring> AddCodeFileNames(std::wstring_view section);

// Whether a "destdir" value sends the file to the Windows folder (anything
// but "11" or nothing) rather than the system folder.
bool GoesToWindowsFolder(const std::wstring& destdir);

struct CabinetFolders {
    std::wstring systemFolder;  // ends with a backslash
    std::wstring windowsFolder; // likewise
};

// The entries of one .inf file, and whether it named a file that is not a
// plain file name (such a name would leave the extraction or system folder).
struct InfFile {
    std::vector<InfEntry> entries;
    bool refusedName = false;
};

// A cabinet extracted and read, ready to install: its extraction folder and
// the entries of all its .inf files. Installing or dropping it removes the
// extraction folder.
struct CabinetPlan {
    std::wstring extractionFolder; // ends with a backslash
    std::vector<InfEntry> entries;
};

class CCabPackage {
public:
    CCabPackage(const TraceSink& trace, CabinetFolders folders);

    // Extracts the cabinet beside itself and reads every .inf file in it,
    // installing nothing yet. Nothing when the cabinet cannot be opened or a
    // name in it or in an .inf file would leave its folder (traced; the
    // extraction folder is removed again): such a cabinet is refused whole,
    // before anything on the PC is changed.
    std::optional<CabinetPlan> Prepare(const std::wstring& cabinetPath) const;
    // Copies every entry, then registers those that ask for it, then removes
    // the extraction folder. Failures are judged by the item's status check.
    void Install(const CabinetPlan& plan) const;
    // Removes a prepared cabinet's extraction folder without installing it.
    static void Drop(const CabinetPlan& plan);

    // Prepare and Install in one; 1, or 0 when the cabinet was refused.
    int InstallCabinet(const std::wstring& cabinetPath);

    // The entries of one .inf file; refused names are traced and left out.
    InfFile ReadInf(const std::wstring& infPath, const std::wstring& extractionFolder) const;

private:
    void InstallEntries(const std::vector<InfEntry>& entries) const;

    const TraceSink& trace_;
    const CabinetFolders folders_;
};
