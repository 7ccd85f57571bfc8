// Attitude from paired directions (Wahba's problem).
#pragma once

#include <span>

#include "error.hpp"
#include "vector.hpp"

namespace halvane {

// The proper rotation R that best carries each a[i] onto its partner b[i]
// (b[i] ~= R * a[i]), all pairs weighted equally; the vectors are used as
// given, not normalised.
//   a: camera-frame directions; b: sky directions, paired by position.
// Errors:
//   InsufficientStars{needed 2, got min(|a|, |b|)} when the lengths differ
//     or fewer than two pairs are given;
//   SingularGeometry when the pairs do not span three dimensions (smallest
//     singular value of the attitude profile matrix below 1e-9): two pairs,
//     or directions all on one great circle.
// A reflection in the data (b = -a) still yields a rotation (det +1).
// Allocates nothing: the matcher calls it once per triangle hypothesis.
Result<Mat3> solve_wahba(std::span<const Vec3> a, std::span<const Vec3> b);

}  // namespace halvane
