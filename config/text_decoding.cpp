#include "config/text_decoding.h"

#include "common/text.h"

#include <windows.h>

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";
constexpr std::string_view kUnsupportedMark{"\x00\x00\xFF\xFE", 4};

std::wstring DecodeUtf16(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wchar_t c = static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8));
        if (c == L'\0')
            break;
        text.push_back(c);
    }
    return text;
}

} // namespace

std::wstring DecodeConfigText(std::string_view body, unsigned ansiCodePage) {
    if (body.starts_with(kUtf8Mark))
        return FromCodePage(body.substr(kUtf8Mark.size()), CP_UTF8);
    if (body.starts_with(kUtf16Mark))
        return DecodeUtf16(body.substr(kUtf16Mark.size()));
    if (body.starts_with(kUnsupportedMark))
        return {};
    return FromCodePage(body.substr(0, body.find('\0')), ansiCodePage);
}
