#include "numeric.hpp"

#include <array>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace halvane {

namespace {

// Large enough for the longest positional double: 309 integer digits, or
// "0." followed by 323 zeros and 17 digits, plus sign.
using Buffer = std::array<char, 512>;

const char* non_finite_text(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

// Rewrites to_chars' exponent ("e-04", "e+16") as a bare one ("e-4", "e16").
std::string tidy_exponent(std::string_view text) {
    const auto e = text.find('e');
    if (e == std::string_view::npos) return std::string(text);
    std::string out(text.substr(0, e + 1));
    std::string_view exponent = text.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        if (exponent[0] == '-') out += '-';
        exponent.remove_prefix(1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.remove_prefix(1);
    out += exponent;
    return out;
}

}  // namespace

std::string format_float(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
    return std::string(buf.data(), r.ptr);
}

std::string format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::fixed, decimals);
    // Only a precision beyond the buffer can fail; fall back to shortest.
    if (r.ec != std::errc{}) return format_float(value);
    return std::string(buf.data(), r.ptr);
}

std::string format_exponent(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::scientific);
    return tidy_exponent(std::string_view(buf.data(), static_cast<std::size_t>(r.ptr - buf.data())));
}

std::string format_exponent(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::scientific, decimals);
    if (r.ec != std::errc{}) return format_exponent(value);
    return tidy_exponent(std::string_view(buf.data(), static_cast<std::size_t>(r.ptr - buf.data())));
}

}  // namespace halvane
