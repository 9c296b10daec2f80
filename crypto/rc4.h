// RC4, the published stream cipher: key scheduling over 256 steps with the key
// bytes used cyclically, then the key stream XORed over the data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Rc4 {
public:
    // The key must not be empty (1 to 256 bytes are meaningful).
    explicit Rc4(std::string_view key);

    // XORs the next key-stream bytes over the data, in place.
    void Apply(std::string& data);
    void Apply(char* data, size_t size);
    uint8_t NextByte();

private:
    // Each state byte in a word of its own: the byte loads and stores of a
    // byte array cost three times as much at the size-optimised -Os we build
    // with, and RC4 runs over every byte of the large configuration files.
    std::array<uint32_t, 256> state_;
    uint32_t i_ = 0;
    uint32_t j_ = 0;
};

// One pass from a fresh state: encrypts and decrypts alike.
std::string Rc4Transform(std::string_view key, std::string_view data);
