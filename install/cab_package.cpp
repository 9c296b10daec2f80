#include "install/cab_package.h"

#include "common/handles.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "install/programs.h"

#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cstdio>
#include <memory>

namespace {

std::wstring Trimmed(std::wstring_view text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return std::wstring(text.substr(first, last - first + 1));
}

// A private-profile section whole, however long it is.
std::wstring ReadSection(const std::wstring& file, const wchar_t* section) {
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        DWORD length = GetPrivateProfileSectionW(section, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), file.c_str());
        if (length + 2 < buffer.size() || buffer.size() >= (1u << 20))
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 4);
    }
}

std::wstring ReadValue(const std::wstring& file, const std::wstring& section, const wchar_t* key,
                       const wchar_t* fallback) {
    wchar_t value[MAX_PATH] = {};
    GetPrivateProfileStringW(section.c_str(), key, fallback, value, MAX_PATH, file.c_str());
    return value;
}

struct Extraction {
    std::wstring folder; // ends with a backslash
    const TraceSink* trace;
    bool refusedName = false;
};

// Each file goes to the extraction folder under its own plain name.
UINT CALLBACK CabinetCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
    auto* extraction = static_cast<Extraction*>(context);
    switch (notification) {
    case SPFILENOTIFY_FILEINCABINET: {
        auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
        std::wstring name = info->NameInCabinet;
        if (!IsSafeFileName(name) || extraction->folder.size() + name.size() >= MAX_PATH) {
            extraction->trace->Write(L"失败事件：" + name + L"文件名不合法");
            extraction->refusedName = true;
            return FILEOP_SKIP;
        }
        std::wstring target = extraction->folder + name;
        wcscpy(info->FullTargetName, target.c_str());
        return FILEOP_DOIT;
    }
    case SPFILENOTIFY_STARTCOPY:
        wprintf(L"Copy %ls\n", reinterpret_cast<FILEPATHS_W*>(param1)->Target);
        return 0;
    case SPFILENOTIFY_FILEEXTRACTED:
        wprintf(L"Extracted %ls\n", reinterpret_cast<FILEPATHS_W*>(param1)->Target);
        return 0;
    case SPFILENOTIFY_STARTREGISTRATION:
        wprintf(L"Register %ls\n", reinterpret_cast<const wchar_t*>(param1));
        return 0;
    default:
        return 0;
    }
}

void ShowIterationError() {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(text, &LocalFree);
    MessageBoxW(nullptr, text ? text : L"", L"SetupIterateCabinet() Error :",
                MB_TOPMOST | MB_ICONWARNING);
}

bool EndsWithInf(const std::wstring& name) {
    return name.size() >= 4 && ToLower(name.substr(name.size() - 4)) == L".inf";
}

// Deletes the folder's files, stopping at the first that stays, then the folder.
void RemoveExtraction(const std::wstring& folder) {
    for (const std::wstring& name : FilesIn(folder)) {
        if (!DeleteFileW((folder + name).c_str()))
            break;
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::vector<std::wstring> AddCodeFileNames(std::wstring_view section) {
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start < section.size()) {
        size_t end = section.find(L'\0', start);
        if (end == std::wstring_view::npos)
            end = section.size();
        std::wstring_view line = section.substr(start, end - start);
        size_t equals = line.find(L'=');
        if (equals != std::wstring_view::npos)
            names.push_back(Trimmed(line.substr(equals + 1)));
        start = end + 1;
    }
    return names;
}

bool GoesToWindowsFolder(const std::wstring& destdir) {
    return destdir != L"11" && !destdir.empty();
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

CCabPackage::CCabPackage(const TraceSink& trace, CabinetFolders folders)
    : trace_(trace), folders_(std::move(folders)) {}

int CCabPackage::InstallCabinet(const std::wstring& cabinetPath) {
    size_t dot = cabinetPath.find_last_of(L'.');
    Extraction extraction{cabinetPath.substr(0, dot) + L"\\", &trace_};
    SHCreateDirectoryExW(nullptr, extraction.folder.c_str(), nullptr);
    if (!SetupIterateCabinetW(cabinetPath.c_str(), 0, CabinetCallback, &extraction))
        ShowIterationError();
    // Every .inf file is read before anything is installed, so that one
    // refused name keeps the whole cabinet off the PC.
    bool refused = extraction.refusedName;
    std::vector<InfFile> infFiles;
    for (const std::wstring& name : FilesIn(extraction.folder)) {
        if (EndsWithInf(name)) {
            infFiles.push_back(ReadInf(extraction.folder + name, extraction.folder));
            refused = refused || infFiles.back().refusedName;
        }
    }
    if (!refused) {
        for (const InfFile& inf : infFiles)
            InstallEntries(inf.entries);
    }
    RemoveExtraction(extraction.folder);
    return refused ? 0 : 1;
}

InfFile CCabPackage::ReadInf(const std::wstring& infPath,
                             const std::wstring& extractionFolder) const {
    InfFile inf;
    for (const std::wstring& name : AddCodeFileNames(ReadSection(infPath, L"Add.Code"))) {
        if (!IsSafeFileName(name)) {
            trace_.Write(L"失败事件：" + name + L"文件名不合法");
            inf.refusedName = true;
            continue;
        }
        InfEntry entry;
        entry.registerServer = ReadValue(infPath, name, L"RegisterServer", L"no") != L"no";
        const std::wstring& folder =
            GoesToWindowsFolder(ReadValue(infPath, name, L"destdir", L"11"))
                ? folders_.windowsFolder
                : folders_.systemFolder;
        entry.destination = folder + name;
        entry.source = extractionFolder + name;
        inf.entries.push_back(std::move(entry));
    }
    return inf;
}

void CCabPackage::InstallEntries(const std::vector<InfEntry>& entries) const {
    for (const InfEntry& entry : entries)
        CopyFileW(entry.source.c_str(), entry.destination.c_str(), FALSE);
    for (const InfEntry& entry : entries) {
        if (entry.registerServer)
            RunRegsvr32(entry.destination);
    }
}
