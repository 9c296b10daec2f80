// Escaping of texts that go into XML attribute values of the lists handed to the page.
#pragma once

#include <string>
#include <string_view>

// "&" "<" ">" the double quote, CR, LF and tab become "&amp;" "&lt;" "&gt;"
// "&quot;" "&#13;" "&#10;" "&#9;"; each character is replaced once, so nothing is
// escaped twice. The three blanks are written as references because a parser
// reads a literal one in an attribute as a space.
std::wstring EscapeXmlAttribute(std::wstring_view text);

// Whether XML can carry the text at all (escaped or not): no control
// characters but tab and line ends, no U+FFFE/U+FFFF, no unpaired surrogates.
bool IsXmlText(std::wstring_view text);
