// The browser settings the page requests as items 5051-5055: trusted sites,
// the page refresh mode, the pop-up allow list, the pop-up blocker level and
// the trusted zone's policies, all for the current user. Each operation
// writes its success line to the trace; the dispatcher reports the item
// installed whatever an operation returns.
#pragma once

#include "sysconfig/component_inputs.h"
#include "sysconfig/zone_managers.h"

#include <windows.h>

#include <string>

class TraceSink;
class XmlNode;
struct ComponentContext;

class BrowserSettings {
public:
    // `versions` is asked only by ApplyTrustedZonePolicies.
    BrowserSettings(const TraceSink& trace, VersionSource versions,
                    ZoneManagersFactory managers = CreateSystemZoneManagers);
    BrowserSettings(const ComponentContext& context, VersionSource versions);

    // Every operation may run on any thread; those that use the managers join
    // a single-threaded apartment while they run. Those that read the
    // catalogue read the snapshot of the item in work.

    // 5051: SetTrustedSite for each "TrustList" entry. 0 without the list.
    BOOL ApplyTrustList(const XmlNode* catalogue) const;
    // 5052: "SyncMode5" = 3 (check for newer pages on every visit).
    BOOL ApplyRefreshMode() const;
    // 5053: each "OpenWindowSite" entry added to or removed from the pop-up
    // allow list. 0 without the list.
    BOOL ApplyPopupAllowList(const XmlNode* catalogue) const;
    // 5054: the pop-up blocker at its medium level.
    BOOL ApplyPopupBlockerLevel() const;
    // 5055: the trusted zone at its recommended level, ActiveX allowed in it,
    // protected mode off where the system and browser have it.
    BOOL ApplyTrustedZonePolicies() const;
    // Maps the pattern into the trusted zone ("add", case as written) or
    // removes it (any other action).
    BOOL SetTrustedSite(const std::wstring& pattern, const std::wstring& action) const;

private:
    void Trace(const wchar_t* text) const;
    bool SetPopupSite(const std::wstring& site, const std::wstring& action) const;

    const TraceSink* trace_;
    VersionSource versions_;
    ZoneManagersFactory managers_;
};
