#include "star_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "numeric.hpp"

namespace halvane {

namespace {

double reduce_ra(double ra) {
    double r = std::fmod(ra, kTwoPi);
    if (r < 0.0) r += kTwoPi;
    return r;
}

// floor-valued double to an index in [0, last]; NaN gives 0.
std::size_t clamped_index(double value, std::size_t last) {
    const auto k = saturating_cast<std::int64_t>(value);
    if (k <= 0) return 0;
    return static_cast<std::uint64_t>(k) > last ? last : static_cast<std::size_t>(k);
}

}  // namespace

StarGrid StarGrid::build(std::span<const RaDec> places, double tolerance) {
    StarGrid grid;
    const double cell_angle = max_ignoring_nan(tolerance, kMinCellAngle);
    grid.n_bands = std::max<std::size_t>(saturating_cast<std::size_t>(std::ceil(kPi / cell_angle)), 1);
    grid.band_height = kPi / static_cast<double>(grid.n_bands);
    grid.band_cells.resize(grid.n_bands);
    grid.band_start.assign(1, 0);
    grid.band_start.reserve(grid.n_bands + 1);
    for (std::size_t b = 0; b < grid.n_bands; ++b) {
        const double centre = grid.band_height * (static_cast<double>(b) + 0.5) - kHalfPi;
        const double cells = std::round(std::cos(centre) * kTwoPi / grid.band_height);
        grid.band_cells[b] = std::max<std::size_t>(saturating_cast<std::size_t>(cells), 1);
        grid.band_start.push_back(grid.band_start.back() + grid.band_cells[b]);
    }

    const std::size_t n_cells = grid.band_start.back();
    const std::size_t n_stars = places.size();
    std::vector<std::uint32_t> cell_of_star(n_stars);
    grid.cell_start.assign(n_cells + 1, 0);
    for (std::size_t s = 0; s < n_stars; ++s) {
        cell_of_star[s] = static_cast<std::uint32_t>(grid.cell_of(places[s].ra, places[s].dec));
        ++grid.cell_start[cell_of_star[s] + 1];
    }
    for (std::size_t c = 0; c < n_cells; ++c) grid.cell_start[c + 1] += grid.cell_start[c];
    // Fill each cell from its end, stars in reverse, so that every cell ends
    // up in list order and its end offset walks down to its start: no
    // cursor array the size of the grid. Then shift the starts into place.
    grid.star_index.resize(n_stars);
    for (std::size_t s = n_stars; s-- > 0;)
        grid.star_index[--grid.cell_start[cell_of_star[s] + 1]] = static_cast<std::uint32_t>(s);
    for (std::size_t c = 0; c < n_cells; ++c) grid.cell_start[c] = grid.cell_start[c + 1];
    grid.cell_start[n_cells] = static_cast<std::uint32_t>(n_stars);
    return grid;
}

std::size_t StarGrid::cell_of(double ra, double dec) const noexcept {
    const std::size_t band = clamped_index(std::floor((dec + kHalfPi) / band_height), n_bands - 1);
    const std::size_t cells = band_cells[band];
    const std::size_t k = clamped_index(std::floor(reduce_ra(ra) / kTwoPi * static_cast<double>(cells)), cells - 1);
    return band_start[band] + k;
}

std::size_t StarGrid::query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const {
    out.clear();
    std::size_t cells = 0;
    const double dec = std::asin(clamp_unit(direction[2]));
    const double u = reduce_ra(std::atan2(direction[1], direction[0])) / kTwoPi;
    const std::size_t lo = clamped_index(std::floor((dec - radius + kHalfPi) / band_height) - 1.0, n_bands - 1);
    const std::size_t hi = clamped_index(std::floor((dec + radius + kHalfPi) / band_height) + 1.0, n_bands - 1);
    // One half-width for every band, from the centre's declination. A cone
    // wider than a quarter turn spans every right ascension of its bands
    // (where sin r shrinks again and the asin would cut it short).
    const double half_width = radius >= kHalfPi || std::cos(dec) <= std::sin(radius)
                                  ? kPi
                                  : std::asin(std::sin(radius) / std::cos(dec));

    const auto append_cell = [&](std::size_t cell) {
        ++cells;
        out.insert(out.end(), star_index.begin() + static_cast<std::ptrdiff_t>(cell_start[cell]),
                   star_index.begin() + static_cast<std::ptrdiff_t>(cell_start[cell + 1]));
    };
    for (std::size_t b = lo; b <= hi; ++b) {
        const std::size_t n = band_cells[b];
        const std::size_t first = band_start[b];
        bool whole_band = half_width >= kPi;
        std::size_t w = 0;
        if (!whole_band) {
            w = saturating_cast<std::size_t>(std::ceil(half_width / (kTwoPi / static_cast<double>(n))));
            whole_band = w >= n || 2 * (w + 1) + 1 >= n;
        }
        if (whole_band) {
            for (std::size_t c = 0; c < n; ++c) append_cell(first + c);
            continue;
        }
        const auto n_signed = static_cast<std::int64_t>(n);
        const auto centre = saturating_cast<std::int64_t>(std::floor(u * static_cast<double>(n)));
        const auto reach = static_cast<std::int64_t>(w + 1);
        for (std::int64_t d = -reach; d <= reach; ++d) {
            const std::int64_t c = ((centre + d) % n_signed + n_signed) % n_signed;
            append_cell(first + static_cast<std::size_t>(c));
        }
    }
    return cells;
}

}  // namespace halvane
