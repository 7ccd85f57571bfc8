// Star identification: which catalogue star each detected star is, with no
// prior knowledge of where the camera points.
//
// Triangles of the brightest detections are looked up by their three
// angular sides in the catalogue's pair index; every candidate star triangle
// gives an attitude (solve_wahba), which is verified by predicting every
// detection on the sky and counting those that land on an untaken catalogue
// star within the match tolerance. Verified hypotheses vote; the winner must
// beat every distinct rival and pass the confidence checks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "catalog.hpp"
#include "correspondence.hpp"
#include "error.hpp"
#include "star_grid.hpp"
#include "triangle_search.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

struct StarMatch {
    Correspondences correspondences;  // ascending detection index
    std::size_t match_margin = 0;     // winner's count minus the strongest rival's
};

// Identifies the detections.
//   vectors: camera-frame unit vectors of the detections, brightest first.
//   triangle_stars: how many of the brightest detections form triangles.
//   t: match tolerance, radians.
//   check: fainter detections (camera-frame unit vectors) that take no part
//     in the search; how many of them the winner's attitude puts on a
//     catalogue star is part of its confidence (see confidence_checks).
// Equal-count candidates whose attitudes agree (rotation between them below
// half the tolerance) are one identification, not a tie: the detections on
// which they name different stars are left out of the correspondences (the
// vote still counts them). MatchAmbiguous is kept for candidates that
// disagree on the attitude.
//   meter: counts the work and may stop it (a default meter when null).
// Errors: InsufficientStars{4, n} for fewer than 4 detections; NoMatch when
// nothing verifies 4 correspondences, triangle_stars is 0, the confidence
// checks refuse, or the meter stopped the work; MatchAmbiguous with both
// correspondence lists for a tie.
Result<StarMatch> match_stars(std::span<const Vec3> vectors, const Catalog& catalog,
                              std::size_t triangle_stars, double t, std::span<const Vec3> check = {},
                              WorkMeter* meter = nullptr);

// What the chance test weighs besides the verified count: the winner is the
// best of `hypotheses` verified, and its attitude put `checked_matched` of
// `checked` detections outside the search on a catalogue star.
struct SearchEvidence {
    std::size_t hypotheses = 1;
    std::size_t checked = 0;
    std::size_t checked_matched = 0;
};

// Whether `count` verified correspondences among `vectors` can be trusted:
//   at least 4;
//   not likely by chance: with p the chance that a random direction lands
//     on a star, the binomial tail of count + checked_matched - 3 hits among
//     the n + checked - 3 detections outside the triangle, times the number
//     of hypotheses tried, must not exceed 0.001;
//   with `fit_offsets` (each hit's angle from its star under the attitude
//     fitted to the hits; a NaN or one beyond t counts as t): not likely
//     by chance that hits land as close as they do. For each j from 4, the
//     tail of j - 3 hits within the j-th smallest offset, the least of
//     them times the choices of j and the hypotheses tried, must not
//     exceed 1e-7: hits scattered over the tolerance, as chance leaves
//     them, need a far rarer count than hits within the centroid error;
//   not reproduced by the mirror image of the detection pattern.
// match_stars always passes the offsets of its winner. The only error is
// NoMatch.
Result<void> confidence_checks(std::size_t count, std::span<const Vec3> vectors,
                               const Catalog& catalog, const StarGrid& grid,
                               std::size_t triangle_stars, double t,
                               const SearchEvidence& evidence = {},
                               std::span<const double> fit_offsets = {});

}  // namespace halvane
