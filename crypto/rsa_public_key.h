// An RSA public key as the control holds it: hexadecimal texts.
#pragma once

#include <string>

struct RsaPublicKey {
    std::string modulusHex;            // 256 hexadecimal digits for a 1024-bit key
    std::string exponentHex = "10001"; // 65537
};
