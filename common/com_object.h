// Small helpers for COM objects written here: reference counting,
// QueryInterface tables and creation into a ComPtr.
#pragma once

#include "common/com_types.h"

#include <initializer_list>
#include <utility>

// One interface an object answers: its id and the pointer handed out for it.
struct InterfaceEntry {
    const IID& iid;
    IUnknown* object;
};

inline HRESULT AnswerQuery(REFIID riid, void** ppv, std::initializer_list<InterfaceEntry> entries) {
    if (!ppv)
        return E_POINTER;
    for (const InterfaceEntry& entry : entries) {
        if (IsEqualIID(riid, entry.iid)) {
            entry.object->AddRef();
            *ppv = entry.object;
            return S_OK;
        }
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// Reference count of an object that deletes itself on the last Release.
template <typename Self> class RefCount {
public:
    ULONG AddRef() { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
    ULONG Release(Self* self) {
        const LONG left = InterlockedDecrement(&count_);
        if (left == 0)
            delete self;
        return static_cast<ULONG>(left);
    }

private:
    LONG count_ = 1;
};

// Declares AddRef and Release of a class that has a RefCount<Class> member `refs_`.
#define REFCOUNTED_IUNKNOWN                                                                        \
    ULONG STDMETHODCALLTYPE AddRef() override {                                                    \
        return refs_.AddRef();                                                                     \
    }                                                                                              \
    ULONG STDMETHODCALLTYPE Release() override {                                                   \
        return refs_.Release(this);                                                                \
    }

// The new object's first reference goes to the ComPtr. (mingw's ComPtr::Attach
// adds a reference, unlike Microsoft's, so it must not be used for this.)
template <typename T, typename... Args> ComPtr<T> MakeCom(Args&&... args) {
    ComPtr<T> object;
    *object.GetAddressOf() = new T(std::forward<Args>(args)...);
    return object;
}
