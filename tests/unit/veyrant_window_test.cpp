#include "control/veyrant_window.h"

#include <gtest/gtest.h>

namespace {

using namespace VeyrantMessage;

TEST(CallbackScript, EachMessageGivesItsScriptText) {
    EXPECT_EQ(CallbackScript(kDownloadCompleted, 7, static_cast<LPARAM>(-1), L""),
              L"try{OnDownloadCompleted(7,-1);}catch(ex){}");
    EXPECT_EQ(CallbackScript(kAllDownloadsCompleted, 0, 0, L""),
              L"try{OnAllDownloadCompleted();}catch(ex){}");
    EXPECT_EQ(CallbackScript(kInstalledCompleted, 1001, 0, L""),
              L"try{OnInstalledCompleted(1001,0);}catch(ex){}");
    EXPECT_EQ(CallbackScript(kAllInstallsCompleted, 0, 0, L""),
              L"try{OnAllInstalledCompleted();}catch(ex){}");
    EXPECT_EQ(CallbackScript(kNetError, 0, 0, L""), L"try{OnNetError();}catch(ex){}");
    EXPECT_EQ(CallbackScript(kUpdateResult, 48, 0, L""), L"try{OnUpdate(48);}catch(ex){}");
    EXPECT_EQ(CallbackScript(kPatchCheckComplete, 0, 0, L""),
              L"try{OnPatchCheckComplete();}catch(ex){}");
    EXPECT_EQ(CallbackScript(kSelfUpdateError, 1, 5, L""),
              L"try{OnVeyrUpdateError(1);}catch(ex){}");
    EXPECT_EQ(CallbackScript(kCheckLog, 0, 0, L""), L"try{onCheckLog('');}catch(ex){}");
    EXPECT_FALSE(CallbackScript(kDownloadCompleted - 1, 0, 0, L""));
    EXPECT_FALSE(CallbackScript(kCheckLog + 1, 0, 0, L""));
    EXPECT_FALSE(CallbackScript(WM_PAINT, 0, 0, L""));
}

TEST(CallbackScript, NumbersAreSigned32Bit) {
    EXPECT_EQ(CallbackScript(kDownloadCompleted, static_cast<WPARAM>(-5), 0x7fffffff, L""),
              L"try{OnDownloadCompleted(-5,2147483647);}catch(ex){}");
}

TEST(CallbackScript, CheckLogTextIsEscapedForAStringLiteral) {
    std::wstring report = L"a\\b'c\r\nd\x2028\x2029";
    report.push_back(L'\0');
    report += L"\x01中文";
    EXPECT_EQ(CallbackScript(kCheckLog, 0, 0, report),
              L"try{onCheckLog('a\\\\b\\'c\\r\\nd\\u2028\\u2029\\u0000\\u0001中文');}catch(ex){}");
}

} // namespace
