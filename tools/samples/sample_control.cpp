// A sample bank control: a minimal in-process COM server that registers itself the way the
// bank's controls do. One source built once per class id: SAMPLE_CLSID names one of the ids
// of sample_ids.h, sample_variant.h (generated per build) gives the display name.
#include "sample_handles.h"
#include "sample_ids.h"
#include "sample_variant.h"

#include <windows.h>
#include <olectl.h>

#include <atomic>
#include <new>
#include <string>

#define SAMPLE_WIDE_(text) L##text
#define SAMPLE_WIDE(text) SAMPLE_WIDE_(text)

namespace {

const wchar_t kClsidText[] = SAMPLE_WIDE(SAMPLE_CLSID);
const wchar_t kClassKey[] = L"CLSID\\" SAMPLE_WIDE(SAMPLE_CLSID);
const wchar_t kDisplayName[] = SAMPLE_WIDE(SAMPLE_DESCRIPTION);

HMODULE g_module = nullptr;
// Live objects, factory references and server locks: the DLL may unload at zero.
std::atomic<long> g_users{0};

bool IsOurClass(REFCLSID clsid) {
    CLSID ours;
    return SUCCEEDED(CLSIDFromString(kClsidText, &ours)) && IsEqualCLSID(clsid, ours);
}

// The control's object: only IUnknown, enough for a page to create it and for the bank's
// installer to check that the class is registered and loads.
class SampleObject final : public IUnknown {
public:
    SampleObject() { ++g_users; }
    ~SampleObject() { --g_users; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (!IsEqualIID(iid, IID_IUnknown)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// One static factory; its references count as users so the DLL stays while one is held.
class SampleFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++g_users); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--g_users); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) SampleObject;
        if (object == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            ++g_users;
        else
            --g_users;
        return S_OK;
    }
};

SampleFactory g_factory;

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // truncated: try a longer buffer
    }
}

LONG WriteClassKeys(const std::wstring& modulePath) {
    SampleKey classKey, serverKey;
    LONG error = classKey.Create(HKEY_CLASSES_ROOT, kClassKey);
    if (error == ERROR_SUCCESS)
        error = classKey.SetText(nullptr, kDisplayName);
    if (error == ERROR_SUCCESS)
        error = serverKey.Create(classKey.get(), L"InprocServer32");
    if (error == ERROR_SUCCESS)
        error = serverKey.SetText(nullptr, modulePath.c_str());
    if (error == ERROR_SUCCESS)
        error = serverKey.SetText(L"ThreadingModel", L"Apartment");
    return error;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsOurClass(clsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
    return g_users == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    std::wstring path = ModulePath();
    if (path.empty())
        return HRESULT_FROM_WIN32(GetLastError());
    if (WriteClassKeys(path) == ERROR_SUCCESS)
        return S_OK;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey); // leave no half-written class behind
    return SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
    LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
