// The site lock's matching of document URLs against the bank's origins: what
// a hostile page can put in a URL must never pass for a listed origin.
#include "control/site_lock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kBank[] = L"https://ebank.example.cn;https://*.example.cn";

bool Serves(const wchar_t* setting, const wchar_t* url) {
    return site_lock::ServesPage(setting, std::wstring_view(url));
}

TEST(SiteLock, ListedOriginsAreServedWhateverThePathQueryOrCase) {
    for (const wchar_t* url : {
             L"https://ebank.example.cn/",
             L"https://ebank.example.cn",
             L"https://ebank.example.cn/login.htm?next=https://evil.test/#top",
             L"HTTPS://EBANK.Example.CN/Index.HTM",
             L"https://ebank.example.cn:443/",
             L"https://ebank.example.cn:8443/", // a pattern without a port takes any
             L"https://pay.example.cn/",
             L"https://a.b.example.cn/",
             L"https://ebank.example.cn/%E4%B8%AD?q=%40",
         }) {
        EXPECT_TRUE(Serves(kBank, url)) << url;
    }
}

TEST(SiteLock, LookalikeAddressesAreRefused) {
    for (const wchar_t* url : {
             L"https://ebank.example.cn.evil.test/",
             L"https://evil.test/?https://ebank.example.cn",
             L"https://evil.test/https://ebank.example.cn/",
             L"https://evil.test#https://ebank.example.cn",
             L"https://ebank.example.cn@evil.test/",
             L"https://user:pw@ebank.example.cn/", // user information is refused outright
             L"https://evil.test\\@ebank.example.cn/",
             L"https://ebank.example.cn\\.evil.test/",
             L"https://evilexample.cn/",
             L"https://example.cn/", // "*." covers subdomains only
             L"https://ebank.example.cn./",
             L"https://ebank..example.cn/",
             L"http://ebank.example.cn/",
             L"ftp://ebank.example.cn/",
             L"javascript:https://ebank.example.cn/",
             L"https:ebank.example.cn",
             L"https:/ebank.example.cn/",
             L"https:///ebank.example.cn/",
             L"//ebank.example.cn/",
             L" https://ebank.example.cn/",
             L"https://ebank.example.cn :443/",
             L"https://ebank.exa\tmple.cn/",
             L"https://ebank.example.cn:/",
             L"https://ebank.example.cn:0/",
             L"https://ebank.example.cn:65536/",
             L"https://ebank.example.cn:+443/",
             L"https://ebank.example.cn:443:443/",
             L"https://[::1]/",
             L"https://ebank%2Eexample.cn/",
             L"https://%65bank.example.cn/",
             L"https://еbank.example.cn/", // Cyrillic "е"
             L"https://ebank.example.cn\u3002/",
             L"",
             L"about:blank",
         }) {
        EXPECT_FALSE(Serves(kBank, url)) << url;
    }
}

TEST(SiteLock, PortsAndSchemesOfPatterns) {
    const wchar_t lock[] = L"https://ebank.example.cn:8443; http://*.test.example.cn";
    EXPECT_TRUE(Serves(lock, L"https://ebank.example.cn:8443/"));
    EXPECT_FALSE(Serves(lock, L"https://ebank.example.cn/"));
    EXPECT_FALSE(Serves(lock, L"https://ebank.example.cn:443/"));
    EXPECT_FALSE(Serves(lock, L"http://ebank.example.cn:8443/"));
    EXPECT_TRUE(Serves(lock, L"http://a.test.example.cn:81/"));
    EXPECT_FALSE(Serves(lock, L"https://a.test.example.cn/"));
    // A port given in the pattern compares with the scheme's default port.
    EXPECT_TRUE(Serves(L"https://ebank.example.cn:443", L"https://ebank.example.cn/"));
    EXPECT_TRUE(Serves(L"http://ebank.example.cn:80", L"http://ebank.example.cn:80/"));
    EXPECT_FALSE(Serves(L"http://ebank.example.cn:443", L"http://ebank.example.cn/"));
}

TEST(SiteLock, UnsetServesEveryPageSetRefusesAPageWithoutAddress) {
    for (const wchar_t* unset : {L"", L" ", L";", L" ; ;"}) {
        EXPECT_FALSE(site_lock::IsSet(unset));
        EXPECT_TRUE(site_lock::ServesPage(unset, std::nullopt));
        EXPECT_TRUE(Serves(unset, L"not a url"));
    }
    EXPECT_TRUE(site_lock::IsSet(kBank));
    EXPECT_FALSE(site_lock::ServesPage(kBank, std::nullopt));
}

TEST(SiteLock, SettingsThatDoNotParseAreInvalid) {
    for (const wchar_t* setting : {kBank, L"", L" https://ebank.example.cn ;",
                                   L"http://10.0.0.1:8080", L"HTTPS://*.Example.CN:443"}) {
        EXPECT_TRUE(site_lock::IsValidSetting(setting)) << setting;
    }
    for (const wchar_t* setting : {
             L"ebank.example.cn",
             L"https://ebank.example.cn/",
             L"https://ebank.example.cn/bank",
             L"https://*.cn",
             L"https://*",
             L"https://*.*.example.cn",
             L"https://e*.example.cn",
             L"https://ebank.example.cn:99999",
             L"file://ebank.example.cn",
             L"https://ebank.example.cn;https://evil test",
             L"https://user@ebank.example.cn",
         }) {
        EXPECT_FALSE(site_lock::IsValidSetting(setting)) << setting;
    }
    // An entry that does not parse is never a match, even beside valid ones.
    EXPECT_FALSE(Serves(L"https://*.cn", L"https://evil.cn/"));
}

static_assert(site_lock::IsValidSetting(L"https://ebank.example.cn;https://*.example.cn"));
static_assert(!site_lock::IsValidSetting(L"https://*.cn"));

} // namespace
