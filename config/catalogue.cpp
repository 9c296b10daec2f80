#include "config/catalogue.h"

#include "config/item_ids.h"

CatalogueCache::CatalogueCache(const ConfigurationTexts& texts,
                               std::function<std::wstring()> language)
    : texts_(texts), language_(std::move(language)) {}

CatalogueSnapshot CatalogueCache::Current() const {
    ConfigurationTexts::Revised text =
        texts_.GetRevised(LanguageTextFor(language_ ? language_() : std::wstring()));
    const Key key{text.which, text.revision};
    {
        std::lock_guard guard(lock_);
        if (cached_ && key_ == key)
            return snapshot_;
    }
    // Parsed without the lock: a reader on another thread keeps the snapshot
    // it has meanwhile. Two threads may both parse a new text; either result is the same.
    CatalogueSnapshot parsed = XmlNode::ParseFrozen(text.text);
    std::lock_guard guard(lock_);
    if (!cached_ || key_.which != key.which || key_.revision <= key.revision) {
        cached_ = true;
        key_ = key;
        snapshot_ = parsed;
    }
    return parsed;
}

const XmlNode* FindFirstCatalogueItem(const XmlNode* catalogue, const wchar_t* section, int id) {
    const XmlNode* list = catalogue && section ? catalogue->FindChild(section) : nullptr;
    if (!list)
        return nullptr;
    for (const auto& child : list->Children()) {
        if (child->GetIntAttribute(L"id", 0) == id)
            return child.get();
    }
    return nullptr;
}

const XmlNode* FindCatalogueItem(const XmlNode* catalogue, int id) {
    return FindFirstCatalogueItem(catalogue, CatalogueSectionOf(id), id);
}

const XmlNode* FindLastCatalogueItem(const XmlNode* catalogue, const wchar_t* section, int id) {
    const XmlNode* list = catalogue ? catalogue->FindChild(section) : nullptr;
    const XmlNode* found = nullptr;
    if (list) {
        for (const auto& child : list->Children()) {
            if (child->GetIntAttribute(L"id", 0) == id)
                found = child.get();
        }
    }
    return found;
}
