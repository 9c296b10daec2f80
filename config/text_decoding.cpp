#include "config/text_decoding.h"

#include "common/text.h"

#include <windows.h>

#include <cstdint>
#include <optional>

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

// Well-formed UTF-8 decoded here, as MultiByteToWideChar decodes it (four-byte
// sequences as surrogate pairs) but without its cost per character under
// Wine, which dominates on large texts; nullopt at the first ill-formed
// sequence (overlong, a surrogate, beyond U+10FFFF, cut short), so that the
// system's replacement rules decide every such text whole.
std::optional<std::wstring> DecodeWellFormedUtf8(std::string_view bytes) {
    std::wstring text(bytes.size(), L'\0'); // never more UTF-16 units than bytes
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t size = bytes.size();
    size_t at = 0, out = 0;
    while (at < size) {
        const uint8_t lead = in[at];
        if (lead < 0x80) {
            text[out++] = lead;
            ++at;
            continue;
        }
        const size_t length = (lead & 0xE0) == 0xC0   ? 2
                              : (lead & 0xF0) == 0xE0 ? 3
                              : (lead & 0xF8) == 0xF0 ? 4
                                                      : 0;
        if (length == 0 || size - at < length)
            return std::nullopt;
        uint32_t point = lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((in[at + k] & 0xC0) != 0x80)
                return std::nullopt;
            point = (point << 6) | (in[at + k] & 0x3F);
        }
        constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        if (point >= 0x10000) {
            point -= 0x10000;
            text[out++] = static_cast<wchar_t>(0xD800 + (point >> 10));
            text[out++] = static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
        } else {
            text[out++] = static_cast<wchar_t>(point);
        }
        at += length;
    }
    text.resize(out);
    return text;
}

} // namespace

std::wstring DecodeConfigText(std::string_view body, unsigned ansiCodePage) {
    if (body.starts_with(kUtf8Mark)) {
        const std::string_view utf8 = body.substr(kUtf8Mark.size());
        std::optional<std::wstring> text = DecodeWellFormedUtf8(utf8);
        return text ? std::move(*text) : FromCodePage(utf8, CP_UTF8);
    }
    if (body.starts_with(kUtf16Mark))
        return DecodeUtf16(body.substr(kUtf16Mark.size()));
    if (body.starts_with(kUnsupportedMark))
        return {};
    return FromCodePage(body.substr(0, body.find('\0')), ansiCodePage);
}
