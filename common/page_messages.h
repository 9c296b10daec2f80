// The nine private messages that carry worker results to the page's thread,
// and the way components post them. Workers never call the page directly.
#pragma once

#include <windows.h>

#include <functional>

namespace VeyrantMessage {
constexpr UINT kDownloadCompleted = WM_USER + 333; // 0x054D
constexpr UINT kAllDownloadsCompleted = 0x054E;
constexpr UINT kInstalledCompleted = 0x054F;
constexpr UINT kAllInstallsCompleted = 0x0550;
constexpr UINT kNetError = 0x0551;
constexpr UINT kUpdateResult = 0x0552;
constexpr UINT kPatchCheckComplete = 0x0553;
constexpr UINT kSelfUpdateError = 0x0554;
constexpr UINT kCheckLog = 0x0555;
} // namespace VeyrantMessage

// Posts one message to the message window (any thread may call it).
using PagePoster = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

// The lParam values of the download and install reports.
constexpr LPARAM kReportSuccess = -1;
constexpr LPARAM kReportFailure = 0;
