// Keys and encrypted files for the crypto tests. Every encrypted file is made
// at test time by the packer's own code from plain text.
#pragma once

#include "crypto/bignum.h"
#include "crypto/signature.h"
#include "tools/packer/packer_core.h"

#include <string>

// The committed test key pair (tests/fixtures/keys/test.key).
const RsaPrivateKey& TestPrivateKey();
RsaPublicKey TestPublicKey();

// The committed test signing pair (tests/fixtures/keys/test-signing.key).
const RsaPrivateKey& TestSigningKey();
// Signatures required, verified with the test signing key.
SignatureCheck RequiredSignatures();
// The signature the packer writes beside `file`, made with the test signing key.
std::string SignForTest(const std::string& file);

// A repeatable random source, so failures can be reproduced.
RandomFill SeededRandom(uint32_t seed);

// Text encrypted with the test key; the file key is random.
std::string EncryptForTest(const std::wstring& text, BodyEncoding encoding = BodyEncoding::Utf8,
                           unsigned codePage = kDefaultAnsiCodePage);
