#include "common/files.h"

#include "common/text.h"

#include <memory>

FileHandle OpenDiskFileForReading(const std::wstring& path, DWORD share) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file && GetFileType(file.get()) != FILE_TYPE_DISK)
        file.reset();
    return file;
}

namespace {

std::optional<DiskFileIdentity> IdentityOfOpenFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(file, &information) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)))
        return std::nullopt;
    auto wide = [](DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; };
    return DiskFileIdentity{information.dwVolumeSerialNumber,
                            wide(information.nFileIndexHigh, information.nFileIndexLow),
                            wide(information.nFileSizeHigh, information.nFileSizeLow),
                            FileTimeTicks(information.ftLastWriteTime),
                            static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)};
}

} // namespace

std::optional<DiskFileIdentity> DiskFileIdentityOf(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return std::nullopt;
    return IdentityOfOpenFile(file.get());
}

std::optional<std::string> ReadWholeDiskFile(const std::wstring& path, DWORD share,
                                             unsigned long long largest,
                                             std::optional<DiskFileIdentity>* identity) {
    if (identity)
        identity->reset();
    FileHandle file = OpenDiskFileForReading(path, share);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) ||
        static_cast<unsigned long long>(size.QuadPart) > largest)
        return std::nullopt;
    std::optional<DiskFileIdentity> before =
        identity ? IdentityOfOpenFile(file.get()) : std::nullopt;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return std::nullopt;
    bytes.resize(read);
    if (before && before->size == read && IdentityOfOpenFile(file.get()) == before)
        *identity = before;
    return bytes;
}

std::uint64_t FileTimeTicks(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::uint64_t NowTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeTicks(now);
}

std::uint64_t TimeStampStepOf(const std::wstring& path) {
    constexpr std::uint64_t kCoarseStep = 2 * 10'000'000ULL;
    constexpr std::uint64_t kFineStep = 1'000'000ULL;
    wchar_t volume[MAX_PATH] = {};
    wchar_t fileSystem[MAX_PATH] = {};
    if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH))
        return kCoarseStep;
    const std::wstring name = ToUpper(fileSystem);
    const bool fat = name.empty() || name.starts_with(L"FAT") || name.starts_with(L"EXFAT");
    return fat ? kCoarseStep : kFineStep;
}

bool ReadDiskFileInBlocks(const std::wstring& path, DWORD share, const FileBlockConsumer& consume) {
    FileHandle file = OpenDiskFileForReading(path, share);
    if (!file)
        return false;
    constexpr DWORD kBlockSize = 256 * 1024;
    std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockSize]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block.get(), kBlockSize, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        if (!consume(block.get(), got))
            return false;
    }
}

std::wstring ModuleFilePath(HMODULE module) {
    // Paths may exceed MAX_PATH; grow until the whole name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ExpandRegisteredPath(const std::wstring& path) {
    if (path.find(L'%') == std::wstring::npos)
        return path;
    DWORD size = ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
    if (size == 0)
        return path;
    std::wstring expanded(size, L'\0');
    DWORD written = ExpandEnvironmentStringsW(path.c_str(), expanded.data(), size);
    if (written == 0 || written > size)
        return path;
    expanded.resize(written - 1); // without the terminator
    return expanded;
}

std::wstring LongPathOf(const std::wstring& path, DWORD& error) {
    std::wstring buffer(MAX_PATH, L'\0');
    SetLastError(0);
    DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), MAX_PATH);
    if (length >= MAX_PATH) { // a longer path is expanded whole rather than cut
        buffer.resize(length);
        length = GetLongPathNameW(path.c_str(), buffer.data(), length);
    }
    error = GetLastError();
    if (length == 0 || length >= buffer.size())
        return path;
    buffer.resize(length);
    return buffer;
}

std::wstring FileNamePart(const std::wstring& path) {
    size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderPart(const std::wstring& path) {
    size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    FindHandle search(FindFirstFileW((folder + L"*.*").c_str(), &found));
    if (!search)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    } while (FindNextFileW(search.get(), &found));
    return names;
}
