// The matched-filter star detector, for small sharp stars: a Gaussian of
// the PSF's width run over the background-subtracted frame. Pixel
// coordinates and 16-bit units as in centroid.hpp.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "centroid.hpp"
#include "error.hpp"
#include "image.hpp"
#include "work.hpp"

namespace halvane {

// Matched-filter detector for PSFs of about 1-2 px sigma. Subtracts the
// (unmasked) background mesh, convolves the residual with a normalised
// separable Gaussian of psf_sigma_px (radius max(ceil(3 sigma), 1), edges
// clamped), and reports every 5 x 5 local maximum of the filtered surface at
// least 4 robust sigma above zero (on a plateau the first pixel in row-major
// order), refined by log_parabola_peak on 7-pixel cuts. flux is the filtered
// peak value, not comparable with the blob detector's flux.
//
// psf_sigma_px: PSF width in pixels, finite and in (0, 64].
// Returns at most max_count centroids, flux descending (ties in row-major
// order). Errors: BadImage for an empty or inconsistent frame (text as
// above) and BadImage "psf_sigma_px must be finite and in (0, 64] pixels
// (got {sigma})" for a width outside that range.
// cancel: asked once per row of every pass (see RowPoll); throws
// Interrupted when it answers true.
Result<std::vector<Centroid>> detect_centroids_matched(const ImageView& image, std::size_t max_count,
                                                       double psf_sigma_px, Cancellation cancel = {});

}  // namespace halvane
