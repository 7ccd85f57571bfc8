// Plain 3-vectors and 3x3 matrices (row-major) with the few operations the
// engine needs. Heavier 3x3 algebra (decompositions, quaternions) uses Eigen.
#pragma once

#include <array>
#include <cmath>

namespace halvane {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;

inline constexpr double dot(const Vec3& a, const Vec3& b) noexcept {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline constexpr Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double norm(const Vec3& a) noexcept { return std::sqrt(dot(a, a)); }

inline constexpr Vec3 scaled(const Vec3& a, double s) noexcept { return {a[0] * s, a[1] * s, a[2] * s}; }

inline constexpr Vec3 operator+(const Vec3& a, const Vec3& b) noexcept {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

inline constexpr Vec3 operator-(const Vec3& a, const Vec3& b) noexcept {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

// a / |a|; a zero or non-finite vector gives non-finite components, which
// callers that care test with std::isfinite.
inline Vec3 normalized(const Vec3& a) noexcept { return scaled(a, 1.0 / norm(a)); }

// Angle between unit vectors: acos of the dot product clamped to [-1, 1].
inline double angle_between(const Vec3& a, const Vec3& b) noexcept {
    const double c = dot(a, b);
    return std::acos(c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c));
}

inline constexpr Vec3 operator*(const Mat3& m, const Vec3& v) noexcept {
    return {dot(m[0], v), dot(m[1], v), dot(m[2], v)};
}

inline constexpr Mat3 transposed(const Mat3& m) noexcept {
    return {{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}}};
}

inline constexpr Mat3 operator*(const Mat3& a, const Mat3& b) noexcept {
    Mat3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
    return out;
}

inline constexpr Mat3 identity3() noexcept { return {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}; }

}  // namespace halvane
