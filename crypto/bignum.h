// Unsigned multiprecision integers: what the RSA step of the encrypted
// configuration files and of the signatures needs (hexadecimal text in,
// big-endian bytes out, modular exponentiation). Making keys is the packer's
// (tools/packer/key_generation.h) and is not linked into the control.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
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
