#include "control/veyrant_window.h"

#include "common/text.h"
#include "control/download.h"

namespace {

// One message window per process; the procedure finds it here.
CVeyrantWindow* g_subclassOwner = nullptr;

} // namespace

std::wstring EscapeForScriptString(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'\\':
            out += L"\\\\";
            break;
        case L'\'':
            out += L"\\'";
            break;
        case L'\r':
            out += L"\\r";
            break;
        case L'\n':
            out += L"\\n";
            break;
        case 0x2028:
            out += L"\\u2028";
            break;
        case 0x2029:
            out += L"\\u2029";
            break;
        default:
            if (c < 0x20)
                out += FormatW(L"\\u%04x", c); // other controls, NUL included
            else
                out.push_back(c);
        }
    }
    return out;
}

std::optional<std::wstring> CallbackScript(UINT message, WPARAM wParam, LPARAM lParam,
                                           std::wstring_view report) {
    using namespace VeyrantMessage;
    const int first = static_cast<int>(wParam);
    const int second = static_cast<int>(lParam);
    switch (message) {
    case kDownloadCompleted:
        return FormatW(L"try{OnDownloadCompleted(%d,%d);}catch(ex){}", first, second);
    case kAllDownloadsCompleted:
        return L"try{OnAllDownloadCompleted();}catch(ex){}";
    case kInstalledCompleted:
        return FormatW(L"try{OnInstalledCompleted(%d,%d);}catch(ex){}", first, second);
    case kAllInstallsCompleted:
        return L"try{OnAllInstalledCompleted();}catch(ex){}";
    case kNetError:
        return L"try{OnNetError();}catch(ex){}";
    case kUpdateResult:
        return FormatW(L"try{OnUpdate(%d);}catch(ex){}", first);
    case kPatchCheckComplete:
        return L"try{OnPatchCheckComplete();}catch(ex){}";
    case kSelfUpdateError:
        return FormatW(L"try{OnVeyrUpdateError(%d);}catch(ex){}", first);
    case kCheckLog:
        return L"try{onCheckLog('" + EscapeForScriptString(report) + L"');}catch(ex){}";
    default:
        return std::nullopt;
    }
}

CVeyrantWindow::~CVeyrantWindow() {
    RestoreWindowProc();
}

bool CVeyrantWindow::SubclassWindow(HWND window) {
    if (window_ || g_subclassOwner || !IsWindow(window))
        return false;
    g_subclassOwner = this;
    auto previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc)));
    if (!previous) {
        g_subclassOwner = nullptr;
        return false;
    }
    previousProc_ = previous;
    window_ = window;
    return true;
}

void CVeyrantWindow::RestoreWindowProc() {
    if (window_ && IsWindow(window_) &&
        GetWindowLongPtrW(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&WindowProc))
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
    window_ = nullptr;
    if (g_subclassOwner == this)
        g_subclassOwner = nullptr;
}

bool CVeyrantWindow::CanUnload() const {
    return !window_ || !IsWindow(window_) ||
           GetWindowLongPtrW(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&WindowProc);
}

void CVeyrantWindow::DetachControl(CDownLoad* control) {
    if (currentControl_ == control)
        currentControl_ = nullptr;
}

LRESULT CALLBACK CVeyrantWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    CVeyrantWindow* self = g_subclassOwner;
    if (!self)
        return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    if (self->ProcessWindowMessage(window, message, wParam, lParam, result))
        return result;
    WNDPROC previous = self->previousProc_;
    result = CallWindowProcW(previous, window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        if (GetWindowLongPtrW(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&WindowProc))
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        self->window_ = nullptr;
        self->OnFinalMessage(window);
    }
    return result;
}

BOOL CVeyrantWindow::ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam,
                                          LRESULT& result) {
    if (message < VeyrantMessage::kDownloadCompleted || message > VeyrantMessage::kCheckLog)
        return FALSE;
    BOOL handled = FALSE;
    result = OnCallbackMessage(message, wParam, lParam, handled);
    return handled;
}

LRESULT CVeyrantWindow::OnCallbackMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                          BOOL& handled) {
    CDownLoad* control = currentControl_;
    std::wstring report = control ? control->ReportResult() : std::wstring();
    if (auto script = CallbackScript(message, wParam, lParam, report); script && control)
        control->RunScript(*script);
    handled = TRUE;
    return 0;
}
