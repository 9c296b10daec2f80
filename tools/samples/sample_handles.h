// Owners of kernel handles and registry keys for the sample programs, which stand for
// the bank's own programs and so share no code with the control.
#pragma once

#include <windows.h>

class SampleHandle {
public:
    SampleHandle() = default;
    explicit SampleHandle(HANDLE h) : h_(h) {}
    ~SampleHandle() { reset(); }
    SampleHandle(const SampleHandle&) = delete;
    SampleHandle& operator=(const SampleHandle&) = delete;

    HANDLE get() const { return h_; }
    // CreateFileW fails with INVALID_HANDLE_VALUE, other calls with null.
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        if (*this)
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

class SampleKey {
public:
    SampleKey() = default;
    ~SampleKey() {
        if (key_)
            RegCloseKey(key_);
    }
    SampleKey(const SampleKey&) = delete;
    SampleKey& operator=(const SampleKey&) = delete;

    HKEY get() const { return key_; }

    // Creates (or opens) root\path for writing.
    LONG Create(HKEY root, const wchar_t* path) {
        return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                               &key_, nullptr);
    }

    // Writes a REG_SZ value (name null: the default value).
    LONG SetText(const wchar_t* name, const wchar_t* text) const {
        auto bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t));
        return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    }

private:
    HKEY key_ = nullptr;
};
