// The exported entry points of the in-process server.
#include "Tovral_h.h"
#include "common/text.h"
#include "control/class_factory.h"
#include "control/module.h"
#include "control/registration.h"
#include "control/site_lock.h"
#include "site_lock_setting.h"

#include <windows.h>

static_assert(site_lock::IsValidSetting(TOVRAL_SITE_LOCK_SETTING),
              "TOVRAL_SITE_LOCK: every entry must be http[s]://HOST[:PORT] or "
              "http[s]://*.DOMAIN[:PORT] (see control/site_lock.h)");

// Compiled once per DLL build: the signature policy is what tells them apart.
constexpr SignaturePolicy kSignaturePolicy =
    TOVRAL_SIGNATURES_REQUIRED ? SignaturePolicy::Required : SignaturePolicy::Off;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        CTovralModule::Instance().OnProcessAttach(instance, TOVRAL_SITE_LOCK_SETTING,
                                                  kSignaturePolicy);
    else if (reason == DLL_PROCESS_DETACH)
        CTovralModule::Instance().OnProcessDetach(reserved != nullptr);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_DownLoad)
        return CLASS_E_CLASSNOTAVAILABLE;
    CTovralModule::Instance().EnsureStarted();
    return GetDownLoadClassObject(riid, object);
}

STDAPI DllCanUnloadNow() {
    return CTovralModule::Instance().CanUnloadNow() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return RegisterServer(CTovralModule::Instance().ModuleHandle(), RegistryScope::Machine);
}

STDAPI DllUnregisterServer() {
    return UnregisterServer(CTovralModule::Instance().ModuleHandle(), RegistryScope::Machine);
}

// "user" (any case) registers under HKEY_CURRENT_USER\Software\Classes.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    const RegistryScope scope = commandLine && EqualsNoCase(commandLine, L"user")
                                    ? RegistryScope::PerUser
                                    : RegistryScope::Machine;
    HINSTANCE module = CTovralModule::Instance().ModuleHandle();
    if (!install)
        return UnregisterServer(module, scope);
    HRESULT hr = RegisterServer(module, scope);
    if (FAILED(hr))
        UnregisterServer(module, scope); // leave nothing half-registered
    return hr;
}
