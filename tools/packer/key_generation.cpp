#include "tools/packer/key_generation.h"

#include <windows.h>
#include <wincrypt.h>

#include <stdexcept>
#include <utility>

namespace {

const uint32_t kSmallPrimes[] = {
    3,   5,   7,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,  53,  59,  61,  67,  71,
    73,  79,  83,  89,  97,  101, 103, 107, 109, 113, 127, 131, 137, 139, 149, 151, 157, 163, 167,
    173, 179, 181, 191, 193, 197, 199, 211, 223, 227, 229, 233, 239, 241, 251, 257, 263, 269, 271,
    277, 281, 283, 293, 307, 311, 313, 317, 331, 337, 347, 349, 353, 359, 367, 373, 379, 383, 389,
    397, 401, 409, 419, 421, 431, 433, 439, 443, 449, 457, 461, 463, 467, 479, 487, 491, 499, 503,
    509, 521, 523, 541, 547, 557, 563, 569, 571, 577, 587, 593, 599, 601, 607, 613, 617, 619, 631,
    641, 643, 647, 653, 659, 661, 673, 677, 683, 691, 701, 709, 719, 727, 733, 739, 743, 751, 757,
    761, 769, 773, 787, 797, 809, 811, 821, 823, 827, 829, 839, 853, 857, 859, 863, 877, 881, 883,
    887, 907, 911, 919, 929, 937, 941, 947, 953, 967, 971, 977, 983, 991, 997};

} // namespace

BigUint Gcd(BigUint a, BigUint b) {
    while (!b.IsZero()) {
        BigUint r = a % b;
        a = std::move(b);
        b = std::move(r);
    }
    return a;
}

std::optional<BigUint> ModInverse(const BigUint& a, const BigUint& m) {
    if (m < BigUint(2))
        return std::nullopt;
    // Extended Euclid; the Bezout coefficient is kept reduced modulo m so it
    // never goes negative.
    BigUint oldR = a % m, r = m;
    BigUint oldS(1), s;
    while (!r.IsZero()) {
        BigUint q, rest;
        BigUint::DivMod(oldR, r, q, rest);
        oldR = std::exchange(r, std::move(rest));
        BigUint next = (oldS + m - q * s % m) % m;
        oldS = std::exchange(s, std::move(next));
    }
    if (oldR != BigUint(1))
        return std::nullopt;
    return oldS;
}

namespace {

// The random number provider, acquired once for the process: acquiring one
// loads the provider's library and reads its registration, which a key's
// prime search (hundreds of candidates and witnesses) would pay every time.
class RandomProvider {
public:
    RandomProvider() {
        if (!CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            throw std::runtime_error("the system random number generator is not available");
    }
    ~RandomProvider() { CryptReleaseContext(provider_, 0); }
    RandomProvider(const RandomProvider&) = delete;
    RandomProvider& operator=(const RandomProvider&) = delete;

    bool Fill(std::span<uint8_t> out) const {
        return CryptGenRandom(provider_, static_cast<DWORD>(out.size()), out.data());
    }

private:
    HCRYPTPROV provider_ = 0;
};

} // namespace

void SystemRandomFill(std::span<uint8_t> out) {
    static const RandomProvider provider; // acquired again on the next call if this one fails
    if (!provider.Fill(out))
        throw std::runtime_error("the system random number generator failed");
}

BigUint RandomBits(size_t bits, const RandomFill& random) {
    std::string bytes((bits + 7) / 8, '\0');
    random(std::span<uint8_t>(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()));
    if (bits % 8 != 0)
        bytes[0] = static_cast<char>(static_cast<uint8_t>(bytes[0]) & ((1u << (bits % 8)) - 1));
    return BigUint::FromBytes(bytes);
}

BigUint RandomInRange(const BigUint& low, const BigUint& high, const RandomFill& random) {
    if (high < low)
        throw std::invalid_argument("RandomInRange with an empty range");
    BigUint span = high - low;
    size_t bits = span.BitLength();
    for (;;) { // rejection sampling keeps the choice uniform
        BigUint candidate = RandomBits(bits, random);
        if (candidate <= span)
            return low + candidate;
    }
}

bool IsProbablePrime(const BigUint& n, int rounds, const RandomFill& random) {
    if (n < BigUint(2))
        return false;
    if (!n.IsOdd())
        return n == BigUint(2);
    for (uint32_t p : kSmallPrimes) {
        if (n == BigUint(p))
            return true;
        if (n.ModSmall(p) == 0)
            return false;
    }
    const BigUint nMinusOne = n - BigUint(1);
    size_t twos = 0;
    while (!nMinusOne.TestBit(twos))
        ++twos;
    const BigUint odd = nMinusOne >> twos;
    for (int round = 0; round < rounds; ++round) {
        BigUint x = ModPow(RandomInRange(BigUint(2), n - BigUint(2), random), odd, n);
        if (x == BigUint(1) || x == nMinusOne)
            continue;
        bool witness = true;
        for (size_t i = 1; i < twos && witness; ++i) {
            x = x * x % n;
            witness = x != nMinusOne;
        }
        if (witness)
            return false;
    }
    return true;
}
