// Item identifiers: one signed number space for everything the page can
// check, download or configure. The class of an item follows from its range
// alone; every range decision of the control is made here.
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

// The self-update downloads (the update list and the files for the updater).
constexpr bool IsSelfUpdateItem(int id) {
    return id == 50 || id == 51;
}

// What a download start does with an id: controls and applications have a
// file to fetch (the application range includes 5000 here), certificates and
// browser settings have none, ids below 1000 are ignored.
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

// The first digit of an id, as the page lists show it ("1" for 1001).
wchar_t FileTypeDigit(int id);
