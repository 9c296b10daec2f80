// RAII owners for the automation types: BSTR and VARIANT. COM interface
// pointers use Microsoft::WRL::ComPtr.
#pragma once

#include "common/com_error.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <utility>

using Microsoft::WRL::ComPtr;

class Bstr {
public:
    Bstr() = default;
    // Copies the whole text, embedded NULs included; throws on allocation failure.
    explicit Bstr(const std::wstring& text)
        : b_(CheckAlloc(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))) {}
    explicit Bstr(const wchar_t* text) : Bstr(std::wstring(text ? text : L"")) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(Bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        std::swap(b_, other.b_);
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const { return b_; }
    // For [out] BSTR parameters: frees the held string first.
    BSTR* out() {
        SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    std::wstring str() const { return ToString(b_); }

    static std::wstring ToString(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : L""; }

private:
    BSTR b_ = nullptr;
};

// Owns a VARIANT (holds it, rather than being one, so it cannot be passed
// where a raw VARIANT would be copied or cleared behind its back).
class Variant {
public:
    Variant() { VariantInit(&v_); }
    explicit Variant(const std::wstring& text) {
        VariantInit(&v_);
        v_.bstrVal = Bstr(text).Detach();
        v_.vt = VT_BSTR;
    }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    const VARIANT& get() const { return v_; }
    const VARIANT* operator->() const { return &v_; }
    // For [out] VARIANT parameters: clears the held value first.
    VARIANT* out() {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

// Joins the calling thread to a COM apartment for the owner's lifetime; a
// thread that already has one keeps it (and is still balanced on exit).
// Joining can fail (out of memory): check usable() before COM is used.
class ComApartment {
public:
    [[nodiscard]] explicit ComApartment(DWORD model) : hr_(CoInitializeEx(nullptr, model)) {}
    ~ComApartment() {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT result() const { return hr_; }
    // True when COM is usable here, whether this owner or an earlier one set it up.
    bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT hr_;
};

// Exception information filled by a call; frees its texts.
class ExcepInfo : public EXCEPINFO {
public:
    ExcepInfo() : EXCEPINFO{} {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
};
