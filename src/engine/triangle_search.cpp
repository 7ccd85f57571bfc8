#include "triangle_search.hpp"

#include <cmath>

namespace halvane {

namespace {

// The catalogue pairs whose separation lies within t of `separation`.
std::span<const StarPair> window(const Catalog& catalog, double separation, double t) {
    return catalog.pairs_in_range(std::cos(separation + t), std::cos(separation - t));
}

}  // namespace

void PairAdjacency::build(std::span<const StarPair> window, std::size_t n_stars) {
    groups_.assign(n_stars, Group{});
    for (const StarPair& p : window) {
        ++groups_[p.i].count;
        ++groups_[p.j].count;
    }
    std::uint32_t offset = 0;
    for (Group& g : groups_) {
        g.start = offset;
        offset += g.count;
        g.count = 0;  // refilled below as the group's write cursor
    }
    partners_.resize(offset);
    const auto place = [&](std::uint32_t first, std::uint32_t second) {
        Group& g = groups_[first];
        partners_[g.start + g.count++] = second;
    };
    for (const StarPair& p : window) {
        place(p.i, p.j);
        place(p.j, p.i);
    }
}

void TriangleScratch::prepare(std::size_t n_detections) {
    n_ = n_detections;
    sides_.resize(n_ * n_);
    built_.assign(n_ * n_, 0);
}

const PairAdjacency& TriangleScratch::side(std::span<const Vec3> vectors, std::size_t a, std::size_t b,
                                           const Catalog& catalog, double t, WorkMeter* meter) {
    const std::size_t index = a * n_ + b;
    if (!built_[index]) {
        const auto pairs = window(catalog, angle_between(vectors[a], vectors[b]), t);
        if (meter != nullptr) meter->spend(2 * pairs.size() + catalog.stars.size());
        sides_[index].build(pairs, catalog.stars.size());
        built_[index] = 1;
    }
    return sides_[index];
}

void triangle_hypotheses(std::span<const Vec3> vectors, const std::array<std::size_t, 3>& ijk,
                         const Catalog& catalog, double t, TriangleScratch& scratch,
                         std::vector<Hypothesis>& out, WorkMeter* meter) {
    out.clear();
    const auto ij = window(catalog, angle_between(vectors[ijk[0]], vectors[ijk[1]]), t);
    if (ij.empty()) return;
    // Grouping the j-k pairs by their first star turns a scan of the whole
    // list per i-j record into a visit of one group; within a group the
    // list order holds, so the hypotheses come out in the same order.
    const PairAdjacency& jk = scratch.side(vectors, ijk[1], ijk[2], catalog, t, meter);
    const PairAdjacency& ik = scratch.side(vectors, ijk[0], ijk[2], catalog, t, meter);
    for (const StarPair& p : ij) {
        const std::uint32_t a = p.i, b = p.j;
        std::uint64_t steps = 1;
        // A closing side is looked up in the group of its first star.
        const auto closes = [&](std::uint32_t y, std::uint32_t x) {
            steps += ik.partners(y).size() + 1;
            return ik.contains(y, x);
        };
        for (std::uint32_t y : jk.partners(b))
            if (y != a && closes(y, a)) out.push_back({a, b, y});
        for (std::uint32_t y : jk.partners(a))
            if (y != b && closes(y, b)) out.push_back({b, a, y});
        if (out.size() > kMaxTriangleHypotheses || (meter != nullptr && !meter->spend(steps))) {
            out.clear();
            return;
        }
    }
}

std::vector<Hypothesis> triangle_hypotheses(std::span<const Vec3> vectors,
                                            const std::array<std::size_t, 3>& ijk,
                                            const Catalog& catalog, double t) {
    TriangleScratch scratch;
    scratch.prepare(ijk[2] + 1);
    std::vector<Hypothesis> out;
    triangle_hypotheses(vectors, ijk, catalog, t, scratch, out);
    return out;
}

}  // namespace halvane
