#include "tools/host/dialog_watcher.h"

#include "tools/host/console_output.h"

#include <map>

namespace {

const DWORD kScanIntervalMs = 100;
const ULONGLONG kPressAgainMs = 2000; // a dialog that ignored the first press
const UINT kMessageTimeoutMs = 2000;

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// Text of a window of another thread; a hung dialog does not hang the watcher.
std::wstring TextOf(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, kMessageTimeoutMs, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_BLOCK, kMessageTimeoutMs, &copied))
        return {};
    text.resize(copied < length ? copied : length);
    return text;
}

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    const std::wstring cls = ClassOf(child);
    if (_wcsicmp(cls.c_str(), L"Edit") == 0 || _wcsicmp(cls.c_str(), L"Static") == 0)
        reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(TextOf(child));
    return TRUE;
}

BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM param) {
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770")
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

void Report(HWND dialog) {
    std::vector<std::wstring> texts;
    EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&texts));
    for (const std::wstring& line : DialogReportLines(TextOf(dialog), texts))
        WriteLine(OutputStream::Out, line);
}

void PressDefaultButton(HWND dialog) {
    DWORD_PTR reply = 0;
    WORD id = IDOK;
    if (SendMessageTimeoutW(dialog, DM_GETDEFID, 0, 0, SMTO_BLOCK, kMessageTimeoutMs, &reply) &&
        HIWORD(reply) == DC_HASDEFID)
        id = LOWORD(reply);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

} // namespace

std::vector<std::wstring> DialogReportLines(const std::wstring& caption,
                                            const std::vector<std::wstring>& texts) {
    std::vector<std::wstring> lines{L"dialog: " + caption};
    for (const std::wstring& text : texts) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find_first_of(L"\r\n", start);
            if (end == std::wstring::npos)
                end = text.size();
            if (end > start)
                lines.push_back(L"dialog-text: " + text.substr(start, end - start));
            start = end + 1;
        }
    }
    return lines;
}

DialogWatcher::DialogWatcher() : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_.reset(CreateThread(nullptr, 0, &DialogWatcher::ThreadMain, this, 0, nullptr));
}

DialogWatcher::~DialogWatcher() {
    if (!thread_)
        return;
    SetEvent(stopEvent_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI DialogWatcher::ThreadMain(void* self) {
    static_cast<DialogWatcher*>(self)->Watch();
    return 0;
}

void DialogWatcher::Watch() {
    std::map<HWND, ULONGLONG> pressedAt;
    while (WaitForSingleObject(stopEvent_.get(), kScanIntervalMs) == WAIT_TIMEOUT) {
        std::vector<HWND> dialogs;
        EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&dialogs));
        for (auto it = pressedAt.begin(); it != pressedAt.end();)
            it = IsWindow(it->first) ? std::next(it) : pressedAt.erase(it);
        const ULONGLONG now = GetTickCount64();
        for (HWND dialog : dialogs) {
            auto seen = pressedAt.find(dialog);
            if (seen == pressedAt.end())
                Report(dialog);
            else if (now - seen->second < kPressAgainMs)
                continue;
            PressDefaultButton(dialog);
            pressedAt[dialog] = now;
        }
    }
}
