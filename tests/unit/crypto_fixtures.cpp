#include "tests/unit/crypto_fixtures.h"

#include "common/text.h"
#include "tests/unit/test_support.h"

#include <memory>
#include <random>
#include <stdexcept>

const RsaPrivateKey& TestPrivateKey() {
    static const RsaPrivateKey key = [] {
        std::wstring path = SourcePath(L"tests/fixtures/keys/test.key");
        if (!FileExists(path))
            throw std::runtime_error("the test key tests/fixtures/keys/test.key is missing");
        return ParsePrivateKeyFile(ReadBytes(path));
    }();
    return key;
}

RsaPublicKey TestPublicKey() {
    return TestPrivateKey().PublicKey();
}

const RsaPrivateKey& TestSigningKey() {
    static const RsaPrivateKey key = [] {
        std::wstring path = SourcePath(L"tests/fixtures/keys/test-signing.key");
        if (!FileExists(path))
            throw std::runtime_error("the test signing key tests/fixtures/keys/test-signing.key "
                                     "is missing");
        return ParseSigningKeyFile(ReadBytes(path));
    }();
    return key;
}

SignatureCheck RequiredSignatures() {
    return SignatureCheck{SignaturePolicy::Required, TestSigningKey().PublicKey()};
}

std::string SignForTest(const std::string& file) {
    return SignFile(TestSigningKey(), file);
}

RandomFill SeededRandom(uint32_t seed) {
    auto engine = std::make_shared<std::mt19937>(seed);
    return [engine](std::span<uint8_t> out) {
        for (uint8_t& byte : out)
            byte = static_cast<uint8_t>((*engine)() >> 24);
    };
}

std::string EncryptForTest(const std::wstring& text, BodyEncoding encoding, unsigned codePage) {
    static const RandomFill random = SeededRandom(7);
    return EncryptText(TestPrivateKey(), text, encoding, codePage, random);
}
