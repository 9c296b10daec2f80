// The catalogue: the decrypted language text of the current language, parsed
// once into an immutable tree that the lists, the download chain, the
// installer and the component checks all read. One item's work takes one
// snapshot and reads it from start to end, so a new catalogue (a later update
// check, a language switch) never mixes with the old within an item; no lock
// is held while a snapshot is read.
#pragma once

#include "config/config_set.h"
#include "config/xml_node.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Null when there is no catalogue (not decrypted yet, or not XML).
using CatalogueSnapshot = std::shared_ptr<const XmlNode>;
using CatalogueSource = std::function<CatalogueSnapshot()>;

// The one cache of the parsed catalogue: parsed again only when the language
// names another text or that text changed. Any thread.
class CatalogueCache {
public:
    CatalogueCache(const ConfigurationTexts& texts, std::function<std::wstring()> language);
    CatalogueCache(const CatalogueCache&) = delete;
    CatalogueCache& operator=(const CatalogueCache&) = delete;

    CatalogueSnapshot Current() const;
    CatalogueSource Source() const {
        return [this] { return Current(); };
    }

private:
    struct Key {
        ConfigText which;
        unsigned long long revision;
        bool operator==(const Key&) const = default;
    };

    const ConfigurationTexts& texts_;
    const std::function<std::wstring()> language_;
    mutable std::mutex lock_; // the two fields below; never held while parsing
    mutable bool cached_ = false;
    mutable Key key_{ConfigText::Chinese, 0};
    mutable CatalogueSnapshot snapshot_;
};

// The catalogue's entry for a control or an application (the section by the
// id's class): the first of several with the id, as the download and the
// installer take it; null when there is none.
const XmlNode* FindCatalogueItem(const XmlNode* catalogue, int id);
// The first element of `section` with the id; null when there is none.
const XmlNode* FindFirstCatalogueItem(const XmlNode* catalogue, const wchar_t* section, int id);
// The same, but the last of several, as the page's lists describe an item.
const XmlNode* FindLastCatalogueItem(const XmlNode* catalogue, const wchar_t* section, int id);
