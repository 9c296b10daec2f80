#include "config/trace_log.h"

#include "common/handles.h"
#include "common/text.h"
#include "config/folder_chain.h"
#include "config/xml_node.h"

std::string FormatTraceLine(const SYSTEMTIME& time, std::wstring_view text, unsigned codePage) {
    std::wstring line = FormatW(L"时间：%4d-%.2d-%.2d %.2d:%.2d:%.2d ", time.wYear, time.wMonth,
                                time.wDay, time.wHour, time.wMinute, time.wSecond);
    line.append(text);
    std::string bytes = ToCodePage(line, codePage);
    bytes.push_back('\n');
    return bytes;
}

bool TraceSwitchAllows(bool hasDebugElement, const std::wstring& debugText, int level) {
    if (!hasDebugElement)
        return false;
    return !(debugText == L"false" && level == 1);
}

namespace {

// Coarser than any file system's time stamps (FAT keeps two seconds): a file
// written again within one step of its last reading may keep both its size
// and its time, so such a reading is not trusted until the step has passed.
constexpr std::uint64_t kTimeStampStep = 2 * 10'000'000ULL;

std::uint64_t Ticks(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::uint64_t Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

SwitchFileFacts FactsOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    return {true, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
            Ticks(data.ftLastWriteTime)};
}

} // namespace

TraceLog::TraceLog(std::wstring logFile, std::wstring switchFile)
    : logFile_(std::move(logFile)), switchFile_(std::move(switchFile)) {}

// Called under lock_.
bool TraceLog::Enabled(int level) const {
    std::uint64_t now = Now();
    SwitchFileFacts facts = FactsOf(switchFile_);
    bool settled = switch_.readAt > switch_.facts.lastWrite &&
                   switch_.readAt - switch_.facts.lastWrite > kTimeStampStep;
    if (!switch_.valid || facts != switch_.facts || !settled) {
        switch_ = SwitchReading{true, facts, now};
        XmlNode settings;
        if (facts.exists && settings.LoadFile(switchFile_)) {
            XmlNode* debug = settings.FindChild(L"Debug");
            switch_.hasDebug = debug != nullptr;
            switch_.debugText = debug ? debug->GetText() : L"";
        }
    }
    return TraceSwitchAllows(switch_.hasDebug, switch_.debugText, level);
}

// Called under lock_.
void TraceLog::MakeFolderOnce() const {
    if (!folderMade_)
        CreateFolderChain(logFile_);
    folderMade_ = true;
}

void TraceLog::Append(const std::string& line) const {
    auto open = [&] {
        return FileHandle(CreateFileW(logFile_.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    FileHandle file = open();
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) { // the folder went away
        CreateFolderChain(logFile_);
        file = open();
    }
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void TraceLog::Write(const std::wstring& text, int level) const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    {
        std::lock_guard guard(lock_);
        MakeFolderOnce();
        if (!Enabled(level))
            return;
    }
    Append(FormatTraceLine(now, text, CP_ACP));
}
