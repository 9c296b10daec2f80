#include "control/collapse_dialog.h"

#include "resources/resource.h"

INT_PTR CDlgCollapseInfo::DoModal(HINSTANCE resources, HWND owner) {
    return DialogBoxParamW(resources, MAKEINTRESOURCEW(IDD_COLLAPSE_INFO), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDlgCollapseInfo::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto* self = reinterpret_cast<CDlgCollapseInfo*>(lParam);
        SetDlgItemTextW(dialog, IDC_COLLAPSE_TEXT, self->text_.c_str());
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        return TRUE;
    default:
        return FALSE;
    }
}
