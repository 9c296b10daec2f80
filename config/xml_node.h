// XmlNode: the one XML access type of the control, a tree wrapper over the
// MSXML DOM. Each node mirrors one element and owns wrappers for its child
// elements; readers never fail (missing things read as "" or a default) and
// tag names match without regard to case.
#pragma once

#include "common/com_types.h"

#include <msxml2.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class XmlNode {
public:
    XmlNode() = default;
    explicit XmlNode(IXMLDOMElement* element);
    ~XmlNode();
    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;

    // Loads a document; on failure the previous element and children stay.
    // A text whose XML declaration holds a value longer than 17 characters
    // (version, encoding) is refused: Wine's MSXML overruns a buffer on it.
    bool LoadFile(const std::wstring& path);
    bool LoadXml(const std::wstring& text);
    // Writes the whole document; an empty path means the file of LoadFile.
    bool Save(const std::wstring& path);

    void Attach(IXMLDOMElement* element);

    // Elements nested deeper than this below a loaded root are not mirrored:
    // no list of the control nests deeply, and a hostile document must not
    // exhaust the stack of the recursive mirroring.
    static constexpr int kDeepestMirroredLevel = 64;
    void ClearChildren();

    std::wstring GetName() const;
    std::wstring GetText() const;
    std::wstring GetAttribute(const std::wstring& name, const std::wstring& fallback) const;
    bool GetBoolAttribute(const std::wstring& name, bool fallback) const;
    int GetIntAttribute(const std::wstring& name, int fallback) const;
    bool SetAttribute(const std::wstring& name, const std::wstring& value);
    bool SetIntAttribute(const std::wstring& name, int value);

    // Lookups by tag name; a null name raises ComError(E_FAIL).
    XmlNode* FindChild(const wchar_t* name) const;
    XmlNode* FindChildOrSelf(const wchar_t* name);
    XmlNode* FindDescendant(const wchar_t* name) const;

    const XmlNode* FindChildOrSelf(const wchar_t* name) const;

    // Appends a new child element; the number of children now held, or -1.
    int AddChild(const std::wstring& name);

    size_t ChildCount() const { return children_.size(); }
    XmlNode* Child(size_t index) const { return children_.at(index).get(); }
    const std::vector<std::unique_ptr<XmlNode>>& Children() const { return children_; }

    // Parses a text into a tree that holds its names, texts and attributes
    // itself and no COM object: any number of threads may read it at once,
    // and it outlives the apartment that parsed it. Null when it does not parse.
    static std::shared_ptr<const XmlNode> ParseFrozen(const std::wstring& text);

    bool IsAttached() const { return element_ != nullptr; }
    bool IsFrozen() const { return frozen_; }
    const std::wstring& Path() const { return path_; }
    bool FromFile() const { return fromFile_; }

private:
    XmlNode(IXMLDOMElement* element, int depth);
    void AttachAt(IXMLDOMElement* element, int depth);
    bool LoadDocument(const Variant* path, const std::wstring* text);
    // Copies the element's name, text and attributes into the node (and its
    // children's), then lets go of the DOM. Readers answer from the copies.
    void Freeze();

    std::vector<std::unique_ptr<XmlNode>> children_;
    ComPtr<IXMLDOMElement> element_;
    ComPtr<IXMLDOMDocument> document_;
    std::wstring path_;
    bool fromFile_ = false;
    bool frozen_ = false;
    std::wstring frozenName_;
    std::wstring frozenText_;
    std::vector<std::pair<std::wstring, std::wstring>> frozenAttributes_;
};

// Every element named `name` below `node` (without regard to case), depth
// first in document order.
std::vector<const XmlNode*> DescendantsNamed(const XmlNode& node, const wchar_t* name);
