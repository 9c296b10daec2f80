// The item lists exchanged with the page: the page's list texts in, the
// "<Update>" texts with one entry per item out, built from the catalogue of
// the current language. Statuses and the descriptions of browser settings and
// certificates come from other layers through ListHooks.
//
// Threads: page thread only (the stored list text). Each call reads one
// catalogue snapshot, which nobody changes; no lock is held while the
// statuses are checked (a bank's check library may pump messages).
#pragma once

#include "config/component_context.h"
#include "config/catalogue.h"
#include "config/user_settings.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

class XmlNode;

// What the lists need from the checks and the system configuration.
struct ListHooks {
    std::function<int(const XmlNode* catalogue, int id)> controlStatus;
    std::function<int(const XmlNode* catalogue, int id)> applicationStatus;
    std::function<int(const XmlNode* catalogue, int id)> rootCertStatus;
    std::function<std::wstring(const XmlNode* catalogue, int id)> trustedSite;
    std::function<std::wstring(const XmlNode* catalogue, int id, const std::wstring& type)>
        popupSite;
    using Described = std::function<std::wstring(
        const XmlNode* catalogue, int id, const std::wstring& type, const std::wstring& flag)>;
    Described optimization;
    Described rootCert;
};

// One entry of a list: the item, its flag text and its type text.
struct SelectedItem {
    int id = 0;
    std::wstring flag;
    std::wstring type;
};

// The "<res .../>" line of a control or application: "" when the section or
// the entry is missing. When several entries share the id, the last one counts.
std::wstring ResEntry(const XmlNode* catalogue, int id, const wchar_t* section,
                      const std::wstring& type, const std::wstring& flag);

// The ids of a batch list ("list" children's "id"); nothing when it does not parse.
std::optional<std::vector<int>> ParseBatchIds(const std::wstring& text);

class ComponentLists {
public:
    using UserTypeSource = std::function<UserType()>;

    ComponentLists(CatalogueSource catalogue, ListHooks hooks, UserTypeSource userType);

    short SetDownLoadList(const std::wstring& list);
    std::wstring GetDownLoadList();
    std::wstring GetStatuByXML();
    std::wstring GetSysInfoList();
    // The status of one item, chosen by its range.
    int StatusOf(int id);

private:
    std::wstring Describe(const XmlNode* catalogue, const SelectedItem& item);

    const CatalogueSource catalogue_;
    const ListHooks hooks_;
    const UserTypeSource userType_;
    std::wstring storedList_; // the last SetDownLoadList text; page thread only
};
