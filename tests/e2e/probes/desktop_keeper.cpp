// Keeps the session's desktop open while a test's prefix runs: Wine closes a
// desktop a second after its last program ends and starts it again for the
// next one (a new explorer.exe for every page the tests run). A message-only
// window makes this program a user of the desktop without showing anything;
// it runs until the session ends.
//   desktop_keeper READY_FILE   creates READY_FILE once the desktop is up
// It is the session's first program, started with no handles of the test's:
// the services and explorer.exe it starts inherit its standard handles, and a
// test that read a program's output would otherwise wait for them to end.
#include "common/handles.h"

#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>

namespace {

struct LocalFreer {
    void operator()(LPWSTR* memory) const { LocalFree(memory); }
};

// The READY_FILE argument; empty when the command line is not one file name.
std::wstring ReadyFileArgument() {
    int argc = 0;
    std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    return argv && argc == 2 ? argv.get()[1] : L"";
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    std::wstring readyFile = ReadyFileArgument();
    if (readyFile.empty())
        return 2;
    // Starts explorer.exe for the desktop, if it is not running yet.
    if (GetDesktopWindow() == nullptr)
        return 1;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"TovralDesktopKeeper";
    if (!RegisterClassW(&windowClass) ||
        !CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         instance, nullptr))
        return 1;
    if (!FileHandle(CreateFileW(readyFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)))
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
