#include "envcheck/version_compare.h"

#include <limits>

namespace {

unsigned ParseComponent(std::wstring_view part) {
    size_t i = 0;
    while (i < part.size() && (part[i] == L' ' || part[i] == L'\t'))
        ++i;
    unsigned long long value = 0;
    for (; i < part.size() && part[i] >= L'0' && part[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<unsigned>(part[i] - L'0');
        if (value > std::numeric_limits<unsigned>::max())
            return std::numeric_limits<unsigned>::max();
    }
    return static_cast<unsigned>(value);
}

} // namespace

VersionParts ParseVersionText(std::wstring_view text) {
    VersionParts parts{};
    for (size_t index = 0; index < parts.size(); ++index) {
        size_t dot = text.find(L'.');
        parts[index] = ParseComponent(text.substr(0, dot));
        if (dot == std::wstring_view::npos)
            break;
        text.remove_prefix(dot + 1);
    }
    return parts;
}

int IsVersionLower(std::wstring_view a, std::wstring_view b) {
    return ParseVersionText(a) < ParseVersionText(b) ? 1 : 0;
}
