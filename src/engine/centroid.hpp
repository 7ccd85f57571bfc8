// Star detection: the detections' type, the log-parabola peak fit and the
// blob detector (the matched filter and the solar disc have files of their
// own).
//
// Pixel coordinates are continuous with pixel (i, j) centred on (i, j):
// x is the column, y the row (growing downwards). Frames are 16-bit with
// full scale 65535; 8-bit frames are widened by 257 before they get here,
// so every threshold below is in 16-bit units.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "image.hpp"
#include "work.hpp"

namespace halvane {

// One detection. flux is a brightness score whose meaning depends on the
// producer (see each detector); only its order matters to consumers.
struct Centroid {
    double x = 0.0;
    double y = 0.0;
    double flux = 0.0;
    friend bool operator==(const Centroid&, const Centroid&) = default;
};

// Sub-pixel peak of a profile by a three-point Gaussian (parabola in log
// space) around its first maximum. Returns the peak position in index units,
// or nothing when the profile is shorter than 3, the maximum is at either
// end, one of the three samples is not positive, the three samples are not
// a strict peak in log space, or the fitted offset exceeds one sample.
// Exact for a sampled Gaussian.
std::optional<double> log_parabola_peak(std::span<const double> profile);

// Blob detector. Subtracts the background mesh (background.hpp),
// thresholds the residual at max(5 robust sigma, 2048), grows 4-connected
// components from seeds in row-major order, and drops any component that touches the frame edge or
// is 4-adjacent to a masked pixel, has fewer than 3 or more than 400 pixels,
// or has no positive total. Each survivor is placed by log_parabola_peak on
// its marginal profiles over its bounding box widened by 3 px (falling back
// to the residual-weighted mean of its own pixels), with flux = the sum of
// its residuals.
//
// max_count: cap on the list length (0 gives an empty list).
// mask:      optional exclusion mask of the frame's shape; masked pixels feed
//            neither the mesh nor the noise estimate.
// Returns the centroids brightest first (equal fluxes in seed order).
// Errors: BadImage "{w}x{h} does not match {n} pixels" for an empty or
// inconsistent frame; BadImage "mask {w}x{h} ({n} flags) does not match the
// {W}x{H} frame" for a mask of another shape.
// cancel: asked once per row (see RowPoll); throws Interrupted when it
// answers true.
Result<std::vector<Centroid>> detect_centroids_masked(const ImageView& image, std::size_t max_count,
                                                      std::optional<MaskView> mask = std::nullopt,
                                                      Cancellation cancel = {});

}  // namespace halvane
