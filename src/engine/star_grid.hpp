// The stars' spatial index: which stars may lie within a cone, found by
// visiting a few cells of the sky instead of the whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vector.hpp"

namespace halvane {

// A place on the sky, radians.
struct RaDec {
    double ra = 0.0;
    double dec = 0.0;
};

// Spatial index of a star list: declination bands of equal height, each
// cut into right-ascension cells of roughly equal width; every star is filed
// in one cell, in list order (for a catalogue, brightest first) within it.
struct StarGrid {
    // The smallest cell: half a degree (radians).
    static constexpr double kMinCellAngle = 0.008726646259971648;

    std::size_t n_bands = 1;
    double band_height = 0.0;                // radians, pi / n_bands
    std::vector<std::size_t> band_cells;     // cells per band, each >= 1
    std::vector<std::size_t> band_start;     // first global cell of each band; n_bands + 1 entries
    // 32-bit offsets and indices: a catalogue holds at most 65536 stars, and
    // a fine grid has hundreds of thousands of cells, rebuilt on every match.
    std::vector<std::uint32_t> cell_start;   // offset into star_index per cell; cells + 1 entries
    std::vector<std::uint32_t> star_index;   // star indices grouped by cell

    // Builds the grid over the stars' places (ra, dec in radians; star s of
    // the grid is places[s]) with a cell angle of max(tolerance,
    // kMinCellAngle) (a NaN tolerance gives kMinCellAngle). At most 2^32 - 1
    // stars.
    //   tolerance: match tolerance, radians.
    static StarGrid build(std::span<const RaDec> places, double tolerance);

    // Global cell index of a direction (ra, dec in radians; ra is reduced
    // to [0, 2 pi), dec clamped into the band range).
    std::size_t cell_of(double ra, double dec) const noexcept;

    // Fills `out` (emptied first; the caller reuses it to avoid allocation)
    // with the star indices of every cell the cone of `radius` radians
    // around the unit vector `direction` may touch: a superset of the stars
    // within the cone, without duplicates, not sorted by distance. Returns
    // the number of cells visited.
    std::size_t query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const;
};

}  // namespace halvane
