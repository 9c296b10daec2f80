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

TraceLog::TraceLog(std::wstring logFile, std::wstring switchFile)
    : logFile_(std::move(logFile)), switchFile_(std::move(switchFile)) {}

bool TraceLog::Enabled(int level) const {
    XmlNode settings;
    if (!settings.LoadFile(switchFile_))
        return false;
    XmlNode* debug = settings.FindChild(L"Debug");
    return TraceSwitchAllows(debug != nullptr, debug ? debug->GetText() : L"", level);
}

void TraceLog::Write(const std::wstring& text, int level) const {
    const std::wstring& path = logFile_;
    CreateFolderChain(path);
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (!Enabled(level))
        return;
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    std::string line = FormatTraceLine(now, text, CP_ACP);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
