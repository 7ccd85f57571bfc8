#include <bit>
#include <cstdlib>

#include "support.hpp"

namespace halvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FormatFloat, ShortestRoundTripPositional) {
    const std::pair<double, const char*> cases[] = {
        {64.0, "64"}, {0.1, "0.1"},   {64.000001, "64.000001"}, {1e16, "10000000000000000"}, {-2.5, "-2.5"},
        {-0.0, "-0"}, {0.0, "0"},     {kNaN, "NaN"},            {kInf, "inf"},               {-kInf, "-inf"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_float(value), text);
    // The extremes stay positional and read back exactly.
    EXPECT_EQ(format_float(5e-324), "0." + std::string(323, '0') + "5");
    const std::string huge = format_float(std::numeric_limits<double>::max());
    EXPECT_EQ(huge.size(), 309u);
    EXPECT_EQ(std::strtod(huge.c_str(), nullptr), std::numeric_limits<double>::max());
}

TEST(FormatFloat, FixedAndExponentForms) {
    // 2.5 to no decimals rounds half to even, as printf.
    const struct { double value; int decimals; const char* text; } fixed[] = {
        {0.0001234, 6, "0.000123"}, {0.0, 6, "0.000000"}, {2.5, 0, "2"}, {kNaN, 6, "NaN"}, {-kInf, 3, "-inf"}};
    for (const auto& c : fixed) EXPECT_EQ(format_fixed(c.value, c.decimals), c.text);
    const std::pair<double, const char*> shortest[] = {
        {0.0002468, "2.468e-4"}, {1e16, "1e16"}, {-1.5e-300, "-1.5e-300"}, {0.0, "0e0"}, {kInf, "inf"}};
    for (const auto& [value, text] : shortest) EXPECT_EQ(format_exponent(value), text);
    EXPECT_EQ(format_exponent(0.0002468, 2), "2.47e-4");
    EXPECT_EQ(format_exponent(123456.0, 1), "1.2e5");
}

TEST(SaturatingCast, NaNAndOutOfRangeSaturate) {
    const std::pair<double, std::int32_t> to_int32[] = {
        {kNaN, 0},           {kInf, INT32_MAX},         {-kInf, INT32_MIN},           {2147483647.9, INT32_MAX},
        {-7.9, -7},          {2147483648.0, INT32_MAX}, {-2147483649.0, INT32_MIN},
    };
    for (const auto& [value, expected] : to_int32) EXPECT_EQ(saturating_cast<std::int32_t>(value), expected) << value;
    for (const auto& [value, expected] : {std::pair{-1.0, 0}, {65535.7, 65535}, {1e9, 65535}})
        EXPECT_EQ(saturating_cast<std::uint16_t>(value), expected) << value;
    EXPECT_EQ(saturating_cast<std::uint64_t>(1e30), UINT64_MAX);
    EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709549568.0), 18446744073709549568ULL);
    EXPECT_EQ(saturating_cast<std::int64_t>(9.3e18), INT64_MAX);
    EXPECT_EQ(saturating_cast<std::int64_t>(-9.3e18), INT64_MIN);
    EXPECT_EQ(saturating_cast<std::size_t>(kNaN), 0u);
}

TEST(NanHandling, MaxMinIgnoreNaNAndTotalOrderSortsIt) {
    EXPECT_EQ(max_ignoring_nan(kNaN, 3.0), 3.0);
    EXPECT_EQ(max_ignoring_nan(3.0, kNaN), 3.0);
    EXPECT_EQ(min_ignoring_nan(kNaN, -1.0), -1.0);
    EXPECT_TRUE(std::isnan(max_ignoring_nan(kNaN, kNaN)));

    std::vector<double> v{1.0, kNaN, -0.0, 0.0, -kInf, -kNaN, kInf};
    std::sort(v.begin(), v.end(), total_order_less);
    const double sorted[] = {-kNaN, -kInf, -0.0, 0.0, 1.0, kInf, kNaN};
    for (std::size_t i = 0; i < v.size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(v[i]), std::bit_cast<std::uint64_t>(sorted[i])) << i;
}

TEST(XorShift64Star, KnownSequenceAndZeroSeed) {
    // First outputs from seed 1, worked out by hand from the three shifts
    // and the multiplier.
    XorShift64Star g(1);
    for (std::uint64_t expected : {0x47E4CE4B896CDD1DULL, 0xABCFA6A8E079651DULL, 0xB9D10D8FEB731F57ULL,
                                   0x4DB418A0BB1B019DULL, 0x0E6199B04D5AA600ULL})
        EXPECT_EQ(g.next_u64(), expected);
    XorShift64Star zero(0), one(1);
    EXPECT_EQ(zero.next_u64(), one.next_u64());
}

TEST(XorShift64Star, UniformAndNormalConsumeFixedDraws) {
    XorShift64Star a(42), b(42);
    for (int i = 0; i < 1000; ++i) {
        const double u = a.uniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        EXPECT_EQ(u, static_cast<double>(b.next_u64() >> 11) * 0x1p-53);
    }
    XorShift64Star c(7), d(7);
    double sum = 0.0, sum_sq = 0.0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        const double x = c.normal();
        sum += x;
        sum_sq += x * x;
    }
    for (int i = 0; i < 2 * n; ++i) d.uniform();
    EXPECT_EQ(c.state(), d.state());
    EXPECT_NEAR(sum / n, 0.0, 0.05);
    EXPECT_NEAR(sum_sq / n, 1.0, 0.05);
}

}  // namespace
}  // namespace halvane
