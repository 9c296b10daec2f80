// The site lock: a build may name the bank's page origins, and the control then
// answers only pages whose document URL has one of them. The matching is pure
// and strict: a URL or pattern that does not parse never matches, so anything
// unusual (user names, percent-encoding, non-ASCII hosts, backslashes, missing
// "//") is refused rather than interpreted.
//
// Setting: patterns separated by ";" (blanks around them ignored), each
//   http[s]://HOST[:PORT]     that host only
//   http[s]://*.DOMAIN[:PORT] any host strictly below DOMAIN (two labels at least)
// Scheme and host match without regard to case; a pattern without a port
// matches any port. An empty setting leaves the control unlocked.
//
// Everything here is constexpr so that the build can reject a setting that
// does not parse.
#pragma once

#include "common/text.h"

#include <optional>
#include <string_view>

namespace site_lock {

struct Origin {
    std::wstring_view scheme; // "http" or "https", in the source's case
    std::wstring_view host;   // without a pattern's "*."
    bool subdomains = false;  // a pattern's "*.": hosts strictly below `host`
    int port = 0;             // 0: none given
};

namespace detail {

constexpr bool IsLabelChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'-';
}

// Dot-separated labels of letters, digits and hyphens, none empty; nothing
// else (no "%", no "@", no "\", nothing beyond ASCII).
constexpr bool IsHostName(std::wstring_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    size_t label = 0;
    for (wchar_t c : host) {
        if (c == L'.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (!IsLabelChar(c) || ++label > 63) {
            return false;
        }
    }
    return label > 0;
}

// 1 to 65535 in decimal digits only; 0 when it is not one.
constexpr int ParsePort(std::wstring_view text) {
    if (text.empty() || text.size() > 5)
        return 0;
    int port = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return 0;
        port = port * 10 + (c - L'0');
    }
    return port <= 65535 ? port : 0;
}

constexpr int DefaultPort(std::wstring_view scheme) {
    return EqualsAsciiNoCase(scheme, L"https") ? 443 : 80;
}

// "scheme://authority" and what follows the authority; nothing for another shape.
constexpr std::optional<Origin> ParseAuthority(std::wstring_view text, bool pattern) {
    const size_t separator = text.find(L"://");
    if (separator == std::wstring_view::npos)
        return std::nullopt;
    Origin origin;
    origin.scheme = text.substr(0, separator);
    if (!EqualsAsciiNoCase(origin.scheme, L"http") && !EqualsAsciiNoCase(origin.scheme, L"https"))
        return std::nullopt;
    std::wstring_view rest = text.substr(separator + 3);
    const size_t end = rest.find_first_of(L"/?#");
    if (pattern && end != std::wstring_view::npos)
        return std::nullopt; // a pattern is an origin, nothing more
    std::wstring_view authority = rest.substr(0, end);
    const size_t colon = authority.find(L':');
    if (colon != std::wstring_view::npos) {
        origin.port = ParsePort(authority.substr(colon + 1));
        if (origin.port == 0)
            return std::nullopt;
        authority = authority.substr(0, colon);
    }
    origin.host = authority;
    return origin;
}

constexpr bool HasTwoLabels(std::wstring_view host) {
    return host.find(L'.') != std::wstring_view::npos;
}

constexpr std::wstring_view Trimmed(std::wstring_view text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Calls visit(pattern text) for each non-empty entry of a setting until it returns true.
template <typename Visit> constexpr bool AnyEntry(std::wstring_view setting, Visit visit) {
    while (!setting.empty()) {
        const size_t semicolon = setting.find(L';');
        const std::wstring_view entry = Trimmed(setting.substr(0, semicolon));
        if (!entry.empty() && visit(entry))
            return true;
        setting = semicolon == std::wstring_view::npos ? std::wstring_view()
                                                       : setting.substr(semicolon + 1);
    }
    return false;
}

} // namespace detail

// The origin of a document URL; nothing when it does not parse strictly.
constexpr std::optional<Origin> ParseUrl(std::wstring_view url) {
    std::optional<Origin> origin = detail::ParseAuthority(url, false);
    if (!origin || !detail::IsHostName(origin->host))
        return std::nullopt;
    return origin;
}

// One entry of the setting; nothing when it does not parse.
constexpr std::optional<Origin> ParsePattern(std::wstring_view pattern) {
    std::optional<Origin> origin = detail::ParseAuthority(pattern, true);
    if (!origin)
        return std::nullopt;
    if (origin->host.starts_with(L"*.")) {
        origin->host.remove_prefix(2);
        origin->subdomains = true;
        if (!detail::HasTwoLabels(origin->host))
            return std::nullopt; // "*.cn" would open a whole top-level domain
    }
    if (!detail::IsHostName(origin->host))
        return std::nullopt;
    return origin;
}

constexpr bool Matches(const Origin& pattern, const Origin& url) {
    if (!EqualsAsciiNoCase(pattern.scheme, url.scheme))
        return false;
    if (pattern.port != 0 &&
        pattern.port != (url.port ? url.port : detail::DefaultPort(url.scheme)))
        return false;
    if (!pattern.subdomains)
        return EqualsAsciiNoCase(pattern.host, url.host);
    const size_t size = pattern.host.size();
    return url.host.size() > size + 1 && url.host[url.host.size() - size - 1] == L'.' &&
           EqualsAsciiNoCase(url.host.substr(url.host.size() - size), pattern.host);
}

// Whether a setting names any origin; an empty one leaves the control unlocked.
constexpr bool IsSet(std::wstring_view setting) {
    return detail::AnyEntry(setting, [](std::wstring_view) { return true; });
}

// Whether every entry of a setting parses (the build refuses one that does not).
constexpr bool IsValidSetting(std::wstring_view setting) {
    return !detail::AnyEntry(setting, [](std::wstring_view entry) { return !ParsePattern(entry); });
}

// The one decision: whether a control built with `setting` answers the page
// at `url` (nothing: no page, or a page whose address could not be read).
// Unlocked, every page and no page; locked, only a listed origin.
constexpr bool ServesPage(std::wstring_view setting, std::optional<std::wstring_view> url) {
    if (!IsSet(setting))
        return true;
    const std::optional<Origin> origin = url ? ParseUrl(*url) : std::nullopt;
    if (!origin)
        return false;
    return detail::AnyEntry(setting, [&](std::wstring_view entry) {
        const std::optional<Origin> pattern = ParsePattern(entry);
        return pattern && Matches(*pattern, *origin);
    });
}

} // namespace site_lock
