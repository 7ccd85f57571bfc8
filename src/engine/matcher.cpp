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
// A hypothesis's attitude (a 3x3 singular value decomposition) costs about
// as much as this many of the meter's other steps.
constexpr std::uint64_t kAttitudeSteps = 64;
// A grid cell visited (a wrapped index and a copy) against a star examined.
constexpr std::uint64_t kCellSteps = 4;

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
    Verifier(const Catalog& catalog, const StarGrid& grid, double t, WorkMeter& meter)
        : catalog_(catalog), grid_(grid), t_(t), cos_t_(std::cos(t)), taken_(catalog.stars.size(), 0),
          meter_(meter) {}

    void reset() {
        for (std::size_t s : taken_list_) taken_[s] = 0;
        taken_list_.clear();
    }

    // The untaken star with the largest dot product with p above cos t
    // (ties to the lower index), or kNone; the dot product goes to `best_dot`.
    std::size_t nearest_untaken(const Vec3& p, double& best_dot) {
        const std::size_t cells = grid_.query(p, t_, candidates_);
        std::size_t best = kNone;
        best_dot = 0.0;
        // A stopped meter leaves every detection unmatched: the caller's
        // loop then ends within one pass, and the matcher refuses.
        if (!meter_.spend(kCellSteps * cells + candidates_.size() + 1)) return kNone;
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
    WorkMeter& meter_;
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

// Probability of at least `hits` successes in `trials` independent tries of
// probability p. The first term is formed in logarithms and the rest by
// recurrence, so that long detection lists neither overflow the binomial
// coefficient nor cost a quadratic loop. A NaN p counts as certain.
double binomial_tail(std::size_t hits, std::size_t trials, double p) {
    if (hits == 0) return 1.0;
    if (hits > trials) return 0.0;
    if (!(p < 1.0)) return 1.0;
    if (p <= 0.0) return 0.0;
    double log_term = static_cast<double>(hits) * std::log(p) + static_cast<double>(trials - hits) * std::log1p(-p);
    for (std::size_t j = 0; j < hits; ++j)
        log_term += std::log(static_cast<double>(trials - j)) - std::log(static_cast<double>(hits - j));
    const double odds = p / (1.0 - p);
    double term = std::exp(log_term);
    double total = 0.0;
    for (std::size_t k = hits; k <= trials && term > 0.0; ++k) {
        total += term;
        term *= static_cast<double>(trials - k) / static_cast<double>(k + 1) * odds;
    }
    return std::min(total, 1.0);
}

// Cosine of the rotation angle between two attitudes: (trace(a^T b) - 1) / 2.
double rotation_cosine(const Mat3& a, const Mat3& b) {
    double trace = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) trace += a[i][j] * b[i][j];
    return (trace - 1.0) / 2.0;
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

namespace {

// The confidence checks with the caller's triangle windows: the mirror
// image has the same sides as the detections the search just used.
Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                const SearchEvidence& evidence, TriangleScratch& scratch, WorkMeter& meter);

}  // namespace

Result<void> confidence_checks(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                               const StarGrid& grid, std::size_t triangle_stars, double t,
                               const SearchEvidence& evidence) {
    TriangleScratch scratch;
    scratch.prepare(std::min(triangle_stars, vectors.size()));
    WorkMeter meter;
    return checked_confidence(count, vectors, catalog, grid, triangle_stars, t, evidence, scratch, meter);
}

namespace {

Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                const SearchEvidence& evidence, TriangleScratch& scratch, WorkMeter& meter) {
    const std::size_t n = vectors.size();
    if (count < 4 || n < 3) return std::unexpected(Error::NoMatch{});

    // The three triangle detections match by construction; every other
    // detection, searched or only checked, lands on a star by chance with
    // probability p. The winner is the best of every hypothesis verified,
    // so its chance is that of any of them doing as well.
    const double p = std::clamp((1.0 - std::cos(t)) * static_cast<double>(catalog.stars.size()) * 0.5, 0.0, 1.0);
    const double chance = binomial_tail(count + evidence.checked_matched - 3, n + evidence.checked - 3, p) *
                          static_cast<double>(std::max<std::size_t>(evidence.hypotheses, 1));
    if (!(chance <= 0.001)) return std::unexpected(Error::NoMatch{});

    // The mirror image has the same sides but the other handedness: a true
    // identification must not be reproducible from it.
    std::vector<Vec3> mirrored(vectors.begin(), vectors.end());
    for (Vec3& v : mirrored) v = scaled(v, -1.0);
    const std::size_t m = std::min(triangle_stars, n);
    Verifier verifier(catalog, grid, t, meter);
    std::vector<Hypothesis> hypotheses;
    bool reproduced = false;
    for_each_triangle(m, [&](const std::array<std::size_t, 3>& ijk) {
        if (reproduced || meter.stopped()) return;
        triangle_hypotheses(mirrored, ijk, catalog, t, scratch, hypotheses, &meter);
        for (const Hypothesis& h : hypotheses) {
            if (!meter.spend(kAttitudeSteps)) return;
            const auto rotation = hypothesis_attitude(mirrored, ijk, h, catalog);
            if (!rotation) continue;
            if (verifier.reaches(*rotation, mirrored, count)) {
                reproduced = true;
                return;
            }
        }
    });
    // A mirror check cut short proves nothing either way.
    if (reproduced || meter.stopped()) return std::unexpected(Error::NoMatch{});
    return {};
}

// Attitude from every correspondence of a candidate (detections onto the
// stars' stored unit vectors).
Result<Mat3> candidate_attitude(const Correspondences& correspondences, std::span<const Vec3> vectors,
                                const Catalog& catalog, std::vector<Vec3>& camera, std::vector<Vec3>& sky) {
    camera.clear();
    sky.clear();
    for (const Correspondence& c : correspondences) {
        camera.push_back(vectors[c.detection]);
        sky.push_back(catalog.stars[c.catalog_index].unit);
    }
    return solve_wahba(camera, sky);
}

}  // namespace

Result<StarMatch> match_stars(std::span<const Vec3> vectors, const Catalog& catalog,
                              std::size_t triangle_stars, double t, std::span<const Vec3> check,
                              WorkMeter* meter_given) {
    WorkMeter default_meter;
    WorkMeter& meter = meter_given != nullptr ? *meter_given : default_meter;
    const std::size_t n = vectors.size();
    if (n < 4) return std::unexpected(Error::InsufficientStars{4, n});
    // The catalogue's grid serves any tolerance up to its half-degree cells.
    const bool shared_grid = catalog.grid != nullptr && !(t > kHalfDegree);
    const StarGrid own_grid = shared_grid ? StarGrid{} : StarGrid::build(catalog, t);
    const StarGrid& grid = shared_grid ? *catalog.grid : own_grid;
    if (triangle_stars == 0) return std::unexpected(Error::NoMatch{});
    const std::size_t m = std::min(triangle_stars, n);
    const double cos_t = std::cos(t);
    // Attitudes closer than half the tolerance put every detection within
    // half a tolerance of the same place: one identification.
    const double cos_same_attitude = std::cos(t / 2.0);

    struct Candidate {
        Correspondences correspondences;
        double residual = 0.0;
    };
    Candidate best, current;
    bool has_best = false;
    std::size_t runner_up = 0;
    std::size_t hypotheses_verified = 0;
    std::optional<std::pair<Correspondences, Correspondences>> tie;
    std::vector<std::size_t> star_of_detection(n, kNone);
    // Detections on which equal-count candidates of the best's attitude name
    // different stars: left out of the result.
    std::vector<std::uint8_t> disputed(n, 0);
    std::vector<Vec3> camera_scratch, sky_scratch;

    const auto same_star = [&](std::size_t a, std::size_t b) {
        return a == b || dot(catalog.stars[a].unit, catalog.stars[b].unit) > cos_t;
    };
    // Same identification: every correspondence of the best has one for the
    // same detection here, to the same star or one closer than the tolerance.
    const auto same_identification = [&](const Candidate& b, const Candidate& h) {
        for (const Correspondence& c : h.correspondences) star_of_detection[c.detection] = c.catalog_index;
        bool same = true;
        for (const Correspondence& c : b.correspondences) {
            const std::size_t other = star_of_detection[c.detection];
            if (other == kNone || !same_star(other, c.catalog_index)) {
                same = false;
                break;
            }
        }
        for (const Correspondence& c : h.correspondences) star_of_detection[c.detection] = kNone;
        return same;
    };
    const auto same_attitude = [&](const Candidate& b, const Candidate& h) {
        const auto rb = candidate_attitude(b.correspondences, vectors, catalog, camera_scratch, sky_scratch);
        if (!rb) return false;
        const auto rh = candidate_attitude(h.correspondences, vectors, catalog, camera_scratch, sky_scratch);
        return rh && rotation_cosine(*rb, *rh) > cos_same_attitude;
    };
    // Marks the detections that b and h do not both give the same star.
    const auto mark_disputed = [&](const Candidate& b, const Candidate& h) {
        for (const Correspondence& c : h.correspondences) star_of_detection[c.detection] = c.catalog_index;
        for (const Correspondence& c : b.correspondences) {
            const std::size_t other = star_of_detection[c.detection];
            if (other == kNone || !same_star(other, c.catalog_index)) disputed[c.detection] = 1;
            star_of_detection[c.detection] = kNone;
        }
        for (const Correspondence& c : h.correspondences) {
            if (star_of_detection[c.detection] != kNone) disputed[c.detection] = 1;  // not in b
            star_of_detection[c.detection] = kNone;
        }
    };
    const auto new_best = [&]() {
        std::swap(best, current);
        std::fill(disputed.begin(), disputed.end(), 0);
        tie.reset();
    };

    Verifier verifier(catalog, grid, t, meter);
    TriangleScratch scratch;
    scratch.prepare(m);
    std::vector<Hypothesis> hypotheses;
    for_each_triangle(m, [&](const std::array<std::size_t, 3>& ijk) {
        if (meter.stopped()) return;
        triangle_hypotheses(vectors, ijk, catalog, t, scratch, hypotheses, &meter);
        for (const Hypothesis& h : hypotheses) {
            if (!meter.spend(kAttitudeSteps)) return;
            const auto rotation = hypothesis_attitude(vectors, ijk, h, catalog);
            if (!rotation) continue;
            ++hypotheses_verified;
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
                new_best();
                has_best = true;
                continue;
            }
            const std::size_t c_best = best.correspondences.size();
            if (c > c_best) {
                runner_up = std::max(runner_up, c_best);
                new_best();
            } else if (c < c_best) {
                runner_up = std::max(runner_up, c);
            } else if (same_identification(best, current)) {
                if (current.residual < best.residual) std::swap(best, current);
            } else if (same_attitude(best, current)) {
                mark_disputed(best, current);
                if (current.residual < best.residual) std::swap(best, current);
            } else {
                runner_up = std::max(runner_up, c_best);
                if (current.residual < 0.7 * best.residual) {
                    new_best();
                } else if (!(best.residual < 0.7 * current.residual)) {
                    tie.emplace(best.correspondences, current.correspondences);
                }
            }
        }
    });
    // A search cut short may have missed a rival that ties or beats the best.
    if (!has_best || meter.stopped()) return std::unexpected(Error::NoMatch{});

    // How the winner's attitude (from its undisputed correspondences)
    // fares on the detections the search never looked at.
    const Correspondences& judged = tie ? tie->first : best.correspondences;
    Correspondences kept;
    for (const Correspondence& c : judged)
        if (tie || !disputed[c.detection]) kept.push_back(c);
    SearchEvidence evidence{hypotheses_verified, check.size(), 0};
    if (kept.size() < 4) return std::unexpected(Error::NoMatch{});
    if (const auto attitude = candidate_attitude(kept, vectors, catalog, camera_scratch, sky_scratch);
        attitude && !check.empty()) {
        verifier.reset();
        for (const Correspondence& c : judged) verifier.take(c.catalog_index);
        for (const Vec3& v : check) {
            double d = 0.0;
            const std::size_t s = verifier.nearest_untaken(*attitude * v, d);
            if (s == kNone) continue;
            verifier.take(s);
            ++evidence.checked_matched;
        }
    }

    const std::size_t c_best = judged.size();
    if (auto checked =
            checked_confidence(c_best, vectors, catalog, grid, triangle_stars, t, evidence, scratch, meter);
        !checked)
        return std::unexpected(std::move(checked.error()));
    if (tie) return std::unexpected(Error::MatchAmbiguous{std::move(tie->first), std::move(tie->second)});
    return StarMatch{std::move(kept), c_best >= runner_up ? c_best - runner_up : 0};
}

}  // namespace halvane
