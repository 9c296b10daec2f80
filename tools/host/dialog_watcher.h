// --dismiss-dialogs: a thread that reports and closes every dialog box
// (window class #32770) of this process, so runs with message boxes or the
// control's crash dialog end without a user.
#pragma once

#include "common/handles.h"

#include <string>
#include <vector>

// The lines printed for one dialog: "dialog: CAPTION", then one
// "dialog-text: LINE" per non-empty line of its edit and static texts.
std::vector<std::wstring> DialogReportLines(const std::wstring& caption,
                                            const std::vector<std::wstring>& texts);

class DialogWatcher {
public:
    DialogWatcher();
    ~DialogWatcher();
    DialogWatcher(const DialogWatcher&) = delete;
    DialogWatcher& operator=(const DialogWatcher&) = delete;

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Watch();

    KernelHandle stopEvent_;
    KernelHandle thread_;
};
