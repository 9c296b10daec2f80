#include "tools/packer/packer_core.h"

#include "common/text.h"
#include "crypto/rc4.h"
#include "crypto/sha256.h"
#include "crypto/signature.h"

#include <windows.h>

#include <map>

namespace {

const BigUint& One() {
    static const BigUint one(1);
    return one;
}

// A random odd number of exactly `bits` bits with the top two bits set (so
// the product of two such primes has exactly twice the bits) that is prime
// and leaves p - 1 coprime to the public exponent.
BigUint RandomPrime(size_t bits, const RandomFill& random) {
    const BigUint topBits = BigUint(3) << (bits - 2);
    for (;;) {
        BigUint candidate = topBits + RandomBits(bits - 2, random);
        if (!candidate.IsOdd())
            candidate = candidate + One();
        if (candidate.ModSmall(kPublicExponent) == 1)
            continue;
        if (IsProbablePrime(candidate, 40, random))
            return candidate;
    }
}

using KeyFields = std::map<std::string, std::string, std::less<>>;

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

KeyFields ParseKeyFields(std::string_view text) {
    KeyFields fields;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            throw PackError("not a key file: the line \"" + std::string(line) +
                            "\" is not of the form name=value");
        std::string name(Trim(line.substr(0, equals)));
        if (!fields.emplace(name, std::string(Trim(line.substr(equals + 1)))).second)
            throw PackError("not a key file: \"" + name + "\" appears twice");
    }
    return fields;
}

BigUint RequireNumber(const KeyFields& fields, const std::string& name) {
    auto found = fields.find(name);
    if (found == fields.end())
        throw PackError("not a key file: the \"" + name + "=\" line is missing");
    std::optional<BigUint> value = BigUint::FromHex(found->second);
    if (!value || value->IsZero())
        throw PackError("not a key file: \"" + name + "\" is not a positive hexadecimal number");
    return *value;
}

std::string EncodeUtf16(std::wstring_view text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

std::string EncodeUtf32(std::wstring_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((c >> shift) & 0xFF));
    }
    return bytes;
}

std::string EncodeAnsi(std::wstring_view text, unsigned codePage) {
    if (!IsValidCodePage(codePage))
        throw PackError("code page " + std::to_string(codePage) + " is not available");
    std::string bytes = ToCodePage(text, codePage);
    // The control decodes with the same code page: what does not come back
    // unchanged would reach it as replacement characters.
    if (FromCodePage(bytes, codePage) != text)
        throw PackError("the text has characters that code page " + std::to_string(codePage) +
                        " cannot represent");
    std::string_view view = bytes;
    if (view.starts_with("\xEF\xBB\xBF") || view.starts_with("\xFF\xFE"))
        throw PackError("in code page " + std::to_string(codePage) +
                        " the text begins with bytes the control reads as a byte-order mark");
    return bytes;
}

} // namespace

RsaPublicKey RsaPrivateKey::PublicKey() const {
    return RsaPublicKey{modulus.ToHex(), publicExponent.ToHex()};
}

RsaPrivateKey GenerateRsaKey(size_t modulusBits, const RandomFill& random) {
    if (modulusBits < 256 || modulusBits % 2 != 0)
        throw PackError("the modulus size must be an even number of bits, at least 256");
    const BigUint e(kPublicExponent);
    for (;;) {
        BigUint p = RandomPrime(modulusBits / 2, random);
        BigUint q = RandomPrime(modulusBits / 2, random);
        if (p == q)
            continue;
        BigUint phi = (p - One()) * (q - One());
        std::optional<BigUint> d = ModInverse(e, phi);
        if (!d)
            continue;
        return RsaPrivateKey{p * q, e, *d, p, q};
    }
}

std::string FormatPublicKeyFile(const RsaPublicKey& key, KeyUse use) {
    return std::string(use == KeyUse::Format
                           ? "# RSA public key of the configuration files (TovralPack keygen)\n"
                           : "# RSA public signing key of the configuration files "
                             "(TovralPack keygen --signing)\n") +
           "modulus=" + key.modulusHex + "\nexponent=" + key.exponentHex + "\n";
}

std::string FormatPrivateKeyFile(const RsaPrivateKey& key, KeyUse use) {
    return std::string(use == KeyUse::Format
                           ? "# RSA private key of the configuration files (TovralPack keygen): "
                             "keep it secret\n"
                           : "# RSA signing key of the configuration files (TovralPack keygen "
                             "--signing): keep it secret\n") +
           "modulus=" + key.modulus.ToHex() + "\nexponent=" + key.publicExponent.ToHex() +
           "\nprivateExponent=" + key.privateExponent.ToHex() + "\nprime1=" + key.prime1.ToHex() +
           "\nprime2=" + key.prime2.ToHex() + "\n";
}

RsaPublicKey ParsePublicKeyFile(std::string_view text) {
    KeyFields fields = ParseKeyFields(text);
    return RsaPublicKey{RequireNumber(fields, "modulus").ToHex(),
                        RequireNumber(fields, "exponent").ToHex()};
}

RsaPrivateKey ParsePrivateKeyFile(std::string_view text) {
    KeyFields fields = ParseKeyFields(text);
    RsaPrivateKey key{RequireNumber(fields, "modulus"), RequireNumber(fields, "exponent"),
                      RequireNumber(fields, "privateExponent"), RequireNumber(fields, "prime1"),
                      RequireNumber(fields, "prime2")};
    if (key.prime1 * key.prime2 != key.modulus)
        throw PackError("the private key is damaged: prime1 * prime2 is not the modulus");
    const BigUint probe(0x5EED);
    if (ModPow(ModPow(probe, key.privateExponent, key.modulus), key.publicExponent, key.modulus) !=
        probe)
        throw PackError("the private key is damaged: its exponents do not match");
    return key;
}

namespace {

void RequireSigningSize(const BigUint& modulus) {
    if (modulus.BitLength() < kSmallestSigningKeyBits ||
        modulus.BitLength() > kLargestSigningKeyBits)
        throw PackError("not a signing key: its modulus has " +
                        std::to_string(modulus.BitLength()) + " bits, a signing key " +
                        std::to_string(kSmallestSigningKeyBits) + " to " +
                        std::to_string(kLargestSigningKeyBits) +
                        " (make one with \"TovralPack keygen --signing\")");
}

// EMSA-PKCS1-v1_5 with SHA-256: 00 01 FF..FF 00, the DigestInfo of SHA-256, the digest.
std::string Pkcs1Sha256Block(const Sha256Digest& digest, size_t length) {
    static const char kDigestInfo[] = "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04"
                                      "\x02\x01\x05\x00\x04\x20";
    std::string tail(kDigestInfo, sizeof kDigestInfo - 1);
    tail.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    return std::string("\x00\x01", 2) + std::string(length - tail.size() - 3, '\xFF') +
           std::string(1, '\0') + tail;
}

} // namespace

RsaPublicKey ParseSigningPublicKeyFile(std::string_view text) {
    RsaPublicKey key = ParsePublicKeyFile(text);
    RequireSigningSize(*BigUint::FromHex(key.modulusHex));
    return key;
}

RsaPrivateKey ParseSigningKeyFile(std::string_view text) {
    RsaPrivateKey key = ParsePrivateKeyFile(text);
    RequireSigningSize(key.modulus);
    return key;
}

std::string SignFile(const RsaPrivateKey& signingKey, std::string_view file) {
    RequireSigningSize(signingKey.modulus);
    std::optional<Sha256Digest> digest = Sha256Of(file);
    if (!digest)
        throw PackError("the system's CryptoAPI gives no SHA-256");
    const size_t length = (signingKey.modulus.BitLength() + 7) / 8;
    BigUint block = BigUint::FromBytes(Pkcs1Sha256Block(*digest, length));
    std::string signature = ModPow(block, signingKey.privateExponent, signingKey.modulus).ToBytes();
    return std::string(length - signature.size(), '\0') + signature;
}

std::optional<BodyEncoding> ParseBodyEncoding(std::string_view name) {
    if (name == "utf8")
        return BodyEncoding::Utf8;
    if (name == "utf16")
        return BodyEncoding::Utf16;
    if (name == "ansi")
        return BodyEncoding::Ansi;
    if (name == "utf32marker")
        return BodyEncoding::Utf32Marker;
    return std::nullopt;
}

std::string EncodeBody(std::wstring_view text, BodyEncoding encoding, unsigned codePage) {
    if (text.find(L'\0') != std::wstring_view::npos)
        throw PackError("the text contains a NUL character, where the control would stop reading");
    switch (encoding) {
    case BodyEncoding::Utf8:
        return "\xEF\xBB\xBF" + WideToUtf8(text);
    case BodyEncoding::Utf16:
        return "\xFF\xFE" + EncodeUtf16(text);
    case BodyEncoding::Ansi:
        return EncodeAnsi(text, codePage);
    case BodyEncoding::Utf32Marker:
        return std::string("\x00\x00\xFF\xFE", 4) + EncodeUtf32(text);
    }
    throw PackError("unknown encoding");
}

std::string RandomFileKey(const RandomFill& random) {
    std::string key;
    while (key.size() < kFileKeySize) {
        uint8_t byte = 0;
        random(std::span<uint8_t>(&byte, 1));
        if (byte != 0)
            key.push_back(static_cast<char>(byte));
    }
    return key;
}

std::string MakeKeyBlock(const RsaPrivateKey& key, std::string_view fileKey) {
    BigUint value = BigUint::FromBytes(fileKey);
    if (value.IsZero())
        throw PackError("the file key is zero");
    if (value >= key.modulus)
        throw PackError("the file key is not below the modulus");
    return ModPow(value, key.privateExponent, key.modulus).ToHex();
}

std::string BuildEncryptedFile(const RsaPrivateKey& key, std::string_view fileKey,
                               std::string_view body) {
    std::string keyBlock = MakeKeyBlock(key, fileKey);
    // What the control gets back: the number's bytes, so no leading zeros.
    std::string rc4Key = Rc4KeyFromFileKey(BigUint::FromBytes(fileKey).ToBytes());
    std::string file;
    for (int shift = 0; shift < 32; shift += 8)
        file.push_back(static_cast<char>((keyBlock.size() >> shift) & 0xFF));
    file += keyBlock;
    file += Rc4Transform(rc4Key, body);
    return file;
}

std::string EncryptText(const RsaPrivateKey& key, std::wstring_view text, BodyEncoding encoding,
                        unsigned codePage, const RandomFill& random) {
    return BuildEncryptedFile(key, RandomFileKey(random), EncodeBody(text, encoding, codePage));
}

std::wstring Utf8ToWide(std::string_view utf8) {
    if (utf8.starts_with("\xEF\xBB\xBF"))
        utf8.remove_prefix(3);
    if (utf8.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                   static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0)
        throw PackError("the input is not valid UTF-8 text");
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        text.data(), size);
    return text;
}

std::string WideToUtf8(std::wstring_view text) {
    return ToCodePage(text, CP_UTF8);
}
