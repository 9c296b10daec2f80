#include "sysconfig/browser_settings.h"

#include "common/com_types.h"
#include "common/registry.h"
#include "common/trace_sink.h"
#include "config/component_context.h"
#include "config/xml_node.h"

#include <optional>
#include <utility>
#include <vector>

namespace {

const wchar_t kInternetExplorerKey[] = L"Software\\Microsoft\\Internet Explorer";
const wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kTrustedZoneKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";

const wchar_t kTrustedSiteChanged[] = L" 成功事件：信任站点修改成功";
const wchar_t kPopupSiteChanged[] = L" 成功事件：弹出窗口修改成功";
const wchar_t kBlockerLevelSet[] = L" 成功事件：弹出窗口阻止程序安全级别设置为“中“";
const wchar_t kRefreshModeSet[] =
    L" 成功事件：将IE浏览器的“检查所存网页的较新版本”设置为“每次访问此页时检查”";
const wchar_t kProtectedModeOff[] = L" 成功事件：保护模式已成功关闭";
const wchar_t kProtectedModeNotOff[] = L" 失败事件：保护模式已关闭失败";
const wchar_t kActiveXPolicies[] = L" 成功事件：ActiveX控件和插件设置修改成功";

// The trusted zone's flags while a site is mapped: without the bit that
// limits the zone to https sites, so plain http sites can be added too.
constexpr DWORD kTemporaryTrustedZoneFlags = 0x43;

struct NamedDword {
    const wchar_t* name;
    DWORD value;
};
// The pop-up blocker's medium level.
const NamedDword kMediumBlockerLevel[] = {{L"BlockControls", 0},
                                          {L"BlockUserInit", 0},
                                          {L"UseHooks", 1},
                                          {L"AllowHTTPS", 0},
                                          {L"UseTimerMethod", 0}};

// Allowed in the trusted zone, in this order: automatic prompting for
// ActiveX controls, scripting of safe controls, controls not marked safe,
// signed downloads.
const DWORD kActiveXActions[] = {URLACTION_AUTOMATIC_ACTIVEX_UI, URLACTION_SCRIPT_SAFE_ACTIVEX,
                                 URLACTION_ACTIVEX_OVERRIDE_OBJECT_SAFETY,
                                 URLACTION_DOWNLOAD_SIGNED_ACTIVEX};

struct SiteEntry {
    std::wstring url;
    std::wstring action;
};

// The entries of one list below the catalogue's root; nothing without a
// catalogue or such a list.
std::optional<std::vector<SiteEntry>> SiteList(const XmlNode* catalogue, const wchar_t* list) {
    const XmlNode* section = catalogue ? catalogue->FindChild(list) : nullptr;
    if (!section)
        return std::nullopt;
    std::vector<SiteEntry> sites;
    for (const auto& entry : section->Children())
        sites.push_back({entry->GetAttribute(L"url", L""), entry->GetAttribute(L"action", L"")});
    return sites;
}

bool Adds(const std::wstring& action) {
    return action == L"add";
}

struct SavedValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

std::optional<SavedValue> SaveValue(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::vector<BYTE>> data = ReadRegBinary(key, name);
    if (!data)
        return std::nullopt;
    return SavedValue{type, std::move(*data)};
}

// The trusted zone's "Flags" at the temporary value for the owner's life;
// then exactly what was there before, or no value if there was none.
class TemporaryTrustedZoneFlags {
public:
    TemporaryTrustedZoneFlags()
        : key_(OpenRegKey(HKEY_CURRENT_USER, kTrustedZoneKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        if (!key_)
            return;
        previous_ = SaveValue(key_.get(), L"Flags");
        WriteRegDword(key_.get(), L"Flags", kTemporaryTrustedZoneFlags);
    }
    ~TemporaryTrustedZoneFlags() {
        if (!key_)
            return;
        if (!previous_) {
            DeleteRegValue(key_.get(), L"Flags");
            return;
        }
        RegSetValueExW(key_.get(), L"Flags", 0, previous_->type, previous_->data.data(),
                       static_cast<DWORD>(previous_->data.size()));
    }
    TemporaryTrustedZoneFlags(const TemporaryTrustedZoneFlags&) = delete;
    TemporaryTrustedZoneFlags& operator=(const TemporaryTrustedZoneFlags&) = delete;

private:
    RegKey key_;
    std::optional<SavedValue> previous_;
};

} // namespace

BrowserSettings::BrowserSettings(const TraceSink& trace, VersionSource versions,
                                 ZoneManagersFactory managers)
    : trace_(&trace), versions_(std::move(versions)), managers_(std::move(managers)) {}

BrowserSettings::BrowserSettings(const ComponentContext& context, VersionSource versions)
    : BrowserSettings(context.Trace(), std::move(versions)) {}

BOOL BrowserSettings::ApplyTrustList(const XmlNode* catalogue) const {
    std::optional<std::vector<SiteEntry>> sites = SiteList(catalogue, L"TrustList");
    if (!sites)
        return FALSE;
    for (const SiteEntry& site : *sites)
        SetTrustedSite(site.url, site.action);
    return TRUE;
}

BOOL BrowserSettings::SetTrustedSite(const std::wstring& pattern,
                                     const std::wstring& action) const {
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    TemporaryTrustedZoneFlags flags;
    std::unique_ptr<ZoneManagers> managers = managers_();
    HRESULT hr = managers ? managers->SetZoneMapping(URLZONE_TRUSTED, pattern,
                                                     Adds(action) ? SZM_CREATE : SZM_DELETE)
                          : E_FAIL;
    // The zone's answer is not judged: a refused pattern is traced alike.
    Trace(kTrustedSiteChanged);
    return SUCCEEDED(hr);
}

BOOL BrowserSettings::ApplyRefreshMode() const {
    RegKey settings = OpenRegKey(HKEY_CURRENT_USER, kInternetSettingsKey, KEY_SET_VALUE);
    if (!settings || !WriteRegDword(settings.get(), L"SyncMode5", 3))
        return FALSE;
    Trace(kRefreshModeSet);
    return TRUE;
}

BOOL BrowserSettings::ApplyPopupAllowList(const XmlNode* catalogue) const {
    std::optional<std::vector<SiteEntry>> sites = SiteList(catalogue, L"OpenWindowSite");
    if (!sites)
        return FALSE;
    for (const SiteEntry& site : *sites) {
        if (SetPopupSite(site.url, site.action))
            Trace(kPopupSiteChanged);
    }
    return TRUE;
}

// True when the allow list is as the action asks.
bool BrowserSettings::SetPopupSite(const std::wstring& site, const std::wstring& action) const {
    // An empty name would be the key's default value, not a site.
    if (site.empty())
        return false;
    RegKey explorer = OpenRegKey(HKEY_CURRENT_USER, kInternetExplorerKey, KEY_CREATE_SUB_KEY);
    if (!explorer)
        return false;
    RegKey windows = CreateRegKey(explorer.get(), L"New Windows", KEY_CREATE_SUB_KEY);
    RegKey allow = windows ? CreateRegKey(windows.get(), L"Allow", KEY_SET_VALUE) : RegKey();
    if (!allow)
        return false;
    if (Adds(action))
        return WriteRegBinary(allow.get(), site.c_str(), nullptr, 0);
    LONG result = RegDeleteValueW(allow.get(), site.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

BOOL BrowserSettings::ApplyPopupBlockerLevel() const {
    RegKey explorer = OpenRegKey(HKEY_CURRENT_USER, kInternetExplorerKey, KEY_CREATE_SUB_KEY);
    if (!explorer)
        return TRUE;
    RegKey windows = CreateRegKey(explorer.get(), L"New Windows", KEY_SET_VALUE);
    if (!windows)
        return FALSE;
    bool written = true;
    for (const NamedDword& value : kMediumBlockerLevel)
        written = WriteRegDword(windows.get(), value.name, value.value) && written;
    if (!written)
        return FALSE;
    Trace(kBlockerLevelSet);
    return TRUE;
}

BOOL BrowserSettings::ApplyTrustedZonePolicies() const {
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    std::unique_ptr<ZoneManagers> managers = managers_();
    if (!managers)
        return FALSE;
    ZONEATTRIBUTES attributes{};
    attributes.cbSize = sizeof(attributes);
    // Unread attributes are never written back.
    if (SUCCEEDED(managers->GetZoneAttributes(URLZONE_TRUSTED, attributes))) {
        attributes.dwTemplateCurrentLevel = attributes.dwTemplateRecommended;
        managers->SetZoneAttributes(URLZONE_TRUSTED, attributes);
    }
    for (DWORD action : kActiveXActions)
        managers->SetZoneActionPolicy(URLZONE_TRUSTED, action, URLPOLICY_ALLOW, URLZONEREG_DEFAULT);
    // Protected mode exists from Windows Vista (6) with Internet Explorer 7.
    MajorVersions versions = versions_ ? versions_() : MajorVersions{};
    if (versions.os > 5 && versions.ie > 6) {
        HRESULT hr = managers->SetZoneActionPolicy(URLZONE_TRUSTED, URLACTION_LOWRIGHTS,
                                                   URLPOLICY_DISALLOW, URLZONEREG_DEFAULT);
        Trace(SUCCEEDED(hr) ? kProtectedModeOff : kProtectedModeNotOff);
    }
    Trace(kActiveXPolicies);
    return TRUE;
}

void BrowserSettings::Trace(const wchar_t* text) const {
    trace_->Write(text);
}
