// The bank's side of the encrypted configuration files: RSA key pairs, key
// files, encryption of plain text into the format the control decrypts, and
// the detached signatures of the encrypted files.
// The TovralPack tool and the tests share it, so every encrypted file the
// tests use is made by this code.
#pragma once

#include "tools/packer/key_generation.h"
#include "config/crypto.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Bad input to the packer, with a message for the person running it.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RsaPrivateKey {
    BigUint modulus;
    BigUint publicExponent;
    BigUint privateExponent;
    BigUint prime1;
    BigUint prime2;

    RsaPublicKey PublicKey() const;
};

constexpr size_t kModulusBits = 1024;
constexpr uint32_t kPublicExponent = 65537;
// The signing key pair is a second one, kept apart from the format's key.
constexpr size_t kSigningKeyBits = 2048;

// A fresh key pair: two random primes of half the size each, e = 65537.
RsaPrivateKey GenerateRsaKey(size_t modulusBits, const RandomFill& random);

// Key files are "name=value" lines (hexadecimal values); "#" starts a comment.
// Both pairs share the form; the first line says which pair a file belongs to.
enum class KeyUse { Format, Signing };
std::string FormatPublicKeyFile(const RsaPublicKey& key, KeyUse use = KeyUse::Format);
std::string FormatPrivateKeyFile(const RsaPrivateKey& key, KeyUse use = KeyUse::Format);
RsaPublicKey ParsePublicKeyFile(std::string_view text);   // throws PackError
RsaPrivateKey ParsePrivateKeyFile(std::string_view text); // throws PackError
// The same, refusing keys shorter than kSmallestSigningKeyBits (the format's
// 1024-bit key above all); throw PackError.
RsaPublicKey ParseSigningPublicKeyFile(std::string_view text);
RsaPrivateKey ParseSigningKeyFile(std::string_view text);

enum class BodyEncoding { Utf8, Utf16, Ansi, Utf32Marker };
std::optional<BodyEncoding> ParseBodyEncoding(std::string_view name);
// Chinese (GBK): what the control's thread code page is on the bank's customers' PCs.
constexpr unsigned kDefaultAnsiCodePage = 936;

// The plaintext bytes as the control will find them after RC4: UTF-8 with
// EF BB BF, UTF-16LE with FF FE, the code page's bytes, or the unsupported
// 00 00 FF FE form followed by UTF-32LE. Throws PackError when the text
// cannot be written that way.
std::string EncodeBody(std::wstring_view text, BodyEncoding encoding, unsigned codePage);

// Sixteen random bytes, none of them zero (a zero would cut the RC4 key short).
constexpr size_t kFileKeySize = 16;
std::string RandomFileKey(const RandomFill& random);

// Uppercase hexadecimal of fileKey^d mod n. Throws PackError when the key is
// zero or not below the modulus (it would not come back out).
std::string MakeKeyBlock(const RsaPrivateKey& key, std::string_view fileKey);

// A whole encrypted file from a given file key and body bytes. RC4 runs under
// the key bytes the control will recover: without leading zero bytes, up to
// the first zero byte. The tests use it directly to make files with unusual keys.
std::string BuildEncryptedFile(const RsaPrivateKey& key, std::string_view fileKey,
                               std::string_view body);

// Encrypts text with a fresh random file key.
std::string EncryptText(const RsaPrivateKey& key, std::wstring_view text, BodyEncoding encoding,
                        unsigned codePage, const RandomFill& random);

// The detached signature of an encrypted file ("NAME.sig"): RSA PKCS#1 v1.5
// with SHA-256 over the whole file, big-endian, as long as the modulus.
// Throws PackError for a key shorter than kSmallestSigningKeyBits.
std::string SignFile(const RsaPrivateKey& signingKey, std::string_view file);

// Strict UTF-8 (an optional leading byte-order mark is dropped); throws PackError.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view text);
