// Fast writers for the two ways the program prints a float (an amount of
// the nuke log): "%.0f" and "%.17g" of its value as a double, byte for byte
// what std::to_chars writes for them. A million amounts through to_chars
// cost more than reading the log; these take the common values by integer
// arithmetic and leave the rest to to_chars. Each writes at most 64 bytes
// at p (and may write past the end of the text, within those 64 bytes) and
// returns the end.
#ifndef SITEKIT_APP_FLOATTEXT_H
#define SITEKIT_APP_FLOATTEXT_H

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace sk::cli {

// "%.0f": the nearest whole number, a half to the even one, "-0" for a
// negative value that rounds to zero. From 2^52 on, NaN and infinity go
// through to_chars.
inline char *put_float_whole(char *p, float amount) {
    auto value = static_cast<double>(amount);
    double size = std::fabs(value);
    if (!(size < 0x1p52))
        return std::to_chars(p, p + 64, value, std::chars_format::fixed, 0).ptr;
    // Below 2^52, adding 2^52 rounds to a whole number as the FPU rounds: to
    // the nearest, a half to the even one. volatile keeps the compiler from
    // folding the two steps.
    volatile double sum = size + 0x1p52;
    auto whole = static_cast<uint64_t>(sum - 0x1p52);
    if (std::signbit(value))
        *p++ = '-';
    return std::to_chars(p, p + 24, whole).ptr;
}

namespace floattext {

__extension__ typedef unsigned __int128 u128; // GCC and Clang; marked so -Wpedantic accepts it

template <unsigned Base, std::size_t N> constexpr std::array<u128, N> powers() {
    std::array<u128, N> t{};
    t[0] = 1;
    for (std::size_t i = 1; i < N; ++i)
        t[i] = t[i - 1] * Base;
    return t;
}
inline constexpr auto kPow5 = powers<5, 45>();   // up to 5^44 < 2^103
inline constexpr auto kPow10 = powers<10, 39>(); // up to 10^38 < 2^128

// The number of decimal digits of n > 0.
inline int digits(u128 n) {
    auto high = static_cast<uint64_t>(n >> 64);
    int bits = high ? 128 - std::countl_zero(high) : 64 - std::countl_zero(static_cast<uint64_t>(n));
    int t = bits * 1233 >> 12; // about bits * log10(2)
    return t + (n >= kPow10[static_cast<std::size_t>(t)] ? 1 : 0);
}

// "00" to "99", for writing two digits at a time.
inline constexpr auto kPairs = [] {
    std::array<char, 200> t{};
    for (std::size_t i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

// The 8 digits of v < 10^8 at p, leading zeros included.
inline void put_8_digits(char *p, uint32_t v) {
    uint32_t high = v / 10000, low = v % 10000;
    auto pair = [](uint32_t two) { return &kPairs[std::size_t{two} * 2]; };
    std::memcpy(p, pair(high / 100), 2);
    std::memcpy(p + 2, pair(high % 100), 2);
    std::memcpy(p + 4, pair(low / 100), 2);
    std::memcpy(p + 6, pair(low % 100), 2);
}

// The 17 digits of v < 10^17 at p, leading zeros included: three parts
// without a chain of divisions from one to the next.
inline void put_17_digits(char *p, uint64_t v) {
    auto top = static_cast<uint32_t>(v / 10000000000000000);
    auto middle = static_cast<uint32_t>(v / 100000000 % 100000000);
    auto bottom = static_cast<uint32_t>(v % 100000000);
    p[0] = static_cast<char>('0' + top);
    put_8_digits(p + 1, middle);
    put_8_digits(p + 9, bottom);
}

} // namespace floattext

// "%.17g": 17 significant digits of the exact value, correctly rounded, a
// tie to the even digit, trailing zeros of the fraction dropped. Normal
// values from 1e-4 to below 1e17 are done here: the value is m / 10^k
// exactly, with m below 2^128; the rest go through to_chars.
inline char *put_float_17g(char *p, float amount) {
    using namespace floattext;
    auto slow = [&] {
        return std::to_chars(p, p + 64, static_cast<double>(amount), std::chars_format::general, 17).ptr;
    };
    auto bits = std::bit_cast<uint32_t>(amount);
    int biased = static_cast<int>(bits >> 23 & 0xff);
    if (biased == 0 || biased == 0xff) // zero, subnormal, infinity, NaN
        return slow();
    uint32_t mantissa = (bits & 0x7fffff) | 0x800000;
    int exponent = biased - 150; // the value is mantissa * 2^exponent
    int shift = std::min(std::countr_zero(mantissa), std::max(-exponent, 0));
    mantissa >>= shift;
    exponent += shift;
    u128 n = 0; // the value is n / 10^k
    int k = 0;
    if (exponent >= 0) {
        if (exponent > 39)
            return slow();
        n = static_cast<u128>(mantissa) << exponent;
    } else {
        k = -exponent;
        if (k > 44)
            return slow();
        n = mantissa * kPow5[static_cast<std::size_t>(k)];
    }
    int count = digits(n);
    int point = count - 1 - k; // the decimal exponent of the first digit
    uint64_t kept = 0;         // the significant digits, at most 17
    int length = count;        // how many
    if (count > 17) {
        // n / 10^d is mantissa * 5^(k - d) / 2^d (d <= k as point <= 16):
        // a shift instead of a division.
        int d = count - 17;
        if (point >= 17)
            return slow();
        u128 t = mantissa * kPow5[static_cast<std::size_t>(k - d)];
        u128 q = t >> d, rest = t & ((static_cast<u128>(1) << d) - 1), half = static_cast<u128>(1) << (d - 1);
        if (rest > half || (rest == half && (q & 1) != 0))
            ++q;
        if (q == kPow10[17]) {
            q = kPow10[16];
            ++point;
        }
        kept = static_cast<uint64_t>(q);
        length = 17;
    } else {
        kept = static_cast<uint64_t>(n);
    }
    if (point >= 17 || point < -4)
        return slow();
    // Fixed-size copies of 17 bytes (the caller's 64 bytes hold them) are
    // cheaper than copies of the exact lengths; the buffer is long enough
    // to be read 17 bytes past any digit.
    char digits17[40] = {};
    put_17_digits(digits17, kept);
    const char *digit = digits17 + 17 - length;
    char *out = p;
    if (bits >> 31)
        *out++ = '-';
    if (point < 0) {
        int lead = 1 - point; // "0." and the zeros before the first digit
        constexpr char kLead[] = {'0', '.', '0', '0', '0', '0'};
        std::memcpy(out, kLead, sizeof kLead);
        out += lead;
        while (length > 0 && digit[length - 1] == '0')
            --length;
        std::memcpy(out, digit, 17);
        return out + length;
    }
    // The whole part is all there: length >= point + 1.
    int whole = point + 1;
    std::memcpy(out, digit, 17);
    out += whole;
    while (length > whole && digit[length - 1] == '0')
        --length;
    if (length > whole) {
        *out++ = '.';
        std::memcpy(out, digit + whole, 17);
        out += length - whole;
    }
    return out;
}

} // namespace sk::cli

#endif
