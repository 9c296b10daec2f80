#include "install/cab_package.h"

#include "common/files.h"
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

// "Copy NAME" and the like: the file's name, not the whole target path.
void PrintFileLine(const wchar_t* event, const wchar_t* path) {
    wprintf(L"%ls %ls\n", event, FileNamePart(path ? path : L"").c_str());
}

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
        PrintFileLine(L"Copy", reinterpret_cast<const FILEPATHS_W*>(param1)->Target);
        return 0;
    case SPFILENOTIFY_FILEEXTRACTED:
        PrintFileLine(L"Extracted", reinterpret_cast<const FILEPATHS_W*>(param1)->Target);
        return 0;
    case SPFILENOTIFY_STARTREGISTRATION:
        // The first parameter is the registration's status structure, not a name.
        PrintFileLine(L"Register",
                      reinterpret_cast<const SP_REGISTER_CONTROL_STATUSW*>(param1)->FileName);
        return 0;
    default:
        return 0;
    }
}

// The system's text for an error code, without its line end.
std::wstring SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(text, &LocalFree);
    std::wstring message = text ? text : L"";
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return message;
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

CCabPackage::CCabPackage(const TraceSink& trace, CabinetFolders folders)
    : trace_(trace), folders_(std::move(folders)) {}

std::optional<CabinetPlan> CCabPackage::Prepare(const std::wstring& cabinetPath) const {
    size_t dot = cabinetPath.find_last_of(L'.');
    Extraction extraction{cabinetPath.substr(0, dot) + L"\\", &trace_};
    SHCreateDirectoryExW(nullptr, extraction.folder.c_str(), nullptr);
    // A worker never shows a window: with nobody to answer it, the batch would never end.
    if (!SetupIterateCabinetW(cabinetPath.c_str(), 0, CabinetCallback, &extraction)) {
        const DWORD error = GetLastError();
        trace_.Write(FormatW(L"失败事件：SetupIterateCabinet() Error : %lu ", error) +
                     SystemErrorText(error) + L" " + FileNamePart(cabinetPath));
        RemoveExtraction(extraction.folder);
        return std::nullopt;
    }
    // Every .inf file is read before anything is installed, so that one
    // refused name keeps the whole cabinet off the PC.
    bool refused = extraction.refusedName;
    CabinetPlan plan{extraction.folder, {}};
    for (const std::wstring& name : FilesIn(extraction.folder)) {
        if (!EndsWithInf(name))
            continue;
        InfFile inf = ReadInf(extraction.folder + name, extraction.folder);
        refused = refused || inf.refusedName;
        plan.entries.insert(plan.entries.end(), inf.entries.begin(), inf.entries.end());
    }
    if (refused) {
        Drop(plan);
        return std::nullopt;
    }
    return plan;
}

void CCabPackage::Install(const CabinetPlan& plan) const {
    InstallEntries(plan.entries);
    Drop(plan);
}

void CCabPackage::Drop(const CabinetPlan& plan) {
    RemoveExtraction(plan.extractionFolder);
}

int CCabPackage::InstallCabinet(const std::wstring& cabinetPath) {
    std::optional<CabinetPlan> plan = Prepare(cabinetPath);
    if (!plan)
        return 0;
    Install(*plan);
    return 1;
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
