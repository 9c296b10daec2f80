#include "config/xml_node.h"

#include "common/files.h"
#include "common/text.h"

#include <cwchar>
#include <string_view>

namespace {

// The version-independent DOMDocument class; mingw's msxml2.h names a symbol no library has.
const CLSID kDomDocumentClass = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};

void RequireName(const wchar_t* name) {
    if (!name)
        throw ComError(E_FAIL);
}

// Wine's MSXML rebuilds the XML declaration after parsing by printing its
// version and encoding into a 30-byte stack buffer: a value of more than 17
// characters overruns it and crashes the host (found by fuzzing, e.g.
// version="1.999...9"). No list of the bank needs more than "1.0" and an
// encoding name, so such a declaration is refused before MSXML sees it.
constexpr size_t kLongestDeclarationValue = 17;

bool HasOverlongDeclarationValue(std::wstring_view text) {
    // Whatever comes before the first markup (blanks MSXML skips, a byte-order
    // mark) is passed over: only a declaration there is read as one.
    size_t start = text.find(L'<');
    if (start == std::wstring_view::npos || text.substr(start, 5) != L"<?xml")
        return false;
    std::wstring_view declaration = text.substr(start, text.find(L'>', start) - start);
    for (size_t open = declaration.find_first_of(L"\"'"); open != std::wstring_view::npos;) {
        size_t close = declaration.find(declaration[open], open + 1);
        if (close == std::wstring_view::npos)
            close = declaration.size();
        if (close - open - 1 > kLongestDeclarationValue)
            return true;
        open = close + 1 < declaration.size() ? declaration.find_first_of(L"\"'", close + 1)
                                              : std::wstring_view::npos;
    }
    return false;
}

// The start of a file as text, as far as an XML declaration can reach: UTF-16
// by its byte-order mark or its zero bytes, otherwise the bytes widened (a
// declaration is ASCII in every other encoding MSXML reads).
std::wstring FileHead(const std::wstring& path) {
    constexpr DWORD kHeadBytes = 64 * 1024;
    FileHandle file = OpenDiskFileForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    std::string bytes(kHeadBytes, '\0');
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), bytes.data(), kHeadBytes, &read, nullptr))
        return {};
    bytes.resize(read);
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool twoBytes = bytes.size() >= 2;
    const bool bigEndian = twoBytes && (byte(0) == 0 || (byte(0) == 0xFE && byte(1) == 0xFF));
    const bool littleEndian = twoBytes && (byte(1) == 0 || (byte(0) == 0xFF && byte(1) == 0xFE));
    std::wstring head;
    if (bigEndian || littleEndian) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            head.push_back(static_cast<wchar_t>(bigEndian ? byte(i) << 8 | byte(i + 1)
                                                          : byte(i + 1) << 8 | byte(i)));
    } else {
        for (size_t i = 0; i < bytes.size(); ++i)
            head.push_back(static_cast<wchar_t>(byte(i)));
    }
    return head;
}

} // namespace

XmlNode::XmlNode(IXMLDOMElement* element) {
    Attach(element);
}

XmlNode::XmlNode(IXMLDOMElement* element, int depth) {
    AttachAt(element, depth);
}

XmlNode::~XmlNode() {
    ClearChildren();
}

bool XmlNode::LoadFile(const std::wstring& path) {
    // COM is the calling thread's own business: worker threads own a
    // ComApartment, so nothing here joins an apartment and leaves it joined.
    if (HasOverlongDeclarationValue(FileHead(path)))
        return false;
    Variant source(path);
    if (!LoadDocument(&source, nullptr))
        return false;
    fromFile_ = true;
    path_ = path;
    return true;
}

bool XmlNode::LoadXml(const std::wstring& text) {
    if (HasOverlongDeclarationValue(text))
        return false;
    return LoadDocument(nullptr, &text);
}

bool XmlNode::LoadDocument(const Variant* path, const std::wstring* text) {
    document_.Reset();
    if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument, &document_)))
        return false;
    document_->put_async(VARIANT_FALSE);
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr =
        path ? document_->load(path->get(), &ok) : document_->loadXML(Bstr(*text).get(), &ok);
    if (hr != S_OK || ok == VARIANT_FALSE)
        return false;
    ComPtr<IXMLDOMElement> root;
    if (document_->get_documentElement(&root) != S_OK)
        return false;
    ClearChildren();
    Attach(root.Get());
    return true;
}

bool XmlNode::Save(const std::wstring& path) {
    if (!document_ && element_) {
        ComPtr<IXMLDOMDocument> owner;
        if (SUCCEEDED(element_->get_ownerDocument(&owner)))
            document_ = owner;
    }
    if (!document_)
        return false;
    Variant target(path.empty() && fromFile_ ? path_ : path);
    return document_->save(target.get()) == S_OK;
}

void XmlNode::Attach(IXMLDOMElement* element) {
    AttachAt(element, 0);
}

void XmlNode::AttachAt(IXMLDOMElement* element, int depth) {
    path_.clear();
    fromFile_ = false;
    if (element != element_.Get())
        element_ = element;
    if (!element_ || depth >= kDeepestMirroredLevel)
        return;
    // One pass over the siblings: indexing the child list per child is
    // quadratic in MSXML, and page lists may hold tens of thousands of items.
    ComPtr<IXMLDOMNode> node;
    element_->get_firstChild(&node);
    while (node) {
        ComPtr<IXMLDOMElement> child;
        if (SUCCEEDED(node->QueryInterface(IID_IXMLDOMElement, &child)) && child)
            children_.push_back(std::unique_ptr<XmlNode>(new XmlNode(child.Get(), depth + 1)));
        ComPtr<IXMLDOMNode> next;
        if (node->get_nextSibling(&next) != S_OK)
            break;
        node = next;
    }
}

void XmlNode::ClearChildren() {
    children_.clear();
}

std::shared_ptr<const XmlNode> XmlNode::ParseFrozen(const std::wstring& text) {
    auto node = std::make_shared<XmlNode>();
    if (!node->LoadXml(text))
        return nullptr;
    node->Freeze();
    return node;
}

void XmlNode::Freeze() {
    frozenName_ = GetName();
    frozenText_ = GetText();
    frozenAttributes_.clear();
    ComPtr<IXMLDOMNamedNodeMap> attributes;
    if (element_ && element_->get_attributes(&attributes) == S_OK && attributes) {
        ComPtr<IXMLDOMNode> attribute;
        while (attributes->nextNode(&attribute) == S_OK && attribute) {
            Bstr name;
            Variant value;
            attribute->get_nodeName(name.out());
            attribute->get_nodeValue(value.out());
            if (value->vt == VT_BSTR)
                frozenAttributes_.emplace_back(name.str(), Bstr::ToString(value->bstrVal));
            attribute.Reset();
        }
    }
    for (const auto& child : children_)
        child->Freeze();
    frozen_ = true;
    element_.Reset();
    document_.Reset();
}

std::wstring XmlNode::GetName() const {
    if (frozen_)
        return frozenName_;
    if (!element_)
        return {};
    Bstr name;
    element_->get_tagName(name.out());
    return name.str();
}

std::wstring XmlNode::GetText() const {
    if (frozen_)
        return frozenText_;
    if (!element_)
        return {};
    ComPtr<IXMLDOMNode> node;
    element_->get_firstChild(&node);
    while (node) {
        Bstr nodeName;
        node->get_nodeName(nodeName.out());
        if (EqualsNoCase(nodeName.str(), L"#text")) {
            Bstr text;
            node->get_text(text.out());
            return text.str();
        }
        ComPtr<IXMLDOMNode> next;
        if (node->get_nextSibling(&next) != S_OK)
            break;
        node = next;
    }
    return {};
}

std::wstring XmlNode::GetAttribute(const std::wstring& name, const std::wstring& fallback) const {
    if (frozen_) {
        for (const auto& [attribute, value] : frozenAttributes_) {
            if (attribute == name)
                return value;
        }
        return fallback;
    }
    if (!element_)
        return {};
    Variant value;
    element_->getAttribute(Bstr(name).get(), value.out());
    if (value->vt != VT_BSTR)
        return fallback;
    return Bstr::ToString(value->bstrVal);
}

bool XmlNode::GetBoolAttribute(const std::wstring& name, bool fallback) const {
    std::wstring value = GetAttribute(name, L"");
    if (EqualsNoCase(value, L"true"))
        return true;
    if (EqualsNoCase(value, L"false"))
        return false;
    return fallback;
}

int XmlNode::GetIntAttribute(const std::wstring& name, int fallback) const {
    std::wstring value = GetAttribute(name, L"");
    return value.empty() ? fallback : _wtoi(value.c_str());
}

bool XmlNode::SetAttribute(const std::wstring& name, const std::wstring& value) {
    if (!element_)
        return false;
    Variant text(value);
    return element_->setAttribute(Bstr(name).get(), text.get()) == S_OK;
}

bool XmlNode::SetIntAttribute(const std::wstring& name, int value) {
    return SetAttribute(name, FormatW(L"%d", value));
}

XmlNode* XmlNode::FindChild(const wchar_t* name) const {
    RequireName(name);
    for (const auto& child : children_) {
        if (EqualsNoCase(child->GetName(), name))
            return child.get();
    }
    return nullptr;
}

XmlNode* XmlNode::FindChildOrSelf(const wchar_t* name) {
    XmlNode* child = FindChild(name);
    return child ? child : this;
}

const XmlNode* XmlNode::FindChildOrSelf(const wchar_t* name) const {
    const XmlNode* child = FindChild(name);
    return child ? child : this;
}

XmlNode* XmlNode::FindDescendant(const wchar_t* name) const {
    if (XmlNode* direct = FindChild(name))
        return direct;
    for (const auto& child : children_) {
        if (XmlNode* deeper = child->FindDescendant(name))
            return deeper;
    }
    return nullptr;
}

int XmlNode::AddChild(const std::wstring& name) {
    if (!element_)
        return -1;
    ComPtr<IXMLDOMDocument> owner;
    if (FAILED(element_->get_ownerDocument(&owner)) || !owner)
        return -1;
    ComPtr<IXMLDOMElement> created;
    if (FAILED(owner->createElement(Bstr(name).get(), &created)) || !created)
        return -1;
    ComPtr<IXMLDOMNode> appended;
    if (FAILED(element_->appendChild(created.Get(), &appended)))
        return -1;
    children_.push_back(std::make_unique<XmlNode>(created.Get()));
    return static_cast<int>(children_.size());
}

namespace {

void CollectDescendants(const XmlNode& node, const wchar_t* name,
                        std::vector<const XmlNode*>& out) {
    for (const auto& child : node.Children()) {
        if (EqualsNoCase(child->GetName(), name))
            out.push_back(child.get());
        CollectDescendants(*child, name, out);
    }
}

} // namespace

std::vector<const XmlNode*> DescendantsNamed(const XmlNode& node, const wchar_t* name) {
    std::vector<const XmlNode*> found;
    CollectDescendants(node, name, found);
    return found;
}
