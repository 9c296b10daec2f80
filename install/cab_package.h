// Cabinet packages: the cabinet is extracted beside itself, every .inf file
// in it lists the files to install in its "Add.Code" section, and each file's
// own section says whether to register it ("RegisterServer") and where it
// goes ("destdir": 11 or nothing is the system folder, anything else the
// Windows folder). Files are copied first, registered second; the extraction
// folder is removed afterwards.
#pragma once

#include "common/trace_sink.h"

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

class CCabPackage {
public:
    CCabPackage(const TraceSink& trace, CabinetFolders folders);

    // Extracts and installs the cabinet; 1. Other failures are judged
    // afterwards by the item's status check. A cabinet or .inf file that
    // names a file outside its folder is hostile: nothing of it is installed
    // and the result is 0.
    int InstallCabinet(const std::wstring& cabinetPath);

    // The entries of one .inf file; refused names are traced and left out.
    InfFile ReadInf(const std::wstring& infPath, const std::wstring& extractionFolder) const;

private:
    void InstallEntries(const std::vector<InfEntry>& entries) const;

    const TraceSink& trace_;
    const CabinetFolders folders_;
};

// Lists a folder's plain files ("." and ".." left out), in the order found.
std::vector<std::wstring> FilesIn(const std::wstring& folder);
