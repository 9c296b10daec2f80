// Turns the decrypted body of an encrypted configuration file into text; the
// first bytes say how the body is encoded.
#pragma once

#include <string>
#include <string_view>

// EF BB BF: UTF-8 after the mark. FF FE: UTF-16LE after the mark, up to the
// first zero character. 00 00 FF FE (a body of at least 4 bytes): not
// supported, empty text. Anything else: the ANSI code page given (the control
// passes CP_THREAD_ACP), up to the first zero byte.
std::wstring DecodeConfigText(std::string_view body, unsigned ansiCodePage);
