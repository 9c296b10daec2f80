// The bank links the page shows, byte for byte.
#include "config/bank_links.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* kResource =
    L"<Resource><websites>"
    L"<chs><site id='w1' filename='网上银行' url='https://ebank.example.cn/?a=1&amp;b=2'/>"
    L"<site id='w&quot;2' filename='A &lt;B&gt;' url=''/><site/></chs>"
    L"</websites><dynamiclink><chs>help/chs/index.html</chs><eng/></dynamiclink></Resource>";

TEST(BankLinks, SitesOfTheLanguage) {
    EXPECT_EQ(FormatBankLinks(kResource, L"chs"),
              L"<Websites>\n"
              L"<Website id=\"w1\" name=\"网上银行\" url=\"https://ebank.example.cn/?a=1&amp;b=2\">"
              L"</Website>\n"
              L"<Website id=\"w&quot;2\" name=\"A &lt;B&gt;\" url=\"\"></Website>\n"
              L"<Website id=\"\" name=\"\" url=\"\"></Website>\n"
              L"</Websites>");
    // A language without entries, and texts without the parts.
    EXPECT_EQ(FormatBankLinks(kResource, L"eng"), L"<Websites>\n</Websites>");
    EXPECT_EQ(FormatBankLinks(L"", L"chs"), L"<Websites>\n</Websites>");
    EXPECT_EQ(FormatBankLinks(L"<Resource/>", L"chs"), L"");
}

TEST(BankLinks, DynamicLinkFollowsTheRootUrl) {
    EXPECT_EQ(FormatDynamicLink(kResource, L"chs", L"http://bank/"),
              L"http://bank/help/chs/index.html");
    EXPECT_EQ(FormatDynamicLink(kResource, L"chs", L""), L"help/chs/index.html");
    EXPECT_EQ(FormatDynamicLink(kResource, L"eng", L"http://bank/"), L"http://bank/");
    EXPECT_EQ(FormatDynamicLink(kResource, L"xyz", L"http://bank/"), L"");
    EXPECT_EQ(FormatDynamicLink(L"not xml", L"chs", L"http://bank/"), L"");
}

} // namespace
