// RAII owners for the automation types: BSTR and VARIANT. COM interface
// pointers use Microsoft::WRL::ComPtr.
#pragma once

#include "common/com_error.h"

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

class Variant : public VARIANT {
public:
    Variant() { VariantInit(this); }
    explicit Variant(const std::wstring& text) {
        VariantInit(this);
        vt = VT_BSTR;
        bstrVal = Bstr(text).Detach();
    }
    ~Variant() { VariantClear(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    void Clear() { VariantClear(this); }
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
