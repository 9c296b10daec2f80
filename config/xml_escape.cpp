#include "config/xml_escape.h"

std::wstring EscapeXmlAttribute(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'&':
            out += L"&amp;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\r':
            out += L"&#13;";
            break;
        case L'\n':
            out += L"&#10;";
            break;
        case L'\t':
            out += L"&#9;";
            break;
        default:
            out += c;
        }
    }
    return out;
}
