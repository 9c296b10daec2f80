// How one bank control or application of the catalogue is judged. The look
// at the PC is made once, step by step, into a ComponentFinding; two
// renderers word it: the status number with its trace lines (the page's
// status methods) and the report lines (the diagnosis report). Every
// decision lives in the inspection; the renderers only word its steps.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class XmlNode;

enum class ComponentKind { Control, Application };

// The catalogue section of a kind: "Control" or "Application".
const wchar_t* SectionName(ComponentKind kind);

// The attributes of one catalogue entry that the checks read. They come from
// the bank's file and are treated as hostile: names are only compared, paths
// only opened for reading; the availability library is the bank's own program
// and may lie anywhere the catalogue says.
struct ComponentEntry {
    int id = 0;
    std::wstring idText; // "id" as written
    std::wstring name;
    std::wstring regRootKey;
    std::wstring regSubKey;
    std::wstring regKey;        // applications: the value holding the installed version
    std::wstring verNum;        // the offered version; empty: no version requirement
    std::wstring checkStateDll; // availability test, relative to the client folder
};

// The availability-test library an entry names: the client folder (ending in
// a backslash) and "checkstatedll" joined as they stand, "/" read as "\", so
// the bank's catalogue may name a library beside the client folder
// ("..\Common\Check.dll"). Nothing for a text that cannot name a file on this
// PC: an embedded NUL, or a device name (CON, NUL, COM1...) as a component,
// whose opening would reach the device.
std::optional<std::wstring> AvailabilityLibraryPath(const std::wstring& clientFolder,
                                                    std::wstring_view checkStateDll);
ComponentEntry ReadComponentEntry(const XmlNode& item);

// What the look found, in the order it found it. The last step ends the look.
enum class CheckStep {
    ListUnreadable,        // the Utility list does not parse
    SectionMissing,        // no "Control" / "Application" element
    EntryMissing,          // no entry with the id
    RegistryNotConfigured, // application without "regrootkey" or "regsubkey"
    KeyMissing,
    KeyOpened,
    NoValueName,      // application without "regkey": nothing to compare
    NoOfferedVersion, // empty "vernum": no version requirement
    VersionValueMissing,
    VersionValueRead,
    RegisteredPathMissing, // control key without a default value
    RegisteredPathRead,
    FileMissing,
    FilePresent,
    VersionInfoUnreadable,
    FileVersionRead,
    Outdated,
    LibraryNotConfigured,
    LibraryMissing, // also a text that cannot name a file
    LibraryFound,
    LibraryNotLoadable,
    LibraryLoaded,
    EntryPointMissing,
    TestFailed, // negative code
    TestPassed,
};

struct ComponentFinding {
    ComponentKind kind = ComponentKind::Control;
    ComponentEntry entry;
    std::vector<CheckStep> steps;

    // Facts behind the steps, for their wording.
    HKEY root = nullptr;
    std::wstring keyPath;
    LONG openError = 0;
    std::wstring value; // the installed version, or the registered path as stored
    std::wstring longPath;
    DWORD longPathError = 0;
    DWORD versionInfoError = 0;
    std::wstring fileVersion;
    std::wstring libraryPath;
    int testCode = 0;
    std::wstring testMessage;
};

// The bank's availability-test libraries, loaded at most once per path and
// kept for the life of the process (see the .cpp for why). Any thread.
class AvailabilityLibraries {
public:
    AvailabilityLibraries() = default;
    AvailabilityLibraries(const AvailabilityLibraries&) = delete;
    AvailabilityLibraries& operator=(const AvailabilityLibraries&) = delete;

    // The loaded library, or null when it cannot be loaded (tried again next time).
    HMODULE Load(const std::wstring& path);

private:
    std::mutex lock_;
    std::map<std::wstring, HMODULE> loaded_; // by upper-cased path
};

// Looks at the PC for one entry: registry, files, version, availability test.
ComponentFinding InspectComponent(ComponentKind kind, const ComponentEntry& entry,
                                  const std::wstring& clientFolder,
                                  AvailabilityLibraries& libraries);

// The status number of a finding (0, 1, 3, 4 or 5) and its trace lines.
struct CheckVerdict {
    short status = 0;
    std::vector<std::wstring> traceLines;
};
CheckVerdict VerdictOf(const ComponentFinding& finding);

// The finding as the diagnosis report words it, entry head included.
std::wstring ReportEntryOf(const ComponentFinding& finding);
