// Owners of the Windows CryptoAPI handles, and the one provider the control
// asks for: the RSA and AES provider, which has SHA-256 and verifies RSA
// signatures without a key container.
#pragma once

#include "common/handles.h"

#include <windows.h>
#include <wincrypt.h>

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static Handle Invalid() { return 0; }
    static bool Valid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptReleaseContext(h, 0); }
};
// Keys and hashes belong to their provider: declare the provider first, so it
// goes last.
using CryptProvider = UniqueHandle<CryptProviderTraits>;

struct CryptKeyTraits {
    using Handle = HCRYPTKEY;
    static Handle Invalid() { return 0; }
    static bool Valid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptDestroyKey(h); }
};
using CryptKey = UniqueHandle<CryptKeyTraits>;

struct CryptHashTraits {
    using Handle = HCRYPTHASH;
    static Handle Invalid() { return 0; }
    static bool Valid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptDestroyHash(h); }
};
using CryptHash = UniqueHandle<CryptHashTraits>;

// A verification-only context of the RSA and AES provider; no handle when the
// system has none.
CryptProvider AcquireRsaAesProvider();
// A fresh SHA-256 hash object of that provider; no handle on failure.
CryptHash CreateSha256Hash(const CryptProvider& provider);
// Adds bytes to a hash, in pieces a DWORD can count.
bool HashBytes(const CryptHash& hash, const void* data, size_t size);
