#include "tools/host/console_output.h"

#include "common/text.h"

#include <windows.h>

#include <mutex>
#include <string>

namespace {

std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

void WriteAll(HANDLE handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                       &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

} // namespace

void WriteLine(OutputStream stream, std::wstring_view text) {
    HANDLE handle =
        GetStdHandle(stream == OutputStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    std::lock_guard<std::mutex> hold(OutputLock());
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        std::wstring line(text);
        line += L"\r\n";
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    WriteAll(handle, ToCodePage(text, CP_UTF8) + "\n");
}
