// Time of mirroring XML lists through XmlNode, to show that it grows linearly
// with the number of items:
//   xml_bench ITEMS... [--repeat N]
// Each round times every list once, in alternating order, and prints a line
// "round=R items=N children=N load_seconds=X mirror_seconds=Y" per list: load
// is XmlNode::LoadXml (parse and mirror), mirror is an XmlNode made over the
// root of a document parsed beforehand (the sibling walk alone).
// The lists are a page's download lists, two items of three ticked. bench/run.py
// reads the lines; a list not mirrored whole (every item, its id and its tick,
// in order) exits 1.
#include "common/text.h"
#include "config/xml_node.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The version-independent DOMDocument class (see config/xml_node.cpp).
const CLSID kDomDocumentClass = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};

const wchar_t* Tick(int item) {
    return item % 3 == 2 ? L"false" : L"true";
}

// A page's download list of `items` items, one a line.
std::wstring ListText(int items) {
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<list>\r\n";
    for (int i = 0; i < items; ++i)
        text += FormatW(L"  <item id=\"%d\" falg=\"%ls\" name=\"Component %d\"/>\r\n", 1000 + i,
                        Tick(i), i);
    return text + L"</list>\r\n";
}

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&start_); }
    double Seconds() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return double(now.QuadPart - start_.QuadPart) / double(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start_;
};

// Every item mirrored, in document order, with its id and tick.
bool MirroredWhole(const XmlNode& list, int items) {
    if (list.ChildCount() != static_cast<size_t>(items))
        return false;
    int i = 0;
    for (const auto& item : list.Children()) {
        if (item->GetIntAttribute(L"id", -1) != 1000 + i ||
            item->GetAttribute(L"falg", L"") != Tick(i))
            return false;
        ++i;
    }
    return true;
}

ComPtr<IXMLDOMElement> ParsedRoot(const std::wstring& text) {
    ComPtr<IXMLDOMDocument> document;
    ComPtr<IXMLDOMElement> root;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (SUCCEEDED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument, &document)) &&
        document->loadXML(Bstr(text).get(), &ok) == S_OK && ok != VARIANT_FALSE)
        document->get_documentElement(&root);
    return root;
}

// One timed load and one timed mirror; false when either lost items.
bool RunOnce(int round, const std::wstring& text, int items) {
    XmlNode loaded;
    Stopwatch load;
    bool ok = loaded.LoadXml(text);
    double loadSeconds = load.Seconds();
    ok = ok && MirroredWhole(loaded, items);

    ComPtr<IXMLDOMElement> root = ParsedRoot(text);
    if (!ok || !root)
        return false;
    Stopwatch mirror;
    XmlNode mirrored(root.Get());
    double mirrorSeconds = mirror.Seconds();
    if (!MirroredWhole(mirrored, items))
        return false;
    std::printf("round=%d items=%d children=%u load_seconds=%.6f mirror_seconds=%.6f\n", round,
                items, static_cast<unsigned>(mirrored.ChildCount()), loadSeconds, mirrorSeconds);
    return true;
}

} // namespace

struct Options {
    std::vector<int> sizes;
    int repeat = 1;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--repeat") == 0 && i + 1 < argc)
            options.repeat = _wtoi(argv[++i]);
        else if (int items = _wtoi(argv[i]); items > 0)
            options.sizes.push_back(items);
        else
            return false;
    }
    return !options.sizes.empty() && options.repeat > 0;
}

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: xml_bench ITEMS... [--repeat N]\n");
        return 2;
    }
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    std::vector<std::wstring> texts;
    for (int items : options.sizes)
        texts.push_back(ListText(items));
    // MSXML's first document loads the DLL: no timed list may pay for that.
    XmlNode warmUp;
    warmUp.LoadXml(ListText(10));
    const size_t count = options.sizes.size();
    for (int round = 0; round < options.repeat; ++round) {
        for (size_t k = 0; k < count; ++k) {
            size_t i = round % 2 == 0 ? k : count - 1 - k;
            if (!RunOnce(round, texts[i], options.sizes[i])) {
                std::fprintf(stderr, "the list of %d items was not mirrored whole\n",
                             options.sizes[i]);
                return 1;
            }
        }
    }
    return 0;
}
