// Escaping of texts that go into XML attribute values of the lists handed to the page.
#pragma once

#include <string>
#include <string_view>

// "&" "<" ">" the double quote, CR and LF become "&amp;" "&lt;" "&gt;" "&quot;"
// "&#13;" "&#10;"; each character is replaced once, so nothing is escaped twice.
std::wstring EscapeXmlAttribute(std::wstring_view text);
