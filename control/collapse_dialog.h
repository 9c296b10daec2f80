// CDlgCollapseInfo: the crash dialog (resource 103) telling the user what
// failed before the host process ends.
#pragma once

#include <windows.h>

#include <string>

class CDlgCollapseInfo {
public:
    void SetText(std::wstring text) { text_ = std::move(text); }
    const std::wstring& Text() const { return text_; }

    // Shows the dialog modally; IDOK or IDCANCEL, or -1 when it cannot be shown.
    INT_PTR DoModal(HINSTANCE resources, HWND owner);

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    std::wstring text_;
};
