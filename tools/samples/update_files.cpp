// Sample of the bank's updater, to which the control hands its own update over. Started
// with the decimal id of the process to wait for, it reads the hand-off list the control
// left in %APPDATA%\Zelmor\AssemblyUpdate\waiter.cfg, waits for that process to end and,
// instead of replacing files, records what it saw in UpdateFiles.log (UTF-8) in its
// current folder, so tests can check the hand-off.
#include "sample_handles.h"

#include <windows.h>
#include <shlobj.h>

#include <cwctype>
#include <optional>
#include <string>
#include <utility>

namespace {

// Long enough for a page and its browser to close; the bank's updater gives up too.
constexpr DWORD kWaitLimitMs = 60 * 1000;

std::wstring WaiterListPath() {
    wchar_t appData[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData)))
        return {};
    return std::wstring(appData) + L"\\Zelmor\\AssemblyUpdate\\waiter.cfg";
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    SampleHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.HighPart != 0)
        return std::nullopt;
    std::string bytes(size.LowPart, '\0');
    DWORD done = 0;
    if (!ReadFile(file.get(), bytes.data(), size.LowPart, &done, nullptr) || done != size.LowPart)
        return std::nullopt;
    return bytes;
}

// The control stores the list as UTF-16LE text without a byte-order mark, every byte
// XORed with the low byte of the file's length and with 0x6B.
std::wstring Unscramble(std::string bytes) {
    const auto key = static_cast<char>((bytes.size() & 0xFF) ^ 0x6B);
    for (char& b : bytes)
        b = static_cast<char>(b ^ key);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return text;
}

std::optional<std::wstring> ReadWaiterList() {
    std::wstring path = WaiterListPath();
    std::optional<std::string> bytes = path.empty() ? std::nullopt : ReadWholeFile(path);
    if (!bytes)
        return std::nullopt;
    return Unscramble(std::move(*bytes));
}

// The process id, or 0 (never a process) when the argument is not one decimal number.
DWORD ParseProcessId(const std::wstring& argument) {
    if (argument.empty() || argument.size() > 10)
        return 0;
    unsigned long long id = 0;
    for (wchar_t c : argument) {
        if (!std::iswdigit(c))
            return 0;
        id = id * 10 + static_cast<unsigned>(c - L'0');
    }
    return id > MAXDWORD ? 0 : static_cast<DWORD>(id);
}

const wchar_t* WaitForProcess(DWORD processId) {
    SampleHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process)
        return L"noprocess";
    return WaitForSingleObject(process.get(), kWaitLimitMs) == WAIT_OBJECT_0 ? L"ok" : L"timeout";
}

std::wstring CurrentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return folder;
}

std::wstring OwnPath() {
    std::wstring path(32768, L'\0'); // the longest path Windows has
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

bool WriteUtf8File(const wchar_t* path, const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    SampleHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring Trimmed(const wchar_t* text) {
    std::wstring s = text;
    s.erase(0, s.find_first_not_of(L" \t"));
    s.erase(s.find_last_not_of(L" \t") + 1);
    return s;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    std::wstring argument = Trimmed(commandLine);
    std::optional<std::wstring> list = ReadWaiterList();
    const wchar_t* waited = WaitForProcess(ParseProcessId(argument));
    std::wstring record = L"pid=" + argument + L"\r\ncwd=" + CurrentFolder() + L"\r\nexe=" +
                          OwnPath() + L"\r\nwaited=" + waited + L"\r\nlist=" +
                          list.value_or(L"<none>") + L"\r\n";
    return WriteUtf8File(L"UpdateFiles.log", record) ? 0 : 1;
}
