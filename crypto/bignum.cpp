#include "crypto/bignum.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

namespace {

using LimbVector = std::vector<uint32_t>;
constexpr uint64_t kLimbBase = uint64_t{1} << 32;

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int CompareLimbs(const LimbVector& a, const LimbVector& b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// Single-limb divisor: schoolbook division one limb at a time.
uint32_t DivideBySmall(const LimbVector& u, uint32_t v, LimbVector& quotient) {
    quotient.assign(u.size(), 0);
    uint64_t rest = 0;
    for (size_t i = u.size(); i-- > 0;) {
        uint64_t current = (rest << 32) | u[i];
        quotient[i] = static_cast<uint32_t>(current / v);
        rest = current % v;
    }
    return static_cast<uint32_t>(rest);
}

// Knuth's algorithm D (TAOCP 4.3.1) for a divisor of two limbs or more.
void DivideLong(const LimbVector& u, const LimbVector& v, LimbVector& quotient,
                LimbVector& remainder) {
    const size_t n = v.size();
    const size_t m = u.size() - n;
    const int shift = std::countl_zero(v[n - 1]);

    // Normalise so the divisor's top limb has its high bit set.
    LimbVector vn(n), un(u.size() + 1);
    for (size_t i = n; i-- > 0;) {
        uint64_t wide = (uint64_t{v[i]} << shift) | (i > 0 && shift ? v[i - 1] >> (32 - shift) : 0);
        vn[i] = static_cast<uint32_t>(wide);
    }
    un[u.size()] = shift ? u[u.size() - 1] >> (32 - shift) : 0;
    for (size_t i = u.size(); i-- > 0;)
        un[i] = (u[i] << shift) | (i > 0 && shift ? u[i - 1] >> (32 - shift) : 0);

    quotient.assign(m + 1, 0);
    for (size_t j = m + 1; j-- > 0;) {
        uint64_t top = (uint64_t{un[j + n]} << 32) | un[j + n - 1];
        uint64_t qhat = top / vn[n - 1];
        uint64_t rhat = top % vn[n - 1];
        while (qhat >= kLimbBase || qhat * vn[n - 2] > ((rhat << 32) | un[j + n - 2])) {
            --qhat;
            rhat += vn[n - 1];
            if (rhat >= kLimbBase)
                break;
        }
        // un[j..j+n] -= qhat * vn
        int64_t borrow = 0;
        for (size_t i = 0; i < n; ++i) {
            uint64_t product = qhat * vn[i];
            int64_t t = static_cast<int64_t>(un[i + j]) - borrow -
                        static_cast<int64_t>(product & 0xFFFFFFFFu);
            un[i + j] = static_cast<uint32_t>(t);
            borrow = static_cast<int64_t>(product >> 32) - (t >> 32);
        }
        int64_t t = static_cast<int64_t>(un[j + n]) - borrow;
        un[j + n] = static_cast<uint32_t>(t);
        quotient[j] = static_cast<uint32_t>(qhat);
        if (t < 0) { // qhat was one too large: add the divisor back
            --quotient[j];
            uint64_t carry = 0;
            for (size_t i = 0; i < n; ++i) {
                uint64_t sum = uint64_t{un[i + j]} + vn[i] + carry;
                un[i + j] = static_cast<uint32_t>(sum);
                carry = sum >> 32;
            }
            un[j + n] += static_cast<uint32_t>(carry);
        }
    }
    remainder.assign(n, 0);
    for (size_t i = 0; i < n; ++i)
        remainder[i] = (un[i] >> shift) | (shift ? un[i + 1] << (32 - shift) : 0);
}

// Montgomery arithmetic modulo an odd n of k limbs, with R = 2^(32k).
class Montgomery {
public:
    explicit Montgomery(const BigUint& modulus)
        : modulus_(modulus), n_(modulus.Limbs()), k_(n_.size()) {
        // Newton iteration for n[0]^-1 mod 2^32; each step doubles the correct bits.
        uint32_t inverse = n_[0];
        for (int i = 0; i < 5; ++i)
            inverse *= 2u - n_[0] * inverse;
        n0inv_ = 0u - inverse;
    }

    LimbVector ToMontgomery(const BigUint& value) const {
        return Padded((value << (32 * k_)) % modulus_);
    }

    BigUint FromMontgomery(const LimbVector& value) const {
        LimbVector one(k_, 0);
        one[0] = 1;
        return BigUint::FromLimbs(Multiply(value, one));
    }

    // a * b * R^-1 mod n (coarsely integrated operand scanning).
    LimbVector Multiply(const LimbVector& a, const LimbVector& b) const {
        LimbVector t(k_ + 2, 0);
        for (size_t i = 0; i < k_; ++i) {
            uint64_t carry = 0;
            for (size_t j = 0; j < k_; ++j) {
                uint64_t sum = uint64_t{t[j]} + uint64_t{a[j]} * b[i] + carry;
                t[j] = static_cast<uint32_t>(sum);
                carry = sum >> 32;
            }
            uint64_t sum = uint64_t{t[k_]} + carry;
            t[k_] = static_cast<uint32_t>(sum);
            t[k_ + 1] = static_cast<uint32_t>(sum >> 32);

            uint32_t m = t[0] * n0inv_;
            sum = uint64_t{t[0]} + uint64_t{m} * n_[0];
            carry = sum >> 32;
            for (size_t j = 1; j < k_; ++j) {
                sum = uint64_t{t[j]} + uint64_t{m} * n_[j] + carry;
                t[j - 1] = static_cast<uint32_t>(sum);
                carry = sum >> 32;
            }
            sum = uint64_t{t[k_]} + carry;
            t[k_ - 1] = static_cast<uint32_t>(sum);
            t[k_] = t[k_ + 1] + static_cast<uint32_t>(sum >> 32);
        }
        // t < 2n here: one conditional subtraction brings it below n.
        LimbVector result(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k_));
        if (t[k_] != 0 || !LessThanModulus(result)) {
            int64_t borrow = 0;
            for (size_t j = 0; j < k_; ++j) {
                int64_t diff = static_cast<int64_t>(result[j]) - n_[j] - borrow;
                result[j] = static_cast<uint32_t>(diff);
                borrow = diff < 0 ? 1 : 0;
            }
        }
        return result;
    }

private:
    LimbVector Padded(const BigUint& value) const {
        LimbVector out = value.Limbs();
        out.resize(k_, 0);
        return out;
    }

    bool LessThanModulus(const LimbVector& value) const {
        for (size_t i = k_; i-- > 0;) {
            if (value[i] != n_[i])
                return value[i] < n_[i];
        }
        return false;
    }

    const BigUint& modulus_;
    const LimbVector& n_;
    size_t k_;
    uint32_t n0inv_;
};

BigUint ModPowPlain(BigUint base, const BigUint& exponent, const BigUint& modulus) {
    BigUint result(1);
    for (size_t bit = exponent.BitLength(); bit-- > 0;) {
        result = result * result % modulus;
        if (exponent.TestBit(bit))
            result = result * base % modulus;
    }
    return result;
}

BigUint ModPowMontgomery(const BigUint& base, const BigUint& exponent, const BigUint& modulus) {
    Montgomery mont(modulus);
    LimbVector x = mont.ToMontgomery(base);
    LimbVector result = x;
    // The top bit of the exponent is consumed by starting from x itself.
    for (size_t bit = exponent.BitLength() - 1; bit-- > 0;) {
        result = mont.Multiply(result, result);
        if (exponent.TestBit(bit))
            result = mont.Multiply(result, x);
    }
    return mont.FromMontgomery(result);
}

} // namespace

BigUint::BigUint(uint64_t value) {
    if (value != 0)
        limbs_.push_back(static_cast<uint32_t>(value));
    if (value >> 32)
        limbs_.push_back(static_cast<uint32_t>(value >> 32));
}

BigUint BigUint::FromLimbs(std::vector<uint32_t> leastSignificantFirst) {
    BigUint value;
    value.limbs_ = std::move(leastSignificantFirst);
    value.Normalize();
    return value;
}

void BigUint::Normalize() {
    while (!limbs_.empty() && limbs_.back() == 0)
        limbs_.pop_back();
}

std::optional<BigUint> BigUint::FromHex(std::string_view hex) {
    if (hex.empty())
        return std::nullopt;
    LimbVector limbs((hex.size() + 7) / 8, 0);
    size_t nibble = 0;
    for (size_t i = hex.size(); i-- > 0; ++nibble) {
        int value = HexDigitValue(hex[i]);
        if (value < 0)
            return std::nullopt;
        limbs[nibble / 8] |= static_cast<uint32_t>(value) << (4 * (nibble % 8));
    }
    return BigUint::FromLimbs(std::move(limbs));
}

BigUint BigUint::FromBytes(std::string_view bigEndian) {
    LimbVector limbs((bigEndian.size() + 3) / 4, 0);
    size_t index = 0;
    for (size_t i = bigEndian.size(); i-- > 0; ++index)
        limbs[index / 4] |= uint32_t{static_cast<uint8_t>(bigEndian[i])} << (8 * (index % 4));
    return BigUint::FromLimbs(std::move(limbs));
}

std::string BigUint::ToHex() const {
    if (IsZero())
        return "0";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = limbs_.size(); i-- > 0;) {
        for (int shift = 28; shift >= 0; shift -= 4)
            out.push_back(kDigits[(limbs_[i] >> shift) & 0xF]);
    }
    return out.substr(out.find_first_not_of('0'));
}

std::string BigUint::ToBytes() const {
    std::string out;
    for (size_t i = limbs_.size(); i-- > 0;) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>((limbs_[i] >> shift) & 0xFF));
    }
    size_t first = out.find_first_not_of('\0');
    return first == std::string::npos ? std::string() : out.substr(first);
}

size_t BigUint::BitLength() const {
    if (IsZero())
        return 0;
    return 32 * limbs_.size() - static_cast<size_t>(std::countl_zero(limbs_.back()));
}

bool BigUint::TestBit(size_t bit) const {
    size_t limb = bit / 32;
    return limb < limbs_.size() && ((limbs_[limb] >> (bit % 32)) & 1u) != 0;
}

uint32_t BigUint::ModSmall(uint32_t divisor) const {
    uint64_t rest = 0;
    for (size_t i = limbs_.size(); i-- > 0;)
        rest = ((rest << 32) | limbs_[i]) % divisor;
    return static_cast<uint32_t>(rest);
}

std::strong_ordering operator<=>(const BigUint& a, const BigUint& b) {
    return CompareLimbs(a.limbs_, b.limbs_) <=> 0;
}

BigUint operator+(const BigUint& a, const BigUint& b) {
    const LimbVector& longer = a.limbs_.size() >= b.limbs_.size() ? a.limbs_ : b.limbs_;
    const LimbVector& shorter = a.limbs_.size() >= b.limbs_.size() ? b.limbs_ : a.limbs_;
    LimbVector sum(longer.size() + 1, 0);
    uint64_t carry = 0;
    for (size_t i = 0; i < longer.size(); ++i) {
        uint64_t s = uint64_t{longer[i]} + (i < shorter.size() ? shorter[i] : 0) + carry;
        sum[i] = static_cast<uint32_t>(s);
        carry = s >> 32;
    }
    sum[longer.size()] = static_cast<uint32_t>(carry);
    return BigUint::FromLimbs(std::move(sum));
}

BigUint operator-(const BigUint& a, const BigUint& b) {
    if (a < b)
        throw std::underflow_error("BigUint subtraction below zero");
    LimbVector difference(a.limbs_.size(), 0);
    int64_t borrow = 0;
    for (size_t i = 0; i < a.limbs_.size(); ++i) {
        int64_t d = static_cast<int64_t>(a.limbs_[i]) -
                    (i < b.limbs_.size() ? static_cast<int64_t>(b.limbs_[i]) : 0) - borrow;
        difference[i] = static_cast<uint32_t>(d);
        borrow = d < 0 ? 1 : 0;
    }
    return BigUint::FromLimbs(std::move(difference));
}

BigUint operator*(const BigUint& a, const BigUint& b) {
    if (a.IsZero() || b.IsZero())
        return BigUint();
    LimbVector product(a.limbs_.size() + b.limbs_.size(), 0);
    for (size_t i = 0; i < a.limbs_.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.limbs_.size(); ++j) {
            uint64_t p = uint64_t{a.limbs_[i]} * b.limbs_[j] + product[i + j] + carry;
            product[i + j] = static_cast<uint32_t>(p);
            carry = p >> 32;
        }
        product[i + b.limbs_.size()] = static_cast<uint32_t>(carry);
    }
    return BigUint::FromLimbs(std::move(product));
}

void BigUint::DivMod(const BigUint& a, const BigUint& b, BigUint& quotient, BigUint& remainder) {
    if (b.IsZero())
        throw std::domain_error("BigUint division by zero");
    if (a < b) {
        remainder = a;
        quotient = BigUint();
        return;
    }
    LimbVector q, r;
    if (b.limbs_.size() == 1) {
        r.push_back(DivideBySmall(a.limbs_, b.limbs_[0], q));
    } else {
        DivideLong(a.limbs_, b.limbs_, q, r);
    }
    quotient = BigUint::FromLimbs(std::move(q));
    remainder = BigUint::FromLimbs(std::move(r));
}

BigUint operator/(const BigUint& a, const BigUint& b) {
    BigUint q, r;
    BigUint::DivMod(a, b, q, r);
    return q;
}

BigUint operator%(const BigUint& a, const BigUint& b) {
    BigUint q, r;
    BigUint::DivMod(a, b, q, r);
    return r;
}

BigUint BigUint::operator<<(size_t bits) const {
    if (IsZero())
        return *this;
    size_t limbShift = bits / 32;
    unsigned bitShift = bits % 32;
    LimbVector out(limbs_.size() + limbShift + 1, 0);
    for (size_t i = 0; i < limbs_.size(); ++i) {
        out[i + limbShift] |= limbs_[i] << bitShift;
        if (bitShift)
            out[i + limbShift + 1] |= limbs_[i] >> (32 - bitShift);
    }
    return BigUint::FromLimbs(std::move(out));
}

BigUint BigUint::operator>>(size_t bits) const {
    size_t limbShift = bits / 32;
    unsigned bitShift = bits % 32;
    if (limbShift >= limbs_.size())
        return BigUint();
    LimbVector out(limbs_.size() - limbShift, 0);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = limbs_[i + limbShift] >> bitShift;
        if (bitShift && i + limbShift + 1 < limbs_.size())
            out[i] |= limbs_[i + limbShift + 1] << (32 - bitShift);
    }
    return BigUint::FromLimbs(std::move(out));
}

BigUint ModPow(const BigUint& base, const BigUint& exponent, const BigUint& modulus) {
    if (modulus.IsZero())
        throw std::domain_error("ModPow with a zero modulus");
    if (modulus == BigUint(1))
        return BigUint();
    if (exponent.IsZero())
        return BigUint(1);
    BigUint reduced = base % modulus;
    if (modulus.IsOdd())
        return ModPowMontgomery(reduced, exponent, modulus);
    return ModPowPlain(reduced, exponent, modulus);
}
