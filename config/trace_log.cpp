#include "config/trace_log.h"

#include "common/files.h"
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

// Larger switch files are read as unreadable: a settings file is a few lines.
constexpr unsigned long long kLargestSwitchFile = 64ull * 1024 * 1024;

SwitchFileFacts FactsOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    return {true, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
            FileTimeTicks(data.ftLastWriteTime)};
}

} // namespace

TraceLog::TraceLog(std::wstring logFile, std::wstring switchFile)
    : logFile_(std::move(logFile)), switchFile_(std::move(switchFile)) {}

// Called under lock_.
std::uint64_t TraceLog::TimeStampStep() const {
    if (timeStampStep_ == 0)
        timeStampStep_ = TimeStampStepOf(switchFile_);
    return timeStampStep_;
}

// Called under lock_. The file is parsed only when its bytes differ from
// those of the last reading.
void TraceLog::ReadSwitch(const SwitchFileFacts& facts, std::uint64_t now) const {
    std::optional<std::string> bytes;
    if (facts.exists)
        bytes =
            ReadWholeDiskFile(switchFile_, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              kLargestSwitchFile);
    const bool unchanged = switch_.valid && bytes == switch_.bytes;
    switch_.valid = true;
    switch_.facts = facts;
    switch_.readAt = now;
    if (unchanged)
        return;
    switch_.bytes = std::move(bytes);
    switch_.hasDebug = false;
    switch_.debugText.clear();
    XmlNode settings;
    if (switch_.bytes && settings.LoadFile(switchFile_)) {
        XmlNode* debug = settings.FindChild(L"Debug");
        switch_.hasDebug = debug != nullptr;
        switch_.debugText = debug ? debug->GetText() : L"";
    }
}

// Called under lock_.
bool TraceLog::Enabled(int level) const {
    std::uint64_t now = NowTicks();
    SwitchFileFacts facts = FactsOf(switchFile_);
    bool settled = ReadingSettled(switch_.readAt, switch_.facts.lastWrite, TimeStampStep());
    if (!switch_.valid || facts != switch_.facts || !settled)
        ReadSwitch(facts, now);
    return TraceSwitchAllows(switch_.hasDebug, switch_.debugText, level);
}

// Called under lock_.
void TraceLog::MakeFolderOnce() const {
    if (!folderMade_)
        CreateFolderChain(logFile_);
    folderMade_ = true;
}

void TraceLog::Append(const std::string& line) const {
    std::lock_guard appendGuard(appendLock_);
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
