// The one rule by which dotted version texts are compared ("1.0.9" < "1.0.10").
#pragma once

#include <array>
#include <string_view>

using VersionParts = std::array<unsigned, 4>;

// Splits "a.b.c.d" into four numbers; missing components are 0. Each component
// is its leading decimal digits (blanks before them skipped, values above
// 0xFFFFFFFF held at that maximum). The scan stops for good at a component
// that does not start with a digit or at a character after the digits that is
// not a dot; what is left counts as 0. Components after the fourth are ignored.
VersionParts ParseVersionText(std::wstring_view text);

// 1 when version text a is strictly lower than version text b, else 0.
int IsVersionLower(std::wstring_view a, std::wstring_view b);
