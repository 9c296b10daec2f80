// Unsigned multiprecision integers: what the RSA step of the encrypted
// configuration files needs (hexadecimal text in, big-endian bytes out,
// modular exponentiation) and what the packer needs to make keys (random
// numbers, primality, gcd, modular inverse).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class BigUint {
public:
    BigUint() = default;
    BigUint(uint64_t value); // NOLINT: numbers convert freely, as in arithmetic

    // Hexadecimal digits of either case, leading zeros allowed; nullopt for an
    // empty text or any other character.
    static std::optional<BigUint> FromHex(std::string_view hex);
    static BigUint FromBytes(std::string_view bigEndian);
    static BigUint FromLimbs(std::vector<uint32_t> leastSignificantFirst);

    // Uppercase hexadecimal without leading zeros ("0" for zero).
    std::string ToHex() const;
    // Big-endian bytes without leading zero bytes (empty for zero).
    std::string ToBytes() const;

    bool IsZero() const { return limbs_.empty(); }
    bool IsOdd() const { return !limbs_.empty() && (limbs_[0] & 1u) != 0; }
    size_t BitLength() const;
    bool TestBit(size_t bit) const;
    uint32_t ModSmall(uint32_t divisor) const; // divisor must not be 0
    const std::vector<uint32_t>& Limbs() const { return limbs_; }

    bool operator==(const BigUint&) const = default;
    friend std::strong_ordering operator<=>(const BigUint& a, const BigUint& b);

    friend BigUint operator+(const BigUint& a, const BigUint& b);
    // Throws std::underflow_error when b > a.
    friend BigUint operator-(const BigUint& a, const BigUint& b);
    friend BigUint operator*(const BigUint& a, const BigUint& b);
    // Division and remainder throw std::domain_error for a zero divisor.
    friend BigUint operator/(const BigUint& a, const BigUint& b);
    friend BigUint operator%(const BigUint& a, const BigUint& b);
    BigUint operator<<(size_t bits) const;
    BigUint operator>>(size_t bits) const;

    static void DivMod(const BigUint& a, const BigUint& b, BigUint& quotient, BigUint& remainder);

private:
    void Normalize();

    std::vector<uint32_t> limbs_; // least significant first, no high zero limbs
};

// base^exponent mod modulus; throws std::domain_error for a zero modulus.
// Odd moduli (every RSA modulus) use Montgomery multiplication.
BigUint ModPow(const BigUint& base, const BigUint& exponent, const BigUint& modulus);
BigUint Gcd(BigUint a, BigUint b);
// The inverse of a modulo m, nullopt when none exists (gcd not 1, or m < 2).
std::optional<BigUint> ModInverse(const BigUint& a, const BigUint& m);

// Fills a buffer with random bytes; throws when no randomness can be had.
using RandomFill = std::function<void(std::span<uint8_t>)>;
// The system's cryptographic random number generator.
void SystemRandomFill(std::span<uint8_t> out);

// A number of exactly `bits` bits or fewer, uniformly chosen.
BigUint RandomBits(size_t bits, const RandomFill& random);
// Uniformly chosen in [low, high]; low must not exceed high.
BigUint RandomInRange(const BigUint& low, const BigUint& high, const RandomFill& random);

// Trial division by small primes, then Miller-Rabin with `rounds` random bases.
bool IsProbablePrime(const BigUint& n, int rounds, const RandomFill& random);
