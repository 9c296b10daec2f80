// The one exception type of the control: a COM failure code that ends the
// current scripting call with that code (out of memory, a null lookup name).
#pragma once

#include <windows.h>

#include <stdexcept>

class ComError : public std::runtime_error {
public:
    explicit ComError(HRESULT hr) : std::runtime_error("COM error"), hr_(hr) {}
    HRESULT code() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

// Throws ComError(E_OUTOFMEMORY) when an allocation returned null.
template <typename T> T* CheckAlloc(T* p) {
    if (!p)
        throw ComError(E_OUTOFMEMORY);
    return p;
}
