#include "install/programs.h"

#include "common/files.h"
#include "common/handles.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace {

// Restores the process's current folder, which registration changes for a while.
class CurrentFolderScope {
public:
    explicit CurrentFolderScope(const std::wstring& folder) {
        DWORD size = GetCurrentDirectoryW(0, nullptr);
        saved_.resize(size);
        saved_.resize(GetCurrentDirectoryW(size, saved_.data()));
        SetCurrentDirectoryW(folder.c_str());
    }
    ~CurrentFolderScope() {
        if (!saved_.empty())
            SetCurrentDirectoryW(saved_.c_str());
    }
    CurrentFolderScope(const CurrentFolderScope&) = delete;
    CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

private:
    std::wstring saved_;
};

// CreateProcessW with the given show state and flags, waited for without limit.
int RunAndWait(std::wstring commandLine, WORD show, DWORD flags) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = show;
    PROCESS_INFORMATION process{};
    // CreateProcessW may write into the command line: it needs its own buffer.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process))
        return 0;
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    return 1;
}

using ServerEntry = HRESULT(STDAPICALLTYPE*)();

int CallServerEntry(const std::wstring& path, bool registering) {
    CurrentFolderScope folder(FolderPart(path));
    Library library(registering
                        ? LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                        : LoadLibraryW(path.c_str()));
    if (!library)
        return 0;
    auto entry = reinterpret_cast<ServerEntry>(reinterpret_cast<void*>(
        GetProcAddress(library.get(), registering ? "DllRegisterServer" : "DllUnregisterServer")));
    return entry && entry() == S_OK ? 1 : 0;
}

} // namespace

std::wstring QuotedCommandLine(const std::wstring& path, const std::wstring& arguments) {
    std::wstring line = L"\"" + path + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    return line;
}

int RunProgram(const std::wstring& path) {
    return RunAndWait(QuotedCommandLine(path), SW_SHOWNORMAL, CREATE_NEW_CONSOLE);
}

int OpenWithShell(const std::wstring& path) {
    std::wstring file = path;
    for (wchar_t& c : file)
        if (c == L'/')
            c = L'\\';
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No SEE_MASK_DOENVSUBST: the path is already whole and checked, and a
    // "%VAR%" in a listed name must not send the shell to another file.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_LOG_USAGE;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return 0;
    KernelHandle process(info.hProcess);
    if (process)
        WaitForSingleObject(process.get(), INFINITE);
    return 1;
}

int RunRegsvr32(const std::wstring& path) {
    return RunAndWait(L"regsvr32.exe " + QuotedCommandLine(path, L"/s"), SW_HIDE, CREATE_NO_WINDOW);
}

int RegisterServerDll(const std::wstring& path) {
    return CallServerEntry(path, true);
}

int UnregisterServerDll(const std::wstring& path) {
    return CallServerEntry(path, false);
}
