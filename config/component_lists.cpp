#include "config/component_lists.h"

#include "common/text.h"
#include "config/item_ids.h"
#include "config/xml_escape.h"
#include "config/xml_node.h"

namespace {

// The sections of a client kind, in the order their items are listed.
const wchar_t* const kClientSections[] = {L"Application", L"Control", L"IEOptimizer", L"RootCert"};

std::wstring Attribute(const wchar_t* name, const std::wstring& value) {
    return std::wstring(L" ") + name + L"=\"" + value + L"\"";
}

std::wstring ResLine(int id, const std::wstring& type, const std::wstring& flag,
                     const std::wstring& name, const std::wstring& info) {
    // Every value is escaped: the page's own type and flag texts come back in
    // this list, and a quote in them must not break it.
    return L"<res" + Attribute(L"id", FormatW(L"%d", id)) +
           Attribute(L"Type", EscapeXmlAttribute(type)) +
           Attribute(L"falg", EscapeXmlAttribute(flag)) +
           Attribute(L"FileType", std::wstring(1, FileTypeDigit(id))) +
           Attribute(L"Name", EscapeXmlAttribute(name)) +
           Attribute(L"Info", EscapeXmlAttribute(info)) + L"></res>\n";
}

bool MatchesUser(const XmlNode& kind, const UserType& user) {
    return kind.GetIntAttribute(L"type", 0) == user.user &&
           kind.GetIntAttribute(L"Cert", 0) == user.cert &&
           kind.GetIntAttribute(L"UType", 0) == user.usb;
}

// The items of every client kind of this user, section by section.
std::vector<SelectedItem> ClientItems(const XmlNode* catalogue, const UserType& user) {
    std::vector<SelectedItem> items;
    const XmlNode* client = catalogue ? catalogue->FindChild(L"client") : nullptr;
    if (!client)
        return items;
    for (const wchar_t* section : kClientSections) {
        for (const auto& kind : client->Children()) {
            const XmlNode* list = MatchesUser(*kind, user) ? kind->FindChild(section) : nullptr;
            if (!list)
                continue;
            for (const auto& item : list->Children())
                items.push_back(SelectedItem{item->GetIntAttribute(L"value", 0), L"",
                                             item->GetAttribute(L"type", L"")});
        }
    }
    return items;
}

} // namespace

std::wstring ResEntry(const XmlNode* catalogue, int id, const wchar_t* section,
                      const std::wstring& type, const std::wstring& flag) {
    const XmlNode* entry = FindLastCatalogueItem(catalogue, section, id);
    if (!entry)
        return {};
    return ResLine(id, type, flag, entry->GetAttribute(L"name", L""),
                   entry->GetAttribute(L"info", L""));
}

std::optional<std::vector<int>> ParseBatchIds(const std::wstring& text) {
    XmlNode root;
    if (!root.LoadXml(text))
        return std::nullopt;
    std::vector<int> ids;
    for (const auto& child : root.FindChildOrSelf(L"list")->Children())
        ids.push_back(child->GetIntAttribute(L"id", 0));
    return ids;
}

ComponentLists::ComponentLists(CatalogueSource catalogue, ListHooks hooks, UserTypeSource userType)
    : catalogue_(std::move(catalogue)), hooks_(std::move(hooks)), userType_(std::move(userType)) {}

short ComponentLists::SetDownLoadList(const std::wstring& list) {
    storedList_ = list;
    return 1;
}

// The entry of one item by its class.
std::wstring ComponentLists::Describe(const XmlNode* catalogue, const SelectedItem& item) {
    switch (ClassOfItem(item.id)) {
    case ItemClass::Control:
        return ResEntry(catalogue, item.id, L"Control", item.type, item.flag);
    case ItemClass::Application:
        return ResEntry(catalogue, item.id, L"Application", item.type, item.flag);
    case ItemClass::TrustedSite:
        return hooks_.trustedSite(catalogue, item.id);
    case ItemClass::RootCert:
        return hooks_.rootCert(catalogue, item.id, item.type, item.flag);
    case ItemClass::PopupSite:
        return hooks_.popupSite(catalogue, item.id, item.type);
    case ItemClass::Optimization:
        return hooks_.optimization(catalogue, item.id, item.type, item.flag);
    case ItemClass::None:
        break;
    }
    return {};
}

std::wstring ComponentLists::GetDownLoadList() {
    XmlNode list;
    if (!list.LoadXml(storedList_))
        return {};
    std::vector<SelectedItem> selected;
    for (const auto& child : list.FindChildOrSelf(L"list")->Children()) {
        std::wstring flag = ToLower(child->GetAttribute(L"falg", L""));
        if (flag == L"true")
            selected.push_back(SelectedItem{child->GetIntAttribute(L"id", 0), flag, L""});
    }
    const CatalogueSnapshot catalogue = catalogue_();
    std::wstring text = L"<Update>";
    for (const SelectedItem& item : selected)
        text += Describe(catalogue.get(), item);
    return text + L"</Update>";
}

// Statuses of the stored list's items: applications appear only when they
// need installing; every control appears.
std::wstring ComponentLists::GetStatuByXML() {
    XmlNode list;
    if (!list.LoadXml(storedList_))
        return {};
    std::vector<SelectedItem> items;
    for (const auto& child : list.FindChildOrSelf(L"Update")->Children())
        items.push_back(SelectedItem{child->GetIntAttribute(L"id", 0),
                                     child->GetAttribute(L"falg", L""),
                                     child->GetAttribute(L"Type", L"")});
    const CatalogueSnapshot snapshot = catalogue_();
    const XmlNode* catalogue = snapshot.get();
    std::wstring text = L"<Update>";
    for (const SelectedItem& item : items) {
        if (IsApplicationInStatusList(item.id)) {
            if (NeedsInstalling(hooks_.applicationStatus(catalogue, item.id)))
                text += ResEntry(catalogue, item.id, L"Application", item.type, item.flag);
        } else if (ClassOfItem(item.id) == ItemClass::Control) {
            text += ResEntry(catalogue, item.id, L"control", item.type, item.flag);
        } else {
            text += Describe(catalogue, item);
        }
    }
    return text + L"</Update>";
}

std::wstring ComponentLists::GetSysInfoList() {
    const UserType user = userType_();
    const CatalogueSnapshot catalogue = catalogue_();
    std::wstring text = L"<Update>";
    for (const SelectedItem& item : ClientItems(catalogue.get(), user))
        text += Describe(catalogue.get(), item);
    return text + L"</Update>";
}

int ComponentLists::StatusOf(int id) {
    switch (ClassOfItem(id)) {
    case ItemClass::None:
        return ItemStatus::kUnknown;
    case ItemClass::Control:
        return hooks_.controlStatus(catalogue_().get(), id);
    case ItemClass::TrustedSite:
        return ItemStatus::kTrustedSite;
    case ItemClass::RootCert:
        return hooks_.rootCertStatus(catalogue_().get(), id);
    case ItemClass::Application:
        return hooks_.applicationStatus(catalogue_().get(), id);
    case ItemClass::PopupSite:
    case ItemClass::Optimization:
        return ItemStatus::kNoCheck;
    }
    return ItemStatus::kUnknown;
}
