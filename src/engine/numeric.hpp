// Shared numeric helpers: unit constants, float text, saturating casts,
// NaN-ignoring min/max, IEEE total order and the engine's random generator.
//
// Every engine module formats floats and converts floats to integers only
// through these, so that one rule set holds everywhere: a float-to-integer
// conversion saturates (NaN gives 0), max/min ignore a NaN operand, and
// "total order" means IEEE totalOrder.
#pragma once

#include <cmath>
#include <compare>
#include <concepts>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace halvane {

// A function compiled twice, for AVX2 and for any x86-64, the loader picking
// the build the processor runs. The arithmetic is the same in both (no fused
// multiply-add), so the results are too. Only on functions whose every
// declaration and use sit in one file: clang refuses a function that turns
// multiversioned after a use, g++ fails to link clones declared elsewhere.
#define HALVANE_AVX2_CLONES __attribute__((target_clones("avx2", "default")))

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kTwoPi = 6.283185307179586;
// Arcminutes to radians and back, in the one evaluation order every caller
// shares (so results agree to the bit).
constexpr double arcmin_to_rad(double arcmin) noexcept { return arcmin / 60.0 * kDegToRad; }
constexpr double rad_to_arcmin(double radians) noexcept { return radians * kRadToDeg * 60.0; }
// One nautical mile is one arcminute of great circle.
inline constexpr double kNmPerRad = 3437.746770784939;

// Thrown where a requested buffer cannot even be addressed (its size
// overflows): a bad_alloc, so it ends the call as out-of-memory does, but
// with a text that says which size was asked for.
class SizeOverflow : public std::bad_alloc {
public:
    explicit SizeOverflow(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Shortest decimal text that reads back to the same double, positional
// (never exponent) form, no trailing ".0": 64 -> "64", 0.1 -> "0.1",
// 1e16 -> "10000000000000000", -0.0 -> "-0"; NaN -> "NaN", infinities
// "inf" and "-inf".
std::string format_float(double value);

// Positional text with exactly `decimals` digits after the point
// (0.0001234, 6 -> "0.000123"); NaN and infinities as format_float.
std::string format_fixed(double value, int decimals);

// Exponent form with the shortest round-trip mantissa and a bare exponent:
// 0.0002468 -> "2.468e-4", 1e16 -> "1e16", 0 -> "0e0".
std::string format_exponent(double value);

// Exponent form with exactly `decimals` mantissa digits after the point:
// (0.0002468, 2) -> "2.47e-4".
std::string format_exponent(double value, int decimals);

// Float to integer, saturating: NaN gives 0, values beyond the target range
// give its minimum or maximum, everything else truncates toward zero.
template <std::integral Int>
constexpr Int saturating_cast(double value) noexcept {
    using Limits = std::numeric_limits<Int>;
    if (std::isnan(value)) return 0;
    // Both bounds are powers of two (or 0), so these doubles are exact and
    // every value strictly between them truncates into range.
    constexpr double lowest = static_cast<double>(Limits::min());
    constexpr double above_max = static_cast<double>(Limits::max() / 2 + 1) * 2.0;
    if (value <= lowest) return Limits::min();
    if (value >= above_max) return Limits::max();
    return static_cast<Int>(value);
}

// max/min of two doubles that ignore a NaN operand (NaN only when both are).
inline double max_ignoring_nan(double a, double b) noexcept { return std::fmax(a, b); }
inline double min_ignoring_nan(double a, double b) noexcept { return std::fmin(a, b); }

// x clamped into [-1, 1], the domain of asin and acos; NaN stays NaN.
inline constexpr double clamp_unit(double x) noexcept { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); }

// IEEE totalOrder: -NaN < -inf < ... < -0 < +0 < ... < inf < +NaN.
inline std::strong_ordering total_order(double a, double b) noexcept {
    return std::strong_order(a, b);
}
inline bool total_order_less(double a, double b) noexcept { return total_order(a, b) < 0; }

// The engine's only source of randomness: xorshift64* with fixed shifts
// (12, 25, 27) and output multiplier 0x2545F4914F6CDD1D. A zero seed would
// stay zero forever, so it is taken as 1.
class XorShift64Star {
public:
    explicit constexpr XorShift64Star(std::uint64_t seed) noexcept : state_(seed == 0 ? 1 : seed) {}

    // One step; returns state * multiplier modulo 2^64.
    constexpr std::uint64_t next_u64() noexcept {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }

    // Uniform in [0, 1): the top 53 bits of one output times 2^-53.
    constexpr double uniform() noexcept {
        return static_cast<double>(next_u64() >> 11) * 1.1102230246251565e-16;
    }

    // Standard normal by Box-Muller, cosine branch only: always exactly
    // two uniforms per draw, so draw counts stay predictable.
    double normal() noexcept {
        const double u1 = std::fmax(uniform(), 2.2250738585072014e-308);
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
    }

    constexpr std::uint64_t state() const noexcept { return state_; }

private:
    std::uint64_t state_;
};

}  // namespace halvane
