// Opening files whose content the control reads whole: only regular disk
// files. A name from a list may be a device (COM1, AUX) whose reads block
// forever, or a pipe; those are refused after opening.
#pragma once

#include "common/handles.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// CreateFileW for reading (open existing, sequential scan) with the given
// sharing; an invalid handle when the file cannot be opened or is not a disk file.
FileHandle OpenDiskFileForReading(const std::wstring& path, DWORD share);

// What tells one state of a disk file from another without reading it: the
// volume and the file's index on it (a file moved into its place is another
// file), its size and its times, the change time included, which programs do
// not set back as they may the time of the last write.
struct DiskFileIdentity {
    DWORD volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    std::uint64_t changed = 0;
    bool operator==(const DiskFileIdentity&) const = default;
};
// Of the disk file at `path`, opened for its attributes only.
std::optional<DiskFileIdentity> DiskFileIdentityOf(const std::wstring& path);
// The whole content of a disk file; nullopt when it cannot be opened or read,
// or is larger than `largest` bytes (so hostile input cannot exhaust memory).
// With `identity`, also the identity of the bytes read: taken on the same
// handle before and after the read, and left empty when the two differ (the
// file changed while it was read).
std::optional<std::string> ReadWholeDiskFile(const std::wstring& path, DWORD share,
                                             unsigned long long largest,
                                             std::optional<DiskFileIdentity>* identity = nullptr);

// A file written again within one step of its volume's time stamps may keep
// both its size and its times, so what was read of it that close to its last
// write or change is not trusted to stand for it until the step has passed.
// FAT keeps two seconds; NTFS and the file systems under Wine keep the
// clock's tick (at most about 16 ms), and a tenth of a second covers it.
std::uint64_t TimeStampStepOf(const std::wstring& path);
constexpr bool ReadingSettled(std::uint64_t readAt, std::uint64_t written, std::uint64_t step) {
    return readAt > written && readAt - written > step;
}
std::uint64_t FileTimeTicks(const FILETIME& time);
std::uint64_t NowTicks(); // the system time, in FILETIME ticks

// Reads a disk file from start to end in fixed blocks (memory stays flat
// whatever its size), handing each block to `consume`; false when the file
// cannot be opened or read, or `consume` returned false.
using FileBlockConsumer = std::function<bool(const unsigned char* data, std::size_t size)>;
bool ReadDiskFileInBlocks(const std::wstring& path, DWORD share, const FileBlockConsumer& consume);

// The text after the last "/" or "\" of a path or URL (all of it without one).
std::wstring FileNamePart(const std::wstring& path);
// The text up to and including the last "/" or "\" (nothing without one).
std::wstring FolderPart(const std::wstring& path);

// The full path of a loaded module's file (null: the process's executable).
std::wstring ModuleFilePath(HMODULE module);

// A folder's plain files ("." and ".." and sub-folders left out), in the
// order found; `folder` ends with a backslash.
std::vector<std::wstring> FilesIn(const std::wstring& folder);

// An existing file (not a folder) at `path`.
bool IsExistingFile(const std::wstring& path);

// A registered path with its environment references expanded, as COM does
// for REG_EXPAND_SZ server paths ("%SystemRoot%\..."); other text unchanged.
std::wstring ExpandRegisteredPath(const std::wstring& path);

// The long form of a path (GetLongPathNameW), never cut; the path itself
// when it cannot be expanded. `error` gets the call's last error.
std::wstring LongPathOf(const std::wstring& path, DWORD& error);
