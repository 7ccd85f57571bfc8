#include "matcher.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "attitude.hpp"
#include "numeric.hpp"

namespace halvane {

namespace {

constexpr double kHalfDegree = 0.008726646259971648;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

double reduce_ra(double ra) {
    double r = std::fmod(ra, kTwoPi);
    if (r < 0.0) r += kTwoPi;
    return r;
}

double clamp_unit(double x) { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); }

// floor-valued double to an index in [0, last]; NaN gives 0.
std::size_t clamped_index(double value, std::size_t last) {
    const auto k = saturating_cast<std::int64_t>(value);
    if (k <= 0) return 0;
    return static_cast<std::uint64_t>(k) > last ? last : static_cast<std::size_t>(k);
}

std::span<const StarPair> window(const Catalog& catalog, double separation, double t) {
    return catalog.pairs_in_range(std::cos(separation + t), std::cos(separation - t));
}

// The nearest-star search of hypothesis verification, with its buffers.
// Taken flags are cleared through the list of stars taken, so a reset costs
// the number of matches, not the catalogue size.
class Verifier {
public:
    Verifier(const Catalog& catalog, const StarGrid& grid, double t)
        : catalog_(catalog), grid_(grid), t_(t), cos_t_(std::cos(t)), taken_(catalog.stars.size(), 0) {}

    void reset() {
        for (std::size_t s : taken_list_) taken_[s] = 0;
        taken_list_.clear();
    }

    // The untaken star with the largest dot product with p above cos t
    // (ties to the lower index), or kNone; the dot product goes to `best_dot`.
    std::size_t nearest_untaken(const Vec3& p, double& best_dot) {
        grid_.query(p, t_, candidates_);
        std::size_t best = kNone;
        best_dot = 0.0;
        for (std::size_t s : candidates_) {
            if (taken_[s]) continue;
            const double d = dot(p, catalog_.stars[s].unit);
            if (!(d > cos_t_)) continue;
            if (best == kNone || d > best_dot || (d == best_dot && s < best)) {
                best = s;
                best_dot = d;
            }
        }
        return best;
    }

    void take(std::size_t s) {
        taken_[s] = 1;
        taken_list_.push_back(s);
    }

    // Verification over every detection: correspondences and residual sum.
    // Returns false, abandoning the rest, once the count can no longer
    // exceed `pointless_up_to` (a count that would change no vote).
    bool verify(const Mat3& rotation, std::span<const Vec3> vectors, std::size_t pointless_up_to,
                Correspondences& out, double& residual) {
        reset();
        out.clear();
        residual = 0.0;
        for (std::size_t q = 0; q < vectors.size(); ++q) {
            if (out.size() + (vectors.size() - q) <= pointless_up_to) return false;
            double d = 0.0;
            const std::size_t s = nearest_untaken(rotation * vectors[q], d);
            if (s == kNone) continue;
            take(s);
            out.push_back({q, s});
            residual += std::acos(clamp_unit(d));
        }
        return true;
    }

    // Whether at least `target` detections verify, stopping as soon as the
    // answer is known either way.
    bool reaches(const Mat3& rotation, std::span<const Vec3> vectors, std::size_t target) {
        reset();
        std::size_t matches = 0;
        for (std::size_t q = 0; q < vectors.size(); ++q) {
            if (matches + (vectors.size() - q) < target) return false;
            double d = 0.0;
            const std::size_t s = nearest_untaken(rotation * vectors[q], d);
            if (s == kNone) continue;
            take(s);
            if (++matches >= target) return true;
        }
        return matches >= target;
    }

private:
    const Catalog& catalog_;
    const StarGrid& grid_;
    double t_;
    double cos_t_;
    std::vector<std::uint8_t> taken_;
    std::vector<std::size_t> taken_list_;
    std::vector<std::size_t> candidates_;
};

// Attitude of one hypothesis: detections (i, j, k) onto the stars' stored
// unit vectors.
Result<Mat3> hypothesis_attitude(std::span<const Vec3> vectors, const std::array<std::size_t, 3>& ijk,
                                 const Hypothesis& h, const Catalog& catalog) {
    const std::array<Vec3, 3> camera{vectors[ijk[0]], vectors[ijk[1]], vectors[ijk[2]]};
    const std::array<Vec3, 3> sky{catalog.stars[h[0]].unit, catalog.stars[h[1]].unit,
                                  catalog.stars[h[2]].unit};
    return solve_wahba(camera, sky);
}

// Calls visit(ijk) for every triangle i < j < k < m in lexicographic order.
template <class Visit>
void for_each_triangle(std::size_t m, Visit&& visit) {
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = i + 1; j < m; ++j)
            for (std::size_t k = j + 1; k < m; ++k) visit(std::array<std::size_t, 3>{i, j, k});
}

// Binomial tail: probability that at least count - 3 of the n - 3
// detections outside the triangle land on a star by chance.
double chance_probability(std::size_t count, std::size_t n, double p) {
    const auto integer_power = [](double base, std::size_t exponent) {
        double result = 1.0;
        for (std::size_t e = 0; e < exponent; ++e) result *= base;
        return result;
    };
    const std::size_t others = n - 3;
    double total = 0.0;
    for (std::size_t k = count - 3; k <= others; ++k) {
        double binomial = 1.0;
        for (std::size_t j = 0; j < k; ++j)
            binomial *= static_cast<double>(others - j) / static_cast<double>(k - j);
        total += binomial * integer_power(p, k) * integer_power(1.0 - p, others - k);
    }
    return total;
}

}  // namespace

StarGrid StarGrid::build(const Catalog& catalog, double tolerance) {
    StarGrid grid;
    const double cell_angle = max_ignoring_nan(tolerance, kHalfDegree);
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
    const std::size_t n_stars = catalog.stars.size();
    std::vector<std::uint32_t> cell_of_star(n_stars);
    grid.cell_start.assign(n_cells + 1, 0);
    for (std::size_t s = 0; s < n_stars; ++s) {
        cell_of_star[s] = static_cast<std::uint32_t>(grid.cell_of(catalog.stars[s].ra, catalog.stars[s].dec));
        ++grid.cell_start[cell_of_star[s] + 1];
    }
    for (std::size_t c = 0; c < n_cells; ++c) grid.cell_start[c + 1] += grid.cell_start[c];
    // Fill each cell from its end, stars in reverse, so that every cell ends
    // up in catalogue order and its end offset walks down to its start: no
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

void StarGrid::query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const {
    out.clear();
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
}

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
                                           const Catalog& catalog, double t) {
    const std::size_t index = a * n_ + b;
    if (!built_[index]) {
        sides_[index].build(window(catalog, angle_between(vectors[a], vectors[b]), t), catalog.stars.size());
        built_[index] = 1;
    }
    return sides_[index];
}

void triangle_hypotheses(std::span<const Vec3> vectors, const std::array<std::size_t, 3>& ijk,
                         const Catalog& catalog, double t, TriangleScratch& scratch,
                         std::vector<Hypothesis>& out) {
    out.clear();
    const auto ij = window(catalog, angle_between(vectors[ijk[0]], vectors[ijk[1]]), t);
    if (ij.empty()) return;
    // Grouping the j-k pairs by their first star turns a scan of the whole
    // list per i-j record into a visit of one group; within a group the
    // list order holds, so the hypotheses come out in the same order.
    const PairAdjacency& jk = scratch.side(vectors, ijk[1], ijk[2], catalog, t);
    const PairAdjacency& ik = scratch.side(vectors, ijk[0], ijk[2], catalog, t);
    for (const StarPair& p : ij) {
        const std::uint32_t a = p.i, b = p.j;
        for (std::uint32_t y : jk.partners(b))
            if (y != a && ik.contains(y, a)) out.push_back({a, b, y});
        for (std::uint32_t y : jk.partners(a))
            if (y != b && ik.contains(y, b)) out.push_back({b, a, y});
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

namespace {

// The confidence checks with the caller's triangle windows: the mirror
// image has the same sides as the detections the search just used.
Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                TriangleScratch& scratch);

}  // namespace

Result<void> confidence_checks(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                               const StarGrid& grid, std::size_t triangle_stars, double t) {
    TriangleScratch scratch;
    scratch.prepare(std::min(triangle_stars, vectors.size()));
    return checked_confidence(count, vectors, catalog, grid, triangle_stars, t, scratch);
}

namespace {

Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                TriangleScratch& scratch) {
    const std::size_t n = vectors.size();
    if (count < 4 || n < 3) return std::unexpected(Error::NoMatch{});

    const double p = std::clamp((1.0 - std::cos(t)) * static_cast<double>(catalog.stars.size()) * 0.5, 0.0, 1.0);
    if (chance_probability(count, n, p) > 0.01) return std::unexpected(Error::NoMatch{});

    // The mirror image has the same sides but the other handedness: a true
    // identification must not be reproducible from it.
    std::vector<Vec3> mirrored(vectors.begin(), vectors.end());
    for (Vec3& v : mirrored) v = scaled(v, -1.0);
    const std::size_t m = std::min(triangle_stars, n);
    Verifier verifier(catalog, grid, t);
    std::vector<Hypothesis> hypotheses;
    bool reproduced = false;
    for_each_triangle(m, [&](const std::array<std::size_t, 3>& ijk) {
        if (reproduced) return;
        triangle_hypotheses(mirrored, ijk, catalog, t, scratch, hypotheses);
        for (const Hypothesis& h : hypotheses) {
            const auto rotation = hypothesis_attitude(mirrored, ijk, h, catalog);
            if (!rotation) continue;
            if (verifier.reaches(*rotation, mirrored, count)) {
                reproduced = true;
                return;
            }
        }
    });
    if (reproduced) return std::unexpected(Error::NoMatch{});
    return {};
}

}  // namespace

Result<StarMatch> match_stars(std::span<const Vec3> vectors, const Catalog& catalog,
                              std::size_t triangle_stars, double t) {
    const std::size_t n = vectors.size();
    if (n < 4) return std::unexpected(Error::InsufficientStars{4, n});
    const StarGrid grid = StarGrid::build(catalog, t);
    if (triangle_stars == 0) return std::unexpected(Error::NoMatch{});
    const std::size_t m = std::min(triangle_stars, n);
    const double cos_t = std::cos(t);

    struct Candidate {
        Correspondences correspondences;
        double residual = 0.0;
    };
    Candidate best, current;
    bool has_best = false;
    std::size_t runner_up = 0;
    std::optional<std::pair<Correspondences, Correspondences>> tie;
    std::vector<std::size_t> star_of_detection(n, kNone);

    // Same identification: every correspondence of the best has one for the
    // same detection here, to the same star or one closer than the tolerance.
    const auto same_identification = [&](const Candidate& b, const Candidate& h) {
        for (const Correspondence& c : h.correspondences) star_of_detection[c.detection] = c.catalog_index;
        bool same = true;
        for (const Correspondence& c : b.correspondences) {
            const std::size_t other = star_of_detection[c.detection];
            if (other == kNone ||
                (other != c.catalog_index &&
                 !(dot(catalog.stars[other].unit, catalog.stars[c.catalog_index].unit) > cos_t))) {
                same = false;
                break;
            }
        }
        for (const Correspondence& c : h.correspondences) star_of_detection[c.detection] = kNone;
        return same;
    };

    Verifier verifier(catalog, grid, t);
    TriangleScratch scratch;
    scratch.prepare(m);
    std::vector<Hypothesis> hypotheses;
    for_each_triangle(m, [&](const std::array<std::size_t, 3>& ijk) {
        triangle_hypotheses(vectors, ijk, catalog, t, scratch, hypotheses);
        for (const Hypothesis& h : hypotheses) {
            const auto rotation = hypothesis_attitude(vectors, ijk, h, catalog);
            if (!rotation) continue;
            // A count of 3 or less is dropped, and one that neither reaches the
            // best nor beats the runner-up changes nothing: verification may
            // stop as soon as the count is sure to be one of those.
            const std::size_t pointless_up_to =
                has_best ? std::max<std::size_t>(3, std::min(runner_up, best.correspondences.size() - 1)) : 3;
            if (!verifier.verify(*rotation, vectors, pointless_up_to, current.correspondences, current.residual))
                continue;
            const std::size_t c = current.correspondences.size();
            if (c < 4) continue;
            if (!has_best) {
                std::swap(best, current);
                has_best = true;
                continue;
            }
            const std::size_t c_best = best.correspondences.size();
            if (c > c_best) {
                runner_up = std::max(runner_up, c_best);
                std::swap(best, current);
                tie.reset();
            } else if (c < c_best) {
                runner_up = std::max(runner_up, c);
            } else if (same_identification(best, current)) {
                if (current.residual < best.residual) std::swap(best, current);
            } else {
                runner_up = std::max(runner_up, c_best);
                if (current.residual < 0.7 * best.residual) {
                    std::swap(best, current);
                    tie.reset();
                } else if (!(best.residual < 0.7 * current.residual)) {
                    tie.emplace(best.correspondences, current.correspondences);
                }
            }
        }
    });

    if (tie) {
        if (auto checked = checked_confidence(tie->first.size(), vectors, catalog, grid, triangle_stars, t, scratch);
            !checked)
            return std::unexpected(std::move(checked.error()));
        return std::unexpected(Error::MatchAmbiguous{std::move(tie->first), std::move(tie->second)});
    }
    if (!has_best) return std::unexpected(Error::NoMatch{});
    const std::size_t c_best = best.correspondences.size();
    if (auto checked = checked_confidence(c_best, vectors, catalog, grid, triangle_stars, t, scratch); !checked)
        return std::unexpected(std::move(checked.error()));
    return StarMatch{std::move(best.correspondences), c_best >= runner_up ? c_best - runner_up : 0};
}

}  // namespace halvane
