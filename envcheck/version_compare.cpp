#include "envcheck/version_compare.h"

#include <algorithm>
#include <limits>

namespace {

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

} // namespace

// Reads as "%d.%d.%d.%d" scanning does: a component is its leading digits
// (blanks before them skipped), and the scan ends at the first character that
// is neither such a number nor the dot after one, so "1.2a.3" is 1.2.0.0.
VersionParts ParseVersionText(std::wstring_view text) {
    VersionParts parts{};
    size_t i = 0;
    for (size_t index = 0; index < parts.size(); ++index) {
        while (i < text.size() && (text[i] == L' ' || text[i] == L'\t'))
            ++i;
        if (i == text.size() || !IsDigit(text[i]))
            break;
        unsigned long long value = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i)
            value = std::min<unsigned long long>(value * 10 + (text[i] - L'0'),
                                                 std::numeric_limits<unsigned>::max());
        parts[index] = static_cast<unsigned>(value);
        if (i == text.size() || text[i] != L'.')
            break;
        ++i;
    }
    return parts;
}

int IsVersionLower(std::wstring_view a, std::wstring_view b) {
    return ParseVersionText(a) < ParseVersionText(b) ? 1 : 0;
}
