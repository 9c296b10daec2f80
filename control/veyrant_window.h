// CVeyrantWindow: carries worker results to the page. Workers post one of
// nine private messages to the host's top-level window, which the module
// subclassed at start-up; the window procedure, on the page's thread, turns
// each message into a call of a global function of the page.
#pragma once

#include "common/page_messages.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

class CDownLoad;

// Escapes text for a single-quoted JScript string literal, so the page
// receives exactly the text whatever characters it holds.
std::wstring EscapeForScriptString(std::wstring_view text);

// The script text run in the page for one of the nine messages, or nothing
// for any other message. `report` is the check-log text.
std::optional<std::wstring> CallbackScript(UINT message, WPARAM wParam, LPARAM lParam,
                                           std::wstring_view report);

class CVeyrantWindow {
public:
    CVeyrantWindow() = default;
    virtual ~CVeyrantWindow();
    CVeyrantWindow(const CVeyrantWindow&) = delete;
    CVeyrantWindow& operator=(const CVeyrantWindow&) = delete;

    // Routes the window's messages through this object; once per process.
    bool SubclassWindow(HWND window);
    // Puts the previous procedure back while this object's is still installed.
    void RestoreWindowProc();
    // False while the window routes through a procedure chained on top of ours:
    // the module must then stay loaded.
    bool CanUnload() const;

    // Read by workers when they post; cleared on the page's thread at WM_NCDESTROY.
    HWND Handle() const { return window_; }

    // The control whose page receives the call-backs: the most recently
    // constructed one, detached when it is destroyed.
    void SetCurrentControl(CDownLoad* control) { currentControl_ = control; }
    void DetachControl(CDownLoad* control);
    CDownLoad* CurrentControl() const { return currentControl_; }

protected:
    virtual BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result);
    virtual void OnFinalMessage(HWND) {}

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCallbackMessage(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);

    std::atomic<HWND> window_{nullptr};
    WNDPROC previousProc_ = DefWindowProcW;
    CDownLoad* currentControl_ = nullptr;
};
