#include "envcheck/component_check.h"

#include "common/handles.h"
#include "common/registry.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "config/item_ids.h"
#include "config/xml_node.h"
#include "envcheck/file_facts.h"
#include "envcheck/version_compare.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>

namespace {

using Step = CheckStep;

// The record an availability test returns: a signed code (negative: the
// component is not usable) and a message text.
struct AvailabilityRecord {
    std::int32_t code;
    const wchar_t* message;
};
using AvailabilityEntry = const AvailabilityRecord* (*)();

// A message longer than this is cut: it only goes into a trace line and the report.
constexpr size_t kLongestMessage = 1024;

void Add(ComponentFinding& f, Step step) {
    f.steps.push_back(step);
}

bool IsControl(const ComponentFinding& f) {
    return f.kind == ComponentKind::Control;
}

// Opens f.keyPath under the root named by "regrootkey" (exact text only).
RegKey OpenEntryKey(ComponentFinding& f) {
    f.root = PredefinedKeyByName(f.entry.regRootKey, NameCase::Exact);
    RegKey key;
    f.openError = f.root ? RegOpenKeyExW(f.root, f.keyPath.c_str(), 0, KEY_READ, key.out())
                         : ERROR_INVALID_HANDLE;
    if (f.openError != ERROR_SUCCESS)
        key.reset();
    return key;
}

const AvailabilityRecord* CallAvailabilityTest(HMODULE library) {
    FARPROC proc = GetProcAddress(library, "CheckApp_Veyr");
    if (!proc)
        return nullptr;
    // No arguments: the cdecl and stdcall calls are the same.
    auto entry = reinterpret_cast<AvailabilityEntry>(reinterpret_cast<void (*)()>(proc));
    return entry();
}

void InspectAvailability(ComponentFinding& f, const std::wstring& clientFolder,
                         AvailabilityLibraries& libraries) {
    if (f.entry.checkStateDll.empty())
        return Add(f, Step::LibraryNotConfigured);
    std::optional<std::wstring> path = AvailabilityLibraryPath(clientFolder, f.entry.checkStateDll);
    if (!path || !IsExistingFile(*path))
        return Add(f, Step::LibraryMissing);
    f.libraryPath = *path;
    Add(f, Step::LibraryFound);
    HMODULE library = libraries.Load(*path);
    if (!library)
        return Add(f, Step::LibraryNotLoadable);
    Add(f, Step::LibraryLoaded);
    const AvailabilityRecord* record = CallAvailabilityTest(library);
    if (!record) // no export, or nothing to read
        return Add(f, Step::EntryPointMissing);
    f.testCode = record->code;
    if (record->message)
        f.testMessage.assign(record->message, wcsnlen(record->message, kLongestMessage));
    Add(f, f.testCode < 0 ? Step::TestFailed : Step::TestPassed);
}

// Returns false when the version test ended the look.
bool InspectInstalledVersion(ComponentFinding& f, HKEY key) {
    const ComponentEntry& e = f.entry;
    if (e.regKey.empty()) {
        Add(f, Step::NoValueName);
        return true;
    }
    if (e.verNum.empty()) {
        Add(f, Step::NoOfferedVersion);
        return true;
    }
    // Read whole, however long: a long value is still the installed version.
    std::optional<std::wstring> value = ReadRegString(key, e.regKey.c_str());
    if (!value) {
        Add(f, Step::VersionValueMissing);
        return false;
    }
    f.value = *value;
    Add(f, Step::VersionValueRead);
    if (IsVersionLower(f.value, e.verNum)) {
        Add(f, Step::Outdated);
        return false;
    }
    return true;
}

void InspectApplication(ComponentFinding& f, const std::wstring& clientFolder,
                        AvailabilityLibraries& libraries) {
    if (f.entry.regRootKey.empty() || f.entry.regSubKey.empty())
        return Add(f, Step::RegistryNotConfigured);
    f.keyPath = f.entry.regSubKey;
    RegKey key = OpenEntryKey(f);
    if (!key)
        return Add(f, Step::KeyMissing);
    Add(f, Step::KeyOpened);
    if (!InspectInstalledVersion(f, key.get()))
        return;
    key.reset();
    InspectAvailability(f, clientFolder, libraries);
}

// Returns false when the registered file ended the look.
bool InspectRegisteredFile(ComponentFinding& f) {
    if (!IsExistingFile(f.longPath)) {
        Add(f, Step::FileMissing);
        return false;
    }
    Add(f, Step::FilePresent);
    FileVersionFacts version = ReadFileVersion(f.longPath);
    if (!version.sizeRead) {
        f.versionInfoError = version.sizeError;
        Add(f, Step::VersionInfoUnreadable);
    }
    f.fileVersion = version.text;
    Add(f, Step::FileVersionRead);
    if (f.entry.verNum.empty()) {
        Add(f, Step::NoOfferedVersion); // no requirement: the availability test decides
        return true;
    }
    if (IsVersionLower(f.fileVersion, f.entry.verNum)) {
        Add(f, Step::Outdated);
        return false;
    }
    return true;
}

void InspectControl(ComponentFinding& f, const std::wstring& clientFolder,
                    AvailabilityLibraries& libraries) {
    f.keyPath = f.entry.regSubKey + L"\\InprocServer32";
    RegKey key = OpenEntryKey(f);
    if (!key)
        return Add(f, Step::KeyMissing);
    Add(f, Step::KeyOpened);
    std::optional<std::wstring> path = ReadRegString(key.get(), nullptr);
    key.reset();
    if (!path)
        return Add(f, Step::RegisteredPathMissing);
    f.value = *path;
    f.longPath = LongPathOf(ExpandRegisteredPath(f.value), f.longPathError);
    Add(f, Step::RegisteredPathRead);
    if (InspectRegisteredFile(f))
        InspectAvailability(f, clientFolder, libraries);
}

// --- wording -------------------------------------------------------------------

std::wstring Numbered(const ComponentFinding& f, const std::wstring& text) {
    return FormatW(L"文件号：%d", f.entry.id) + text;
}

std::wstring TestResultText(const ComponentFinding& f, bool passed) {
    return FormatW(L"检测DLL返回%ls,返回值：%d, 返回信息： %ls", passed ? L"成功" : L"失败",
                   f.testCode, f.testMessage.c_str());
}

std::vector<std::wstring> ControlKeyMissingTrace(const ComponentFinding& f) {
    return {Numbered(f, L" 检测事件：注册表项 " + f.entry.regRootKey + L"\\" + f.keyPath),
            FormatW(L"HKEY：%d Error：%d", static_cast<int>(reinterpret_cast<INT_PTR>(f.root)),
                    static_cast<int>(f.openError)),
            Numbered(f, L" 错误原因：安装检查注册表项不存在")};
}

std::vector<std::wstring> RegistryTrace(Step step, const ComponentFinding& f) {
    switch (step) {
    case Step::RegistryNotConfigured:
        return {Numbered(f, L" 检测失败：注册表项未配置")};
    case Step::KeyMissing:
        return IsControl(f) ? ControlKeyMissingTrace(f)
                            : std::vector{Numbered(f, L" 错误原因：注册表项不存在")};
    case Step::VersionValueMissing:
        return {Numbered(f, L" 错误原因：注册表键值不存在")};
    case Step::VersionValueRead:
        return {Numbered(f, L" 成功事件：注册表键值存在")};
    case Step::RegisteredPathMissing:
        return {Numbered(f, L" 错误原因：安装检查注册表键值不存在")};
    case Step::RegisteredPathRead:
        return {Numbered(f, L" 成功事件：安装检查注册表键值存在"),
                FormatW(L"ID=%ls,Path=%ls,Error=%d", f.entry.idText.c_str(), f.longPath.c_str(),
                        static_cast<int>(f.longPathError))};
    default:
        return {};
    }
}

std::vector<std::wstring> FileTrace(Step step, const ComponentFinding& f) {
    switch (step) {
    case Step::FileMissing:
        return {Numbered(f, L" 错误原因：文件不存在")};
    case Step::VersionInfoUnreadable:
        return {FormatW(L"失败事件：文件版本信息获取失败，错误值：%d",
                        static_cast<int>(f.versionInfoError))};
    case Step::Outdated:
        return {Numbered(f, IsControl(f) ? std::wstring(L" 错误原因：版本过低")
                                         : L" 错误原因：版本过低,New:" + f.entry.verNum + L" Old:" +
                                               f.value)};
    default:
        return {};
    }
}

std::vector<std::wstring> AvailabilityTrace(Step step, const ComponentFinding& f) {
    switch (step) {
    case Step::LibraryNotConfigured:
        return {Numbered(f, L" 检测失败：可用性检查DLL未配置")};
    case Step::LibraryMissing:
        return {Numbered(f, L" 检测失败：可用性检查DLL不存在，检查失败")};
    case Step::LibraryNotLoadable:
        return {Numbered(f, L" 检测失败：加载可用性检测DLL失败")};
    case Step::LibraryLoaded:
        return {Numbered(f, IsControl(f) ? L" 成功事件：可用性检测DLL存在"
                                         : L" 成功事件：检测DLL存在")};
    case Step::EntryPointMissing:
        return {Numbered(f, L" 检测失败：调用可用性检测DLL函数失败")};
    case Step::TestFailed:
    case Step::TestPassed:
        return {Numbered(f, L", 结果：" + TestResultText(f, step == Step::TestPassed))};
    default:
        return {};
    }
}

std::vector<std::wstring> TraceOf(Step step, const ComponentFinding& f) {
    if (step == Step::SectionMissing)
        return {Numbered(f, L" 检测失败：XML不完整")};
    for (auto* wording : {RegistryTrace, FileTrace, AvailabilityTrace}) {
        std::vector<std::wstring> lines = wording(step, f);
        if (!lines.empty())
            return lines;
    }
    return {};
}

short StatusAfter(Step last) {
    switch (last) {
    case Step::VersionValueMissing:
    case Step::RegisteredPathMissing:
    case Step::Outdated:
        return ItemStatus::kOutdated;
    case Step::LibraryNotConfigured:
    case Step::TestPassed:
        return ItemStatus::kCurrent;
    case Step::KeyMissing:
        return ItemStatus::kNotInstalled;
    case Step::FileMissing:
    case Step::TestFailed:
        return ItemStatus::kBroken;
    default: // the list, the entry or the availability library is not usable
        return ItemStatus::kUnknown;
    }
}

std::wstring InstallReport(Step step, const ComponentFinding& f) {
    const ComponentEntry& e = f.entry;
    switch (step) {
    case Step::RegistryNotConfigured:
        return L"\t安装信息未配置\n";
    case Step::KeyMissing:
    case Step::RegisteredPathMissing:
        return L"\t未安装\n";
    case Step::KeyOpened: // a control counts as installed once its file is registered
        return IsControl(f) ? L"" : L"\t已安装\n";
    case Step::NoValueName:
        return L"\t无版本信息，安装正常\n";
    case Step::NoOfferedVersion:
        return IsControl(f) ? L"" : L"\t服务端未配置版本信息\n";
    case Step::VersionValueMissing:
        return L"\t本地无版本信息，建议升级，新版本为：" + e.verNum + L"\n";
    case Step::VersionValueRead:
        return L"\t文件版本为：" + f.value + L"\n";
    case Step::RegisteredPathRead:
        return L"\t已安装\n\t注册路径：" + f.value + L"\n";
    default:
        return {};
    }
}

std::wstring FileReport(Step step, const ComponentFinding& f) {
    switch (step) {
    case Step::FileMissing:
        return L"\t文件不存在，建议重装\n";
    case Step::FilePresent:
        return L"\t文件存在\n";
    case Step::VersionInfoUnreadable:
        return L"\t文件版本信息获取失败\n";
    case Step::FileVersionRead:
        return L"\t文件版本:" + f.fileVersion + L"\n";
    case Step::Outdated:
        return (IsControl(f) ? L"\t文件版本低，建议升级，新版本为："
                             : L"\t版本有更新，建议升级，新版本为：") +
               f.entry.verNum + L"\n";
    default:
        return {};
    }
}

std::wstring AvailabilityReport(Step step, const ComponentFinding& f) {
    switch (step) {
    case Step::LibraryNotConfigured:
        return L"\t可用性检查DLL未配置\n";
    case Step::LibraryMissing:
        return L"\t可用性检查DLL不存在\n";
    case Step::LibraryFound:
        return IsControl(f) ? L"\t可用性检查DLL存在，DLL路径：" + f.libraryPath + L"\n" : L"";
    case Step::LibraryNotLoadable:
        return (IsControl(f) ? L"" : f.entry.name) + L"\t加载可用性检测DLL失败\n";
    case Step::LibraryLoaded:
        return IsControl(f) ? L"\t可用性检测DLL存在\n" : L"\t可用性检查DLL存在\n";
    case Step::EntryPointMissing:
        return L"\t调用可用性检测DLL函数失败\n";
    case Step::TestFailed:
    case Step::TestPassed:
        return L"\t" + TestResultText(f, step == Step::TestPassed); // the next head starts a line
    default:
        return {};
    }
}

} // namespace

const wchar_t* SectionName(ComponentKind kind) {
    return kind == ComponentKind::Control ? L"Control" : L"Application";
}

std::optional<std::wstring> AvailabilityLibraryPath(const std::wstring& clientFolder,
                                                    std::wstring_view checkStateDll) {
    std::wstring relative(checkStateDll);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    if (relative.find(L'\0') != std::wstring::npos)
        return std::nullopt;
    for (size_t start = 0; start <= relative.size();) {
        size_t end = std::min(relative.find(L'\\', start), relative.size());
        if (IsDeviceName(std::wstring_view(relative).substr(start, end - start)))
            return std::nullopt;
        start = end + 1;
    }
    return clientFolder + relative;
}

ComponentEntry ReadComponentEntry(const XmlNode& item) {
    ComponentEntry e;
    e.id = item.GetIntAttribute(L"id", 0);
    e.idText = item.GetAttribute(L"id", L"");
    e.name = item.GetAttribute(L"name", L"");
    e.regRootKey = item.GetAttribute(L"regrootkey", L"");
    e.regSubKey = item.GetAttribute(L"regsubkey", L"");
    e.regKey = item.GetAttribute(L"regkey", L"");
    e.verNum = item.GetAttribute(L"vernum", L"");
    e.checkStateDll = item.GetAttribute(L"checkstatedll", L"");
    return e;
}

// The record CheckApp_Veyr returns and its message text live in the
// library's own memory, and the bank's libraries may leave threads or hooks
// running after the call: unloading one could pull code or data from under
// them. So each library stays loaded until the process ends (no FreeLibrary,
// deliberately no RAII owner), and one handle per path keeps the reference
// count from growing with every check.
HMODULE AvailabilityLibraries::Load(const std::wstring& path) {
    std::lock_guard guard(lock_);
    std::wstring key = ToUpper(path);
    if (auto found = loaded_.find(key); found != loaded_.end())
        return found->second;
    // A broken library must not raise a system error box on the customer's desktop.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    SetThreadErrorMode(previousMode, nullptr);
    if (library)
        loaded_.emplace(std::move(key), library);
    return library;
}

ComponentFinding InspectComponent(ComponentKind kind, const ComponentEntry& entry,
                                  const std::wstring& clientFolder,
                                  AvailabilityLibraries& libraries) {
    ComponentFinding finding;
    finding.kind = kind;
    finding.entry = entry;
    if (kind == ComponentKind::Control)
        InspectControl(finding, clientFolder, libraries);
    else
        InspectApplication(finding, clientFolder, libraries);
    return finding;
}

CheckVerdict VerdictOf(const ComponentFinding& finding) {
    CheckVerdict verdict;
    for (Step step : finding.steps) {
        for (std::wstring& line : TraceOf(step, finding))
            verdict.traceLines.push_back(std::move(line));
    }
    verdict.status =
        finding.steps.empty() ? ItemStatus::kUnknown : StatusAfter(finding.steps.back());
    return verdict;
}

std::wstring ReportEntryOf(const ComponentFinding& finding) {
    std::wstring text = L"\n" + finding.entry.name + (IsControl(finding) ? L"\n" : L"：\n");
    for (Step step : finding.steps) {
        for (auto* wording : {InstallReport, FileReport, AvailabilityReport})
            text += wording(step, finding);
    }
    return text;
}
