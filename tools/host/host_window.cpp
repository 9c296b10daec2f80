#include "tools/host/host_window.h"

#include "common/text.h"
#include "tools/host/console_output.h"

namespace {

const wchar_t kWindowClass[] = L"TovralHostWindow";
HostWindow* g_window = nullptr; // the one host window of the process

bool IsApplicationMessage(UINT message) {
    return (message >= WM_USER && message <= 0x7FFF) || (message >= WM_APP && message <= 0xBFFF);
}

void RegisterWindowClass(WNDPROC windowProc) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
}

} // namespace

HostWindow::HostWindow(const std::wstring& title, bool activate) {
    RegisterWindowClass(&HostWindow::WindowProc);
    g_window = this;
    hwnd_ = CreateWindowExW(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 800, 600, nullptr, nullptr, GetModuleHandleW(nullptr),
                            nullptr);
    if (!hwnd_ || !activate)
        return;
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
    SetForegroundWindow(hwnd_);
    SetActiveWindow(hwnd_);
    if (GetActiveWindow() != hwnd_)
        WriteLine(OutputStream::Err, L"host: warning: the host window could not be activated");
}

// The window is left to the end of the process: destroying a shown window
// under Xvfb without a window manager waits two seconds for the manager.
HostWindow::~HostWindow() {
    g_window = nullptr;
}

void HostWindow::Ping() {
    if (hwnd_)
        SendMessageW(hwnd_, WM_NULL, 0, 0);
}

bool HostWindow::Destroy() {
    if (!hwnd_)
        return false;
    const BOOL destroyed = DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    return destroyed != FALSE;
}

std::wstring HostWindow::ReceivedMessages() const {
    std::wstring lines;
    for (const std::wstring& line : received_) {
        if (!lines.empty())
            lines += L'\n';
        lines += line;
    }
    return lines;
}

LRESULT CALLBACK HostWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_window && IsApplicationMessage(message)) {
        g_window->received_.push_back(
            FormatW(L"%u,%d,%d", message, static_cast<int>(wParam), static_cast<int>(lParam)));
        return 0;
    }
    if (message == WM_NCDESTROY && g_window && g_window->hwnd_ == hwnd)
        g_window->hwnd_ = nullptr;
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool MessagePump::DispatchPending() {
    MSG msg;
    while (!stopRequested_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quitReceived_ = true;
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

PumpEnd MessagePump::Run(DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!DispatchPending())
            return PumpEnd::Quit;
        if (stopRequested_) {
            stopRequested_ = false;
            return PumpEnd::Stopped;
        }
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeoutMs)
                return PumpEnd::TimedOut;
            wait = static_cast<DWORD>(timeoutMs - elapsed);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}
