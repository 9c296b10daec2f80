// The guard of the scripting methods: whatever the work throws, the page gets
// the method's failure value and S_OK, the trace log gets a line, and only a
// failed allocation surfaces as E_OUTOFMEMORY.
#include "common/com_error.h"
#include "control/script_call.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

TEST(ScriptCall, ThrowingWorkGivesTheFailureValueAndATraceLine) {
    RecordingTraceSink trace;
    BSTR text = SysAllocString(L"stale");
    SysFreeString(text);
    EXPECT_EQ(script_call::Text(&trace, L"GetDownLoadList", &text,
                                []() -> std::wstring { throw std::runtime_error("bad list"); }),
              S_OK);
    EXPECT_EQ(text, nullptr); // an empty string to the page

    VARIANT_BOOL flag = 7;
    EXPECT_EQ(
        script_call::Bool(&trace, L"SetLanguage", &flag, []() -> short { throw ComError(E_FAIL); }),
        S_OK);
    EXPECT_EQ(flag, 0);

    LONG code = 9;
    EXPECT_EQ(script_call::Long(&trace, L"UpdateCancel", &code, []() -> short { throw 42; }), S_OK);
    EXPECT_EQ(code, 0);

    EXPECT_EQ(trace.Lines(),
              (std::vector<std::wstring>{L"失败事件：GetDownLoadList 异常：bad list",
                                         L"失败事件：SetLanguage 异常：0x80004005",
                                         L"失败事件：UpdateCancel 异常：unknown exception"}));
}

TEST(ScriptCall, OutOfMemoryIsTheOnlyFailingResult) {
    RecordingTraceSink trace;
    BSTR text = nullptr;
    EXPECT_EQ(script_call::Text(&trace, L"GetQelLinks", &text,
                                []() -> std::wstring { throw std::bad_alloc(); }),
              E_OUTOFMEMORY);
    EXPECT_EQ(script_call::Guarded(&trace, L"StartDownLoad", [] { throw ComError(E_OUTOFMEMORY); }),
              E_OUTOFMEMORY);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(script_call::Guarded(nullptr, L"StartDownLoad", [] { throw 1; }), S_OK);
}

TEST(ScriptCall, ResultsPassThroughUnchanged) {
    VARIANT_BOOL flag = 0;
    EXPECT_EQ(script_call::Bool(nullptr, L"SetLanguage", &flag, [] { return short(1); }), S_OK);
    EXPECT_EQ(flag, 1); // the engine's 1, not VARIANT_TRUE
    LONG status = 0;
    EXPECT_EQ(script_call::Long(nullptr, L"GetStatuBySurrId", &status, [] { return short(-5); }),
              S_OK);
    EXPECT_EQ(status, -5); // sign-extended
    BSTR text = nullptr;
    EXPECT_EQ(
        script_call::Text(nullptr, L"GetLanguage", &text, [] { return std::wstring(L"a\0b", 3); }),
        S_OK);
    EXPECT_EQ(SysStringLen(text), 3u); // the whole text, embedded NULs included
    SysFreeString(text);
    EXPECT_EQ(script_call::Text(nullptr, L"GetLanguage", nullptr, [] { return std::wstring(); }),
              E_POINTER);
}

} // namespace
