#include "crypto/rc4.h"

#include <span>
#include <stdexcept>
#include <utility>

Rc4::Rc4(std::string_view key) {
    if (key.empty())
        throw std::invalid_argument("RC4 needs a key of at least one byte");
    for (uint32_t n = 0; n < state_.size(); ++n)
        state_[n] = n;
    uint32_t j = 0;
    for (size_t n = 0; n < state_.size(); ++n) {
        j = (j + state_[n] + static_cast<uint8_t>(key[n % key.size()])) & 0xFF;
        std::swap(state_[n], state_[j]);
    }
}

uint8_t Rc4::NextByte() {
    i_ = (i_ + 1) & 0xFF;
    j_ = (j_ + state_[i_]) & 0xFF;
    std::swap(state_[i_], state_[j_]);
    return static_cast<uint8_t>(state_[(state_[i_] + state_[j_]) & 0xFF]);
}

void Rc4::Apply(std::string& data) {
    Apply(data.data(), data.size());
}

void Rc4::Apply(char* data, size_t size) {
    // The state and indices in locals: every store into a member array would
    // otherwise make the compiler store and reload the indices.
    std::array<uint32_t, 256> state = state_;
    uint32_t i = i_;
    uint32_t j = j_;
    for (char& c : std::span(data, size)) {
        i = (i + 1) & 0xFF;
        const uint32_t si = state[i];
        j = (j + si) & 0xFF;
        const uint32_t sj = state[j];
        state[i] = sj;
        state[j] = si;
        c = static_cast<char>(static_cast<uint8_t>(c) ^ state[(si + sj) & 0xFF]);
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
