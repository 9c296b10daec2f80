#include "sysconfig/zone_managers.h"

#include "common/com_types.h"

namespace {

class SystemZoneManagers final : public ZoneManagers {
public:
    HRESULT SetZoneMapping(DWORD zone, const std::wstring& pattern, DWORD flags) override {
        HRESULT hr = Create(CLSID_InternetSecurityManager, security_);
        return FAILED(hr) ? hr : security_->SetZoneMapping(zone, pattern.c_str(), flags);
    }

    HRESULT GetZoneAttributes(DWORD zone, ZONEATTRIBUTES& attributes) override {
        HRESULT hr = Create(CLSID_InternetZoneManager, zones_);
        return FAILED(hr) ? hr : zones_->GetZoneAttributes(zone, &attributes);
    }

    HRESULT SetZoneAttributes(DWORD zone, const ZONEATTRIBUTES& attributes) override {
        HRESULT hr = Create(CLSID_InternetZoneManager, zones_);
        ZONEATTRIBUTES copy = attributes; // the call takes a writable record
        return FAILED(hr) ? hr : zones_->SetZoneAttributes(zone, &copy);
    }

    HRESULT SetZoneActionPolicy(DWORD zone, DWORD action, DWORD policy, URLZONEREG scope) override {
        HRESULT hr = Create(CLSID_InternetZoneManager, zones_);
        return FAILED(hr)
                   ? hr
                   : zones_->SetZoneActionPolicy(zone, action, reinterpret_cast<BYTE*>(&policy),
                                                 sizeof(policy), scope);
    }

private:
    template <typename Interface> HRESULT Create(REFCLSID type, ComPtr<Interface>& manager) {
        if (manager)
            return S_OK;
        return CoCreateInstance(type, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Interface),
                                reinterpret_cast<void**>(manager.ReleaseAndGetAddressOf()));
    }

    ComPtr<IInternetSecurityManager> security_;
    ComPtr<IInternetZoneManager> zones_;
};

} // namespace

std::unique_ptr<ZoneManagers> CreateSystemZoneManagers() {
    return std::make_unique<SystemZoneManagers>();
}
