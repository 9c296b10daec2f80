// Item identifiers and the numbers that go with them: one signed number space
// for everything the page can check, download or configure, the status
// numbers of an item, and the ids of the version list's own entries. Every
// range decision of the control is made here.
#pragma once

enum class ItemClass {
    None,         // below 1000
    Control,      // 1000-1999: the bank's ActiveX controls ("Control")
    TrustedSite,  // 2000-2999 ("TrustList")
    RootCert,     // 3000-3999 ("RootCert")
    Application,  // 4000-4999: the bank's client applications ("Application")
    PopupSite,    // 5000-5049 ("OpenWindowSite")
    Optimization, // 5050 and above ("IEOptimizer"; 5051-5055 are browser settings)
};

constexpr ItemClass ClassOfItem(int id) {
    if (id < 1000)
        return ItemClass::None;
    if (id < 2000)
        return ItemClass::Control;
    if (id < 3000)
        return ItemClass::TrustedSite;
    if (id < 4000)
        return ItemClass::RootCert;
    if (id < 5000)
        return ItemClass::Application;
    if (id < 5050)
        return ItemClass::PopupSite;
    return ItemClass::Optimization;
}

// The browser settings applied as items.
namespace BrowserItem {
constexpr int kTrustList = 5051;
constexpr int kRefreshMode = 5052;
constexpr int kPopupAllowList = 5053;
constexpr int kPopupBlockerLevel = 5054;
constexpr int kTrustedZonePolicies = 5055;
} // namespace BrowserItem

constexpr bool IsBrowserSettingItem(int id) {
    return id >= BrowserItem::kTrustList && id <= BrowserItem::kTrustedZonePolicies;
}

// What the download chain does with an id: controls and applications have a
// file to fetch (the application range includes 5000 here), certificates and
// browser settings have none, ids below 1000 are no items.
enum class DownloadKind { Ignored, ControlFile, ApplicationFile, NoFile };

constexpr DownloadKind DownloadKindOf(int id) {
    if (id < 1000)
        return DownloadKind::Ignored;
    if (id < 2000)
        return DownloadKind::ControlFile;
    if (id < 4000)
        return DownloadKind::NoFile;
    if (id <= 5000)
        return DownloadKind::ApplicationFile;
    return DownloadKind::NoFile;
}

// How the installer handles an id once its file (if any) is there: the
// browser settings, then every other id from 4000 as an application entry,
// certificates, trusted sites (nothing to do) and controls.
enum class InstallKind { None, Control, TrustedSite, RootCert, Application, BrowserSetting };

constexpr InstallKind InstallKindOf(int id) {
    if (IsBrowserSettingItem(id))
        return InstallKind::BrowserSetting;
    if (id >= 4000)
        return InstallKind::Application;
    switch (ClassOfItem(id)) {
    case ItemClass::Control:
        return InstallKind::Control;
    case ItemClass::TrustedSite:
        return InstallKind::TrustedSite;
    case ItemClass::RootCert:
        return InstallKind::RootCert;
    default:
        return InstallKind::None;
    }
}

// The catalogue section that holds an id's entry when it has a file or is
// installed as a component: "Control" below 4000, "Application" from there.
constexpr const wchar_t* CatalogueSectionOf(int id) {
    return id < 4000 ? L"Control" : L"Application";
}

// In the page's status list the pop-up range counts as applications too.
constexpr bool IsApplicationInStatusList(int id) {
    return id >= 4000 && id < 5050;
}

// Status numbers of an item, as the page reads them.
namespace ItemStatus {
constexpr short kUnknown = 0;  // no entry, no list, or the check could not decide
constexpr short kOutdated = 1; // version missing or lower than offered
constexpr short kCurrent = 3;  // installed, current and (when configured) available
constexpr short kNotInstalled = 4;
constexpr short kBroken = 5; // registered file gone, or the availability test said no
constexpr short kTrustedSite = 4;
constexpr short kNoCheck = 1; // pop-up sites and optimisation items
} // namespace ItemStatus

// Whether a status says the component needs installing.
constexpr bool NeedsInstalling(int status) {
    return status == ItemStatus::kOutdated || status == ItemStatus::kNotInstalled ||
           status == ItemStatus::kBroken;
}

// The version list's own entries: the update list of the self-update (50 or
// 51), and the catalogues whose update the page is told as the check's result.
constexpr bool IsSelfUpdateItem(int id) {
    return id == 50 || id == 51;
}
constexpr bool IsCatalogueUpdateItem(int id) {
    return id == 54 || id == 55;
}

// The first digit of an id, as the page lists show it ("1" for 1001).
wchar_t FileTypeDigit(int id);
