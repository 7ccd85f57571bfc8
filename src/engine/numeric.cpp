#include "numeric.hpp"

#include <array>
#include <charconv>
#include <cstdlib>
#include <optional>
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

// The digits of value in the given form, at the given precision (none: the
// shortest that reads back exactly); empty when the buffer is too short.
std::string_view digits(Buffer& buf, double value, std::chars_format form, std::optional<int> decimals) {
    const auto r = decimals ? std::to_chars(buf.data(), buf.data() + buf.size(), value, form, *decimals)
                            : std::to_chars(buf.data(), buf.data() + buf.size(), value, form);
    if (r.ec != std::errc{}) return {};
    return std::string_view(buf.data(), static_cast<std::size_t>(r.ptr - buf.data()));
}

}  // namespace

std::string format_float(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    return std::string(digits(buf, value, std::chars_format::fixed, std::nullopt));
}

std::string format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    // Only a precision beyond the buffer can fail; fall back to shortest.
    const auto text = digits(buf, value, std::chars_format::fixed, decimals);
    return text.empty() ? format_float(value) : std::string(text);
}

std::string format_exponent(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    return tidy_exponent(digits(buf, value, std::chars_format::scientific, std::nullopt));
}

std::string format_exponent(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    Buffer buf;
    const auto text = digits(buf, value, std::chars_format::scientific, decimals);
    return text.empty() ? format_exponent(value) : tidy_exponent(text);
}

}  // namespace halvane
