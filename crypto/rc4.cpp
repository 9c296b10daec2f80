#include "crypto/rc4.h"

#include <span>
#include <stdexcept>
#include <utility>

Rc4::Rc4(std::string_view key) {
    if (key.empty())
        throw std::invalid_argument("RC4 needs a key of at least one byte");
    for (size_t n = 0; n < state_.size(); ++n)
        state_[n] = static_cast<uint8_t>(n);
    uint8_t j = 0;
    for (size_t n = 0; n < state_.size(); ++n) {
        j = static_cast<uint8_t>(j + state_[n] + static_cast<uint8_t>(key[n % key.size()]));
        std::swap(state_[n], state_[j]);
    }
}

uint8_t Rc4::NextByte() {
    i_ = static_cast<uint8_t>(i_ + 1);
    j_ = static_cast<uint8_t>(j_ + state_[i_]);
    std::swap(state_[i_], state_[j_]);
    return state_[static_cast<uint8_t>(state_[i_] + state_[j_])];
}

void Rc4::Apply(std::string& data) {
    Apply(data.data(), data.size());
}

void Rc4::Apply(char* data, size_t size) {
    // The state and indices in locals: every byte stored into a member array
    // would otherwise make the compiler store and reload the indices, which
    // costs most of the time on the large configuration files.
    std::array<uint8_t, 256> state = state_;
    uint8_t i = i_;
    uint8_t j = j_;
    for (char& c : std::span(data, size)) {
        i = static_cast<uint8_t>(i + 1);
        const uint8_t si = state[i];
        j = static_cast<uint8_t>(j + si);
        const uint8_t sj = state[j];
        state[i] = sj;
        state[j] = si;
        c = static_cast<char>(static_cast<uint8_t>(c) ^ state[static_cast<uint8_t>(si + sj)]);
    }
    state_ = state;
    i_ = i;
    j_ = j;
}

std::string Rc4Transform(std::string_view key, std::string_view data) {
    std::string out(data);
    Rc4(key).Apply(out);
    return out;
}
