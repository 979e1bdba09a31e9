// The fast float writers against to_chars, which the JSON and text output
// used before: they must write the same bytes.
#include "floattext.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::string whole(float f) {
    char buf[80];
    return {buf, sk::cli::put_float_whole(buf, f)};
}
std::string g17(float f) {
    char buf[80];
    return {buf, sk::cli::put_float_17g(buf, f)};
}
std::string expected(float f, std::chars_format format, int precision) {
    char buf[80];
    return {buf, std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), format, precision).ptr};
}

TEST(FloatText, WritesWhatToCharsWrites) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> values = {0.0f,    -0.0f,
                                 0.5f,    1.5f,
                                 2.5f,    -0.5f,
                                 -2.5f,   0.1f,
                                 1234.3f, 16777215.0f,
                                 0x1p52f, 0x1p53f,
                                 1e17f,   99999998430674944.0f,
                                 1e-4f,   9.9999e-5f,
                                 1e-5f,   3.4028235e38f,
                                 1e-45f,  inf,
                                 -inf,    std::numeric_limits<float>::quiet_NaN()};
    // Halves up to 2^24 and a spread of every kind of bit pattern.
    for (int i = 0; i < 48; ++i)
        values.push_back(std::ldexp(1.5f, i - 24));
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i)
        values.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
    for (float f : values) {
        ASSERT_EQ(whole(f), expected(f, std::chars_format::fixed, 0)) << std::bit_cast<uint32_t>(f);
        ASSERT_EQ(g17(f), expected(f, std::chars_format::general, 17)) << std::bit_cast<uint32_t>(f);
    }
}

} // namespace
