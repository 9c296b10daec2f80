// The fuzzer's randomness and byte-level mutations. Everything here is a pure
// function of the seed it is given, so a run can be repeated input by input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::string;

// SplitMix64: tiny, fast, and fully determined by its seed.
class Prng {
public:
    explicit Prng(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    size_t Below(size_t bound); // uniform in [0, bound); 0 for a bound of 0
    bool OneIn(size_t n) { return Below(n) == 0; }

private:
    uint64_t state_;
};

// The generator of one input: the run's seed, the target and the input's
// index mixed, so input N is the same whatever ran before it.
Prng InputPrng(uint64_t seed, std::string_view target, uint64_t index);

struct MutationSources {
    const std::vector<Bytes>& seeds;      // spliced in
    const std::vector<Bytes>& dictionary; // the target's tokens and the common ones
    size_t maxLength;
};

// Tokens every target gets: numbers at the edges of the integer types, path
// tricks, device names, encoding marks, markup characters.
const std::vector<Bytes>& CommonTokens();

// Applies a stack of mutations (mostly a few, sometimes many) to `input`.
Bytes Mutate(Bytes input, Prng& rng, const MutationSources& sources);

// FNV-1a, 64 bits: names saved inputs by content.
uint64_t Fnv1a64(std::string_view bytes);
