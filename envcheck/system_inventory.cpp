#include "envcheck/system_inventory.h"

#include "common/handles.h"
#include "common/registry.h"
#include "common/text.h"
#include "envcheck/file_facts.h"

// The process-status functions of psapi.dll, which every supported Windows has.
#define PSAPI_VERSION 1
#include <psapi.h>
#include <tlhelp32.h>

#include <memory>

namespace {

const wchar_t kHelperObjectsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
constexpr size_t kLongestDescription = 128; // bytes, as the report has always held
constexpr DWORD kModuleNameBuffer = 4096;

struct CoTaskMemFreer {
    void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

std::wstring Trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

std::wstring ProgIdOf(const CLSID& clsid) {
    wchar_t* raw = nullptr;
    if (FAILED(ProgIDFromCLSID(clsid, &raw)))
        return {};
    std::unique_ptr<wchar_t, CoTaskMemFreer> progId(raw);
    return Trim(progId.get() ? progId.get() : L"");
}

// The server file of the class the programmatic id names.
std::wstring ServerPathOfProgId(const std::wstring& progId) {
    CLSID clsid;
    wchar_t clsidText[40] = {};
    if (progId.empty() || FAILED(CLSIDFromProgID(progId.c_str(), &clsid)) ||
        StringFromGUID2(clsid, clsidText, 40) == 0)
        return {};
    RegKey server =
        OpenRegKey(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32");
    std::optional<std::wstring> path = server ? ReadRegString(server.get(), nullptr) : std::nullopt;
    return path ? ExpandRegisteredPath(*path) : std::wstring();
}

HelperObjectRecord DescribeHelperObject(const std::wstring& subkey) {
    HelperObjectRecord record;
    if (SUCCEEDED(CLSIDFromString(subkey.c_str(), &record.clsid)))
        record.progId = ProgIdOf(record.clsid);
    std::wstring path = ServerPathOfProgId(record.progId);
    if (!path.empty() && IsExistingFile(path)) {
        record.path = path;
        record.version = ReadFileVersion(path).text;
    } else {
        record.path = L"文件不存在。";
        record.version = L"版本号未知。";
    }
    return record;
}

// "FileDescription" of the first translation of the file's version block,
// through the ANSI query, which gives the text in the ANSI code page.
std::string FileDescriptionOf(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<BYTE> block(size, 0);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return {};
    WORD* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        !translation || length < 2 * sizeof(WORD))
        return {};
    std::string query =
        FormatA("\\StringFileInfo\\%04x%04x\\FileDescription", translation[0], translation[1]);
    char* description = nullptr;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&description),
                        &length) ||
        !description || length == 0)
        return {};
    return CutAnsiText(std::string(description, strnlen(description, length)), kLongestDescription,
                       CP_ACP);
}

ProcessRecord DescribeProcess(const PROCESSENTRY32W& entry) {
    ProcessRecord record;
    record.path = entry.szExeFile;
    KernelHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    if (!process)
        return record;
    std::wstring path(kModuleNameBuffer, L'\0');
    DWORD length = GetModuleFileNameExW(process.get(), nullptr, path.data(), kModuleNameBuffer);
    if (length == 0)
        return record;
    path.resize(length);
    record.path = path;
    record.info = FileDescriptionOf(path);
    return record;
}

} // namespace

std::string CutAnsiText(std::string text, size_t limit, unsigned codePage) {
    if (text.size() <= limit)
        return text;
    size_t end = 0;
    while (end < limit) {
        size_t width = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[end])) ? 2 : 1;
        if (end + width > limit)
            break;
        end += width;
    }
    text.resize(end);
    return text;
}

std::vector<HelperObjectRecord> CollectHelperObjects() {
    std::vector<HelperObjectRecord> records;
    RegKey key = OpenRegKey(HKEY_LOCAL_MACHINE, kHelperObjectsKey);
    if (!key)
        return records;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256 + 1] = {};
        DWORD length = 256 + 1;
        LONG result =
            RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA)
            continue; // no class id is that long; the keys after it still count
        if (result != ERROR_SUCCESS)
            break;
        records.push_back(DescribeHelperObject(std::wstring(name, length)));
    }
    return records;
}

std::vector<ProcessRecord> CollectProcesses() {
    std::vector<ProcessRecord> records;
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return records;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        records.push_back(DescribeProcess(entry));
    return records;
}
