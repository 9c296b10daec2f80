#include "control/class_factory.h"

#include "control/download.h"
#include "control/module.h"

namespace {

// A static class object: its lifetime is the module's, LockServer counts locks.
class DownLoadClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        CTovralModule::Instance().Lock();
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        CTovralModule::Instance().Unlock();
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return CDownLoad::CreateInstance(riid, object);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            CTovralModule::Instance().Lock();
        else
            CTovralModule::Instance().Unlock();
        return S_OK;
    }
};

DownLoadClassFactory g_factory;

} // namespace

HRESULT GetDownLoadClassObject(REFIID riid, void** object) {
    return g_factory.QueryInterface(riid, object);
}
