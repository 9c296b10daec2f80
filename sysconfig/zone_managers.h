// The system's Internet security and zone managers, reduced to the calls the
// browser settings make, behind one interface so that tests can record them.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <functional>
#include <memory>
#include <string>

class ZoneManagers {
public:
    virtual ~ZoneManagers() = default;
    // IInternetSecurityManager::SetZoneMapping
    virtual HRESULT SetZoneMapping(DWORD zone, const std::wstring& pattern, DWORD flags) = 0;
    // IInternetZoneManager
    virtual HRESULT GetZoneAttributes(DWORD zone, ZONEATTRIBUTES& attributes) = 0;
    virtual HRESULT SetZoneAttributes(DWORD zone, const ZONEATTRIBUTES& attributes) = 0;
    // A 4-byte policy value.
    virtual HRESULT SetZoneActionPolicy(DWORD zone, DWORD action, DWORD policy,
                                        URLZONEREG scope) = 0;
};

// Makes the managers for one operation; called with COM set up on the thread.
using ZoneManagersFactory = std::function<std::unique_ptr<ZoneManagers>()>;

// The system's managers, each created when a call first needs it; while one
// cannot be created, its calls answer with the creation's error.
std::unique_ptr<ZoneManagers> CreateSystemZoneManagers();
