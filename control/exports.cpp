// The exported entry points of the in-process server.
#include "Tovral_h.h"
#include "common/text.h"
#include "control/class_factory.h"
#include "control/module.h"
#include "control/registration.h"

#include <windows.h>

namespace {

// Set by DllInstall("user"): register under HKEY_CURRENT_USER\Software\Classes.
RegistryScope g_scope = RegistryScope::Machine;

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        CTovralModule::Instance().OnProcessAttach(instance);
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

STDAPI DllCanUnloadNow() { return CTovralModule::Instance().CanUnloadNow() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return RegisterServer(CTovralModule::Instance().ModuleHandle(), g_scope);
}

STDAPI DllUnregisterServer() {
    return UnregisterServer(CTovralModule::Instance().ModuleHandle(), g_scope);
}

STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    if (commandLine && EqualsNoCase(commandLine, L"user"))
        g_scope = RegistryScope::PerUser;
    if (!install)
        return DllUnregisterServer();
    HRESULT hr = DllRegisterServer();
    if (FAILED(hr))
        DllUnregisterServer(); // leave nothing half-registered
    return hr;
}
