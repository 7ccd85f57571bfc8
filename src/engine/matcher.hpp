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
#include "error.hpp"
#include "vector.hpp"

namespace halvane {

// Spatial index of the catalogue: declination bands of equal height, each
// cut into right-ascension cells of roughly equal width; every star is filed
// in one cell, brightest (lowest index) first within it.
struct StarGrid {
    std::size_t n_bands = 1;
    double band_height = 0.0;                // radians, pi / n_bands
    std::vector<std::size_t> band_cells;     // cells per band, each >= 1
    std::vector<std::size_t> band_start;     // first global cell of each band; n_bands + 1 entries
    // 32-bit offsets and indices: a catalogue holds at most 65536 stars, and
    // a fine grid has hundreds of thousands of cells, rebuilt on every match.
    std::vector<std::uint32_t> cell_start;   // offset into star_index per cell; cells + 1 entries
    std::vector<std::uint32_t> star_index;   // catalogue indices grouped by cell

    // Builds the grid over the stars' stored ra/dec with a cell angle of
    // max(tolerance, 0.5 degree) (a NaN tolerance gives 0.5 degree).
    //   tolerance: match tolerance, radians.
    static StarGrid build(const Catalog& catalog, double tolerance);

    // Global cell index of a direction (ra, dec in radians; ra is reduced
    // to [0, 2 pi), dec clamped into the band range).
    std::size_t cell_of(double ra, double dec) const noexcept;

    // Fills `out` (emptied first; the caller reuses it to avoid allocation)
    // with the catalogue indices of every cell the cone of `radius` radians
    // around the unit vector `direction` may touch: a superset of the stars
    // within the cone, without duplicates, not sorted by distance. Returns
    // the number of cells visited.
    std::size_t query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const;
};

// Asked now and then during long identification work; answering true stops
// the work. A plain function and context keep the engine free of the
// caller's types (the Python module checks for pending signals here).
struct Cancellation {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;
};

// The identification's work in elementary steps (pair records and partner
// visits of the triangle search, pair-window groupings, catalogue stars
// examined in verification), against a fixed budget, asking `cancel` every
// kPollSteps. Once the budget is spent or cancellation is asked, spend()
// answers false and the matcher gives up with NoMatch: the work of any
// input, however wide its tolerance, is bounded.
class WorkMeter {
public:
    // About a tenth of a second on one core. Measured on seeded 1024-pixel
    // fisheye skies: 1.5 million steps at most with the default 12
    // detections, 7 million with 100, 18 million with a 15-arcminute sigma.
    static constexpr std::uint64_t kBudget = std::uint64_t{1} << 25;
    static constexpr std::uint64_t kPollSteps = std::uint64_t{1} << 16;

    explicit WorkMeter(Cancellation cancel = {}, std::uint64_t budget = kBudget) noexcept
        : cancel_(cancel), budget_(budget) {}

    // Counts `steps`; false once the work must stop.
    bool spend(std::uint64_t steps) noexcept {
        spent_ += steps;
        if (spent_ >= next_poll_) {
            next_poll_ = spent_ + kPollSteps;
            if (cancel_.requested != nullptr && cancel_.requested(cancel_.context)) stopped_ = true;
        }
        if (spent_ > budget_) stopped_ = true;
        return !stopped_;
    }
    bool stopped() const noexcept { return stopped_; }
    std::uint64_t spent() const noexcept { return spent_; }

private:
    Cancellation cancel_;
    std::uint64_t budget_;
    std::uint64_t spent_ = 0;
    std::uint64_t next_poll_ = kPollSteps;
    bool stopped_ = false;
};

// Candidate catalogue stars (s_i, s_j, s_k) for detections (i, j, k).
using Hypothesis = std::array<std::size_t, 3>;

// The ordered star pairs of one pair window (both orientations of every
// record), grouped by their first star with each group in window order.
// Built once in time linear in the window, looked up in constant time.
class PairAdjacency {
public:
    void build(std::span<const StarPair> window, std::size_t n_stars);
    // Second stars of the ordered pairs starting at `star`, in window order.
    std::span<const std::uint32_t> partners(std::uint32_t star) const noexcept {
        if (star >= groups_.size()) return {};
        const Group g = groups_[star];
        return {partners_.data() + g.start, g.count};
    }
    bool contains(std::uint32_t first, std::uint32_t second) const noexcept {
        for (std::uint32_t s : partners(first))
            if (s == second) return true;
        return false;
    }

private:
    struct Group {
        std::uint32_t start = 0;
        std::uint32_t count = 0;
    };
    std::vector<Group> groups_;  // per catalogue star
    std::vector<std::uint32_t> partners_;
};

// Working state of triangle_hypotheses for one detection list: the grouped
// pair window of every detection pair, built on first use and kept, since
// each side is shared by many triangles. The mirror image of a list has the
// same sides, so it may share the state; any other list needs prepare().
class TriangleScratch {
public:
    // Forgets every window; triangles may use detections below n_detections.
    void prepare(std::size_t n_detections);
    const PairAdjacency& side(std::span<const Vec3> vectors, std::size_t a, std::size_t b,
                              const Catalog& catalog, double t, WorkMeter* meter = nullptr);

private:
    std::size_t n_ = 0;
    std::vector<PairAdjacency> sides_;  // index a * n_ + b, a < b
    std::vector<std::uint8_t> built_;
};

// Every catalogue triangle whose sides match the detections' three sides
// within tolerance `t` (radians), in the order the search emits them
// (duplicates kept). Fills `out` after clearing it. `scratch` must have
// been prepared for this detection list (or its mirror image) with a size
// above k. A triangle with more than kMaxTriangleHypotheses candidates says
// too little to be worth verifying: `out` is left empty. So it is when
// `meter` stops the search. Never fails.
inline constexpr std::size_t kMaxTriangleHypotheses = 4096;
void triangle_hypotheses(std::span<const Vec3> vectors, const std::array<std::size_t, 3>& ijk,
                         const Catalog& catalog, double t, TriangleScratch& scratch,
                         std::vector<Hypothesis>& out, WorkMeter* meter = nullptr);

// Convenience form that allocates its own buffers.
std::vector<Hypothesis> triangle_hypotheses(std::span<const Vec3> vectors,
                                            const std::array<std::size_t, 3>& ijk,
                                            const Catalog& catalog, double t);

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
//   not reproduced by the mirror image of the detection pattern.
// The only error is NoMatch.
Result<void> confidence_checks(std::size_t count, std::span<const Vec3> vectors,
                               const Catalog& catalog, const StarGrid& grid,
                               std::size_t triangle_stars, double t,
                               const SearchEvidence& evidence = {});

}  // namespace halvane
