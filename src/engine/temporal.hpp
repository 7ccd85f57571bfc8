// Frame sequences of a camera standing still on the ground: which detections
// are real stars, judged by the sky's turn about the pole between frames,
// and the fix built from those.
//
// Between two exposures the whole sky turns about the celestial pole at the
// sidereal rate, so every real star of the middle frame reappears in each
// other frame where one rotation about one common axis puts it; a hot pixel
// or a noise peak does not. The rotation angle of each frame comes from the
// timestamps alone; the axis (the pole in the camera frame) is found from
// the data, so nothing about the observer's place is assumed. A moving
// platform breaks the premise and is out of scope.
#pragma once

#include <span>
#include <vector>

#include "catalog.hpp"
#include "centroid.hpp"
#include "error.hpp"
#include "fix.hpp"
#include "matched_filter.hpp"
#include "plate.hpp"
#include "vector.hpp"

namespace halvane {

// Rotation of the sky, radians per second of time.
inline constexpr double kSiderealRateRadPerS = 7.292115855300805e-5;

struct SiderealVerification {
    // Unit rotation axis in the camera frame, signed so that a right-handed
    // rotation by a frame's angle carries the middle frame onto that frame;
    // a frame's angle is (t - t_mid) * -kSiderealRateRadPerS seconds, so
    // for a real sky this is the north celestial pole.
    Vec3 axis{};
    // The middle frame's detections confirmed in every other frame, in the
    // middle frame's order, copied unchanged.
    std::vector<Centroid> confirmed;
};

// Confirms the middle frame's detections by the sidereal rotation.
//
// detections: one list per frame, chronological (an odd count of at least
//             3); within a frame any order, usually brightest first. The
//             middle frame (index count / 2) is the one confirmed.
// camera:     the one lens model of the whole sequence.
// times_jd:   Julian Date (UT) of each frame, strictly increasing.
// tolerance:  radians; a detection within this angle of where the rotation
//             puts a candidate counts as the same star.
//
// The axis is estimated by random sample consensus over pairs of putative
// matches (every detection of another frame within the frame's rotation
// angle plus 3 tolerances of a candidate): up to 256 draws from the
// engine's xorshift64* generator, seeded with the same constant on every
// call, so the result is deterministic. An axis's support is the number of
// (candidate, other frame) pairs with a match within `tolerance` of the
// prediction; the first axis to reach the best support keeps it.
//
// Errors, in this order:
//   BadImage "detections has {N} frames but times_jd has {M}";
//   BadImage "need an odd number of frames >= 3, got {N}";
//   BadImage "times_jd must be strictly increasing";
//   BadImage "frames too closely spaced for temporal verification at this
//     tolerance: ..." when the smallest rotation to the middle frame is
//     below 1.5 tolerances (the text gives both in exponent form, 2.468e-4,
//     and their ratio with two decimals);
//   InsufficientStars{8, 0} when the middle frame is empty or fewer than 2
//     putative matches exist;
//   InsufficientStars{8, support} when the best axis has support below 8;
//   InsufficientStars{5, confirmed} when fewer than 5 candidates are
//     confirmed in every other frame.
Result<SiderealVerification> verify_sidereal(std::span<const std::vector<Centroid>> detections,
                                             const Camera& camera, std::span<const double> times_jd,
                                             double tolerance);

// The fix from a frame sequence: every frame of one size (BadImage "frame
// {i} is {w}x{h} but frame 0 is {w0}x{h0}; all frames must share one size",
// checked before any detection), up to 4 * config.max_centroids matched-
// filter detections per frame (width psf_sigma_px, finite and in (0, 64]),
// verify_sidereal with `tolerance` (radians), then
// resolve_fix_from_centroids on the confirmed detections without the Sun,
// at the middle frame's time. Errors: the detector's, verify_sidereal's,
// resolve_fix_from_centroids', each unchanged.
Result<Fix> resolve_fix_from_frames(std::span<const ImageView> frames, std::span<const double> times_jd,
                                    const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                    const FixConfig& config, double psf_sigma_px, double tolerance);

}  // namespace halvane
