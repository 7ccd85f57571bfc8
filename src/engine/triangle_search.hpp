// The triangle search of star identification: catalogue star triangles
// whose three sides match those of three detections, found through the
// catalogue's pair index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "catalog.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

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

}  // namespace halvane
