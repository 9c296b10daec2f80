#include "control/registration.h"

#include "common/com_types.h"
#include "common/files.h"
#include "common/text.h"
#include "resources/resource.h"

#include <oleauto.h>

namespace {

const wchar_t kAppId[] = L"{36F675CC-81E7-4EF5-A8E2-5D940ED90475}";

// Registration runs under the system default locale and restores the caller's.
class SystemLocaleScope {
public:
    SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }

private:
    LCID saved_;
};

HRESULT RunScript(HINSTANCE module, int resourceId, bool registering, RegistryScope scope) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
    std::wstring script =
        FromCodePage(std::string_view(bytes, SizeofResource(module, found)), CP_UTF8);
    script =
        ExpandRgsReplacements(script, {{L"MODULE", ModuleFilePath(module)}, {L"APPID", kAppId}});
    auto parsed = ParseRgs(script);
    if (!parsed)
        return E_UNEXPECTED; // a broken script resource is a build fault
    return ApplyRgs(*parsed, registering, scope);
}

using TypeLibForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnTypeLibForUserFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// Per-user registration functions exist only on newer systems.
template <typename Fn> Fn OleAutomationEntry(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), name)));
}

HRESULT RegisterTypeLibrary(HINSTANCE module, RegistryScope scope) {
    std::wstring path = ModuleFilePath(module);
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr))
        return hr;
    if (scope == RegistryScope::PerUser) {
        if (auto forUser = OleAutomationEntry<TypeLibForUserFn>("RegisterTypeLibForUser"))
            return forUser(library.Get(), path.data(), nullptr);
    }
    return RegisterTypeLib(library.Get(), path.data(), nullptr);
}

HRESULT UnregisterTypeLibrary(HINSTANCE module, RegistryScope scope) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(ModuleFilePath(module).c_str(), REGKIND_NONE, &library);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    if (scope == RegistryScope::PerUser) {
        if (auto forUser = OleAutomationEntry<UnTypeLibForUserFn>("UnRegisterTypeLibForUser"))
            return forUser(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid,
                           copy.syskind);
    }
    hr =
        UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    // Nothing registered is as good as removed.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

} // namespace

HRESULT RegisterServer(HINSTANCE module, RegistryScope scope) {
    SystemLocaleScope locale;
    HRESULT hr = RunScript(module, IDR_TOVRAL_APPID, true, scope);
    if (SUCCEEDED(hr))
        hr = RunScript(module, IDR_DOWNLOAD_CLASS, true, scope);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLibrary(module, scope);
    return hr;
}

HRESULT UnregisterServer(HINSTANCE module, RegistryScope scope) {
    SystemLocaleScope locale;
    HRESULT hr = RunScript(module, IDR_DOWNLOAD_CLASS, false, scope);
    HRESULT typeLib = UnregisterTypeLibrary(module, scope);
    if (SUCCEEDED(hr))
        hr = typeLib;
    HRESULT appId = RunScript(module, IDR_TOVRAL_APPID, false, scope);
    return SUCCEEDED(hr) ? appId : hr;
}
