#include "tests/fuzz/mutator.h"

#include <algorithm>

uint64_t Prng::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

size_t Prng::Below(size_t bound) {
    return bound == 0 ? 0 : static_cast<size_t>(Next() % bound);
}

uint64_t Fnv1a64(std::string_view bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char c : bytes) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

Prng InputPrng(uint64_t seed, std::string_view target, uint64_t index) {
    Prng mixer(seed ^ Fnv1a64(target));
    uint64_t base = mixer.Next();
    return Prng(base ^ (index * 0xD1B54A32D192ED03ull));
}

const std::vector<Bytes>& CommonTokens() {
    static const std::vector<Bytes> tokens = {
        "0", "-1", "1", "127", "128", "255", "256", "65535", "65536", "2147483647", "2147483648",
        "-2147483648", "-2147483649", "4294967295", "4294967296", "9223372036854775807",
        "18446744073709551615", "18446744073709551616", "99999999999999999999999999999999",
        "0x", "0xFFFFFFFF", "1e309", "000000000000000000000001", "+", "-",
        "..", ".", "\\", "/", "..\\", "../", "\\\\", ":", "=", ",", ";", "\"", "'", "&", "%s%n",
        "CON", "AUX", "NUL", "PRN", "COM1", "LPT9", "CONIN$", "nul.txt", "\\\\?\\", "\\\\.\\",
        "\\\\server\\share\\", "C:\\", "C:", "a:b", "*", "?", "|",
        std::string("\0", 1), "\r\n", "\n", "\t", " ", "\xEF\xBB\xBF", "\xFF\xFE",
        std::string("\0\0\xFF\xFE", 4), "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
        "\xE4\xB8\xAD", "\x81\x30\x81\x30",
        "<", ">", "</", "/>", "<?xml version=\"1.0\"?>",
        "<?xml version=\"1.0\" encoding=\"gbk\"?>", "<![CDATA[", "]]>", "<!--", "-->",
        "<!DOCTYPE a [<!ENTITY e \"xxxxxxxxxxxxxxxx\">]>", "&e;", "&amp;", "&quot;", "&lt;",
        "&#0;", "&#13;", "&#xD800;", "&#x10FFFF;", "&#65535;"};
    return tokens;
}

namespace {

// Lengths skewed towards short: most mutations touch a few bytes.
size_t ChunkLength(Prng& rng, size_t limit) {
    if (limit == 0)
        return 0;
    size_t cap = rng.OneIn(4) ? limit : std::min<size_t>(limit, 16);
    return 1 + rng.Below(cap);
}

const Bytes& Pick(const std::vector<Bytes>& list, Prng& rng) {
    return list[rng.Below(list.size())];
}

const Bytes& PickToken(const MutationSources& sources, Prng& rng) {
    const std::vector<Bytes>& common = CommonTokens();
    if (sources.dictionary.empty() || rng.OneIn(3))
        return Pick(common, rng);
    return Pick(sources.dictionary, rng);
}

void MutateOnce(Bytes& data, Prng& rng, const MutationSources& sources) {
    static const char kInteresting[] = {'\0', '\x01', '\x7F', '\x80', '\xFF', '<',  '>', '"', '\'',
                                        '&',  '=',    ',',    '.',    '\\',   '/',  ':', '\n', '\r',
                                        ' ',  '\t',   '0',    '9',    'x',    '-'};
    switch (rng.Below(15)) {
    case 0: // flip a bit
        if (!data.empty())
            data[rng.Below(data.size())] ^= static_cast<char>(1u << rng.Below(8));
        break;
    case 1: // a random byte
        if (!data.empty())
            data[rng.Below(data.size())] = static_cast<char>(rng.Next());
        break;
    case 2: // an interesting byte
        if (!data.empty())
            data[rng.Below(data.size())] = kInteresting[rng.Below(sizeof kInteresting)];
        break;
    case 3: { // insert random bytes
        size_t count = 1 + rng.Below(8);
        Bytes inserted;
        for (size_t i = 0; i < count; ++i)
            inserted.push_back(static_cast<char>(rng.Next()));
        data.insert(rng.Below(data.size() + 1), inserted);
        break;
    }
    case 4: { // delete a chunk
        if (data.empty())
            break;
        size_t at = rng.Below(data.size());
        data.erase(at, ChunkLength(rng, data.size() - at));
        break;
    }
    case 5: { // duplicate a chunk, sometimes many times over (deep nesting, long runs)
        if (data.empty())
            break;
        size_t at = rng.Below(data.size());
        Bytes chunk = data.substr(at, ChunkLength(rng, data.size() - at));
        size_t times = rng.OneIn(8) ? 1 + rng.Below(512) : 1;
        Bytes repeated;
        for (size_t i = 0; i < times && repeated.size() < sources.maxLength; ++i)
            repeated += chunk;
        data.insert(rng.Below(data.size() + 1), repeated);
        break;
    }
    case 6: { // copy a chunk over another place
        if (data.size() < 2)
            break;
        size_t from = rng.Below(data.size());
        Bytes chunk = data.substr(from, ChunkLength(rng, data.size() - from));
        size_t to = rng.Below(data.size());
        data.replace(to, std::min(chunk.size(), data.size() - to), chunk);
        break;
    }
    case 7: // insert a token
        data.insert(rng.Below(data.size() + 1), PickToken(sources, rng));
        break;
    case 8: { // overwrite with a token
        const Bytes& token = PickToken(sources, rng);
        size_t at = rng.Below(data.size() + 1);
        data.replace(at, std::min(token.size(), data.size() - at), token);
        break;
    }
    case 9: { // splice: this input's head, another seed's tail
        const Bytes& other = Pick(sources.seeds, rng);
        size_t head = rng.Below(data.size() + 1);
        size_t tail = rng.Below(other.size() + 1);
        data = data.substr(0, head) + other.substr(tail);
        break;
    }
    case 10: { // insert a chunk of another seed
        const Bytes& other = Pick(sources.seeds, rng);
        if (other.empty())
            break;
        size_t at = rng.Below(other.size());
        data.insert(rng.Below(data.size() + 1),
                    other.substr(at, ChunkLength(rng, other.size() - at)));
        break;
    }
    case 11: { // replace a number by an edge value
        size_t start = data.find_first_of("0123456789", rng.Below(data.size() + 1));
        if (start == Bytes::npos)
            start = data.find_first_of("0123456789");
        if (start == Bytes::npos)
            break;
        size_t end = data.find_first_not_of("0123456789", start);
        if (end == Bytes::npos)
            end = data.size();
        static const char* const kNumbers[] = {"0",          "-1",          "2147483647",
                                               "2147483648", "-2147483649", "4294967296",
                                               "99999999999999999999999", "00000000001", "1.2.3.4.5"};
        data.replace(start, end - start, kNumbers[rng.Below(std::size(kNumbers))]);
        break;
    }
    case 12: // cut the tail
        if (!data.empty())
            data.resize(rng.Below(data.size()));
        break;
    case 13: { // a quoted value (an attribute's) becomes a token: the markup stays whole
        size_t open = data.find_first_of("\"'", rng.Below(data.size() + 1));
        if (open == Bytes::npos)
            break;
        size_t close = data.find(data[open], open + 1);
        if (close == Bytes::npos)
            break;
        data.replace(open + 1, close - open - 1, PickToken(sources, rng));
        break;
    }
    default: { // an empty element ("<item .../>") again beside itself
        size_t open = data.find('<', rng.Below(data.size() + 1));
        if (open == Bytes::npos)
            open = data.find('<');
        size_t close = open == Bytes::npos ? Bytes::npos : data.find("/>", open);
        if (close == Bytes::npos || data.find('<', open + 1) < close)
            break;
        Bytes element = data.substr(open, close + 2 - open);
        size_t times = rng.OneIn(4) ? 1 + rng.Below(256) : 1;
        Bytes repeated;
        for (size_t i = 0; i < times && repeated.size() < sources.maxLength; ++i)
            repeated += element;
        data.insert(close + 2, repeated);
        break;
    }
    }
}

} // namespace

Bytes Mutate(Bytes input, Prng& rng, const MutationSources& sources) {
    const Bytes original = input;
    // 1, 2, 4 ... 16 mutations, the small stacks far more often; again when
    // they happened to give the input back.
    for (int attempt = 0; attempt < 4 && input == original; ++attempt) {
        size_t stack = size_t{1} << rng.Below(5);
        stack = 1 + rng.Below(stack);
        for (size_t i = 0; i < stack; ++i) {
            MutateOnce(input, rng, sources);
            if (input.size() > sources.maxLength)
                input.resize(sources.maxLength);
        }
    }
    return input;
}
