// The client application's top-level window and its message loop. The control
// subclasses this window when its DLL is loaded (it takes the active window of
// the loading thread) and receives its private messages here; everything else
// reaches the window procedure below.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class HostWindow {
public:
    // Creates the window; shows and activates it unless `activate` is false.
    HostWindow(const std::wstring& title, bool activate);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND handle() const { return hwnd_; }
    bool created() const { return hwnd_ != nullptr; }
    // Destroys the window now (the control's subclassing must let go of it).
    bool Destroy();
    // Sends a message through the window's procedure chain, as any later message
    // would; used once the control's DLL is gone to show the window still works.
    void Ping();
    // Messages of the application ranges (WM_USER..0x7FFF, WM_APP..0xBFFF) that
    // reached this window's own procedure, as "message,wParam,lParam" lines.
    std::wstring ReceivedMessages() const;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    std::vector<std::wstring> received_;
};

enum class PumpEnd { Stopped, Quit, TimedOut };

// The host's message loop, run by the page through host.pump(). Nested runs
// (a call-back that pumps again) share the stop request.
class MessagePump {
public:
    // Dispatches messages until Stop(), a WM_QUIT or the time limit (INFINITE: none).
    PumpEnd Run(DWORD timeoutMs);
    // Ends the current run, or the next one at once when none is running.
    void Stop() { stopRequested_ = true; }
    bool quitReceived() const { return quitReceived_; }

private:
    bool DispatchPending(); // false when WM_QUIT arrived

    bool stopRequested_ = false;
    bool quitReceived_ = false;
};
