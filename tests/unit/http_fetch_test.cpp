#include "install/http_fetch.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseContentLength, AcceptsDecimalCountsWithBlanksAround) {
    EXPECT_EQ(ParseContentLength(L"0"), 0u);
    EXPECT_EQ(ParseContentLength(L" 268435456\t"), 268435456u);
    EXPECT_EQ(ParseContentLength(L"18446744073709551615"), 18446744073709551615u);
}

TEST(ParseContentLength, RejectsWhatIsNotACount) {
    for (const wchar_t* text : {L"", L"  ", L"-1", L"+1", L"12 3", L"0x10", L"1e3",
                                L"18446744073709551616", L"99999999999999999999"})
        EXPECT_FALSE(ParseContentLength(text).has_value()) << text;
}

} // namespace
