// What making an RSA key pair needs beyond the control's public-key
// arithmetic: randomness, primality, gcd and modular inverse. The bank's
// tools link it; the control only ever verifies and decrypts.
#pragma once

#include "crypto/bignum.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

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
