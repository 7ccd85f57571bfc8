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

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// The largest chance of an identification as good as the winner's arising
// from unrelated stars that the confidence checks accept.
constexpr double kMaxChance = 0.001;
// The largest chance of the winner's hits lying as close to their stars as
// they do. Far below kMaxChance: chance hits scatter over the whole
// tolerance, so a loose fit must be far less likely by count alone, while a
// true pattern's hits lie within the centroid error and pass by orders of
// magnitude. Measured on random pointings of 8-20 degrees (deep catalogue,
// 4 arcminutes): true fields at most 2e-10 with 0.3 px of centroid noise,
// 3e-8 with 1 px; the random detection sets that passed kMaxChance at
// least 1e-4.
constexpr double kMaxFitChance = 1e-7;
// A hypothesis's attitude (a 3x3 singular value decomposition) costs about
// as much as this many of the meter's other steps.
constexpr std::uint64_t kAttitudeSteps = 64;
// A grid cell visited (a wrapped index and a copy) against a star examined.
constexpr std::uint64_t kCellSteps = 4;

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

// The chance that a random direction lies within `radius` of some star:
// the share of the sphere the stars' caps cover.
double chance_of_a_hit(const Catalog& catalog, double radius) {
    return std::clamp((1.0 - std::cos(radius)) * static_cast<double>(catalog.stars.size()) * 0.5, 0.0, 1.0);
}

// The chance of hits as close to their stars as `offsets` (one angle per
// hit, triangle included) among `trials` detections beyond the triangle,
// times `tries`: for each j, that j - 3 hits land within the j-th smallest
// offset (the three smallest standing for the triangle), the least of
// these times the number of choices of j. So a hit or two from false
// detections, or a star off the lens model, cannot mask a close fit.
double fit_chance(std::span<const double> offsets, std::size_t trials, double tries, const Catalog& catalog,
                  double t) {
    if (offsets.size() < 4) return 1.0;
    std::vector<double> sorted(offsets.size());
    // A NaN offset counts as the whole tolerance.
    std::transform(offsets.begin(), offsets.end(), sorted.begin(), [t](double r) { return std::fmin(t, r); });
    std::sort(sorted.begin(), sorted.end());
    double least = 1.0;
    for (std::size_t j = 4; j <= sorted.size(); ++j)
        least = std::fmin(least, binomial_tail(j - 3, trials, chance_of_a_hit(catalog, sorted[j - 1])));
    return least * tries * static_cast<double>(sorted.size() - 3);
}

// Cosine of the rotation angle between two attitudes: (trace(a^T b) - 1) / 2.
double rotation_cosine(const Mat3& a, const Mat3& b) {
    double trace = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) trace += a[i][j] * b[i][j];
    return (trace - 1.0) / 2.0;
}

}  // namespace

namespace {

// The confidence checks with the caller's triangle windows: the mirror
// image has the same sides as the detections the search just used.
Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                const SearchEvidence& evidence, std::span<const double> fit_offsets,
                                TriangleScratch& scratch, WorkMeter& meter);

}  // namespace

Result<void> confidence_checks(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                               const StarGrid& grid, std::size_t triangle_stars, double t,
                               const SearchEvidence& evidence, std::span<const double> fit_offsets) {
    TriangleScratch scratch;
    scratch.prepare(std::min(triangle_stars, vectors.size()));
    WorkMeter meter;
    return checked_confidence(count, vectors, catalog, grid, triangle_stars, t, evidence, fit_offsets, scratch,
                              meter);
}

namespace {

Result<void> checked_confidence(std::size_t count, std::span<const Vec3> vectors, const Catalog& catalog,
                                const StarGrid& grid, std::size_t triangle_stars, double t,
                                const SearchEvidence& evidence, std::span<const double> fit_offsets,
                                TriangleScratch& scratch, WorkMeter& meter) {
    const std::size_t n = vectors.size();
    if (count < 4 || n < 3) return std::unexpected(Error::NoMatch{});

    // The three triangle detections match by construction; every other
    // detection, searched or only checked, lands on a star by chance with
    // probability p. The winner is the best of every hypothesis verified,
    // so its chance is that of any of them doing as well.
    const std::size_t trials = n + evidence.checked - 3;
    const double tries = static_cast<double>(std::max<std::size_t>(evidence.hypotheses, 1));
    const double chance =
        binomial_tail(count + evidence.checked_matched - 3, trials, chance_of_a_hit(catalog, t)) * tries;
    if (!(chance <= kMaxChance)) return std::unexpected(Error::NoMatch{});
    // With an offset for every hit, the closeness chance is at most the
    // count's times the choices of j: a count that small needs no scan.
    const std::size_t hits = count + evidence.checked_matched;
    const bool close_enough_by_count =
        fit_offsets.size() >= hits && chance * static_cast<double>(fit_offsets.size() - 3) <= kMaxFitChance;
    if (!fit_offsets.empty() && !close_enough_by_count &&
        !(fit_chance(fit_offsets, trials, tries, catalog, t) <= kMaxFitChance))
        return std::unexpected(Error::NoMatch{});

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


}  // namespace

namespace {

// One verified hypothesis: its correspondences and their summed angular
// residual.
struct Candidate {
    Correspondences correspondences;
    double residual = 0.0;
};

// The vote among verified hypotheses. The most correspondences win; among
// equal counts, one identification (same stars, or an attitude that agrees)
// keeps the smaller residual, and disagreeing ones tie unless one residual
// is clearly smaller.
class Vote {
public:
    // A rival of equal count whose residual is below this fraction of the
    // other's wins outright; nearer than that, the two tie.
    static constexpr double kClearResidualRatio = 0.7;

    Vote(std::span<const Vec3> vectors, const Catalog& catalog, double t)
        : vectors_(vectors),
          catalog_(catalog),
          cos_t_(std::cos(t)),
          // Attitudes closer than half the tolerance put every detection
          // within half a tolerance of the same place: one identification.
          cos_same_attitude_(std::cos(t / 2.0)),
          star_of_detection_(vectors.size(), kNone),
          disputed_(vectors.size(), 0) {}

    // The candidate the next verification fills; consider() then counts it.
    Candidate& current() noexcept { return current_; }

    // A count of 3 or less is dropped, and one that neither reaches the
    // best nor beats the runner-up changes nothing: verification may stop
    // as soon as the count is sure to be one of those.
    std::size_t pointless_up_to() const noexcept {
        if (!has_best_) return 3;
        return std::max<std::size_t>(3, std::min(runner_up_, best_.correspondences.size() - 1));
    }

    void consider() {
        const std::size_t c = current_.correspondences.size();
        if (c < 4) return;
        if (!has_best_) {
            take_current();
            has_best_ = true;
            return;
        }
        const std::size_t c_best = best_.correspondences.size();
        if (c > c_best) {
            runner_up_ = std::max(runner_up_, c_best);
            take_current();
        } else if (c < c_best) {
            runner_up_ = std::max(runner_up_, c);
        } else if (same_identification()) {
            keep_smaller_residual();
        } else if (same_attitude()) {
            mark_disputed();
            keep_smaller_residual();
        } else {
            runner_up_ = std::max(runner_up_, c_best);
            if (current_.residual < kClearResidualRatio * best_.residual) {
                take_current();
            } else if (!(best_.residual < kClearResidualRatio * current_.residual)) {
                tie_.emplace(best_.correspondences, current_.correspondences);
            }
        }
    }

    bool has_best() const noexcept { return has_best_; }
    bool tied() const noexcept { return tie_.has_value(); }
    std::size_t runner_up() const noexcept { return runner_up_; }

    // The correspondences judged: the tie's winner, or the best's.
    const Correspondences& judged() const noexcept { return tie_ ? tie_->first : best_.correspondences; }

    // The judged correspondences without the disputed detections (a tie
    // keeps them all).
    Correspondences kept() const {
        Correspondences out;
        for (const Correspondence& c : judged())
            if (tie_ || !disputed_[c.detection]) out.push_back(c);
        return out;
    }

    Error::MatchAmbiguous take_tie() { return {std::move(tie_->first), std::move(tie_->second)}; }

    // Attitude from every correspondence of a candidate (detections onto the
    // stars' stored unit vectors).
    Result<Mat3> attitude(const Correspondences& correspondences) {
        camera_.clear();
        sky_.clear();
        for (const Correspondence& c : correspondences) {
            camera_.push_back(vectors_[c.detection]);
            sky_.push_back(catalog_.stars[c.catalog_index].unit);
        }
        return solve_wahba(camera_, sky_);
    }

private:
    void take_current() {
        std::swap(best_, current_);
        std::fill(disputed_.begin(), disputed_.end(), 0);
        tie_.reset();
    }

    void keep_smaller_residual() {
        if (current_.residual < best_.residual) std::swap(best_, current_);
    }

    bool same_star(std::size_t a, std::size_t b) const {
        return a == b || dot(catalog_.stars[a].unit, catalog_.stars[b].unit) > cos_t_;
    }

    // Every correspondence of the best has one for the same detection in
    // the current candidate, to the same star or one closer than the
    // tolerance.
    bool same_identification() {
        note_current();
        bool same = true;
        for (const Correspondence& c : best_.correspondences) {
            const std::size_t other = star_of_detection_[c.detection];
            if (other == kNone || !same_star(other, c.catalog_index)) {
                same = false;
                break;
            }
        }
        forget_current();
        return same;
    }

    bool same_attitude() {
        const auto rb = attitude(best_.correspondences);
        if (!rb) return false;
        const auto rh = attitude(current_.correspondences);
        return rh && rotation_cosine(*rb, *rh) > cos_same_attitude_;
    }

    // Marks the detections that the best and the current candidate do not
    // both give the same star.
    void mark_disputed() {
        note_current();
        for (const Correspondence& c : best_.correspondences) {
            const std::size_t other = star_of_detection_[c.detection];
            if (other == kNone || !same_star(other, c.catalog_index)) disputed_[c.detection] = 1;
            star_of_detection_[c.detection] = kNone;
        }
        for (const Correspondence& c : current_.correspondences) {
            if (star_of_detection_[c.detection] != kNone) disputed_[c.detection] = 1;  // not in the best
            star_of_detection_[c.detection] = kNone;
        }
    }

    void note_current() {
        for (const Correspondence& c : current_.correspondences) star_of_detection_[c.detection] = c.catalog_index;
    }
    void forget_current() {
        for (const Correspondence& c : current_.correspondences) star_of_detection_[c.detection] = kNone;
    }

    std::span<const Vec3> vectors_;
    const Catalog& catalog_;
    double cos_t_;
    double cos_same_attitude_;
    Candidate best_, current_;
    bool has_best_ = false;
    std::size_t runner_up_ = 0;
    std::optional<std::pair<Correspondences, Correspondences>> tie_;
    std::vector<std::size_t> star_of_detection_;  // kNone between uses
    // Detections on which equal-count candidates of the best's attitude name
    // different stars: left out of the result.
    std::vector<std::uint8_t> disputed_;
    std::vector<Vec3> camera_, sky_;  // attitude scratch
};

// How many of the `check` detections the attitude puts on a catalogue star
// not among the judged correspondences' stars; each one's angle from its
// star goes to `offsets`.
std::size_t checked_matches(const Mat3& attitude, std::span<const Vec3> check, const Correspondences& judged,
                            Verifier& verifier, std::vector<double>& offsets) {
    verifier.reset();
    for (const Correspondence& c : judged) verifier.take(c.catalog_index);
    std::size_t matched = 0;
    for (const Vec3& v : check) {
        double d = 0.0;
        const std::size_t s = verifier.nearest_untaken(attitude * v, d);
        if (s == kNone) continue;
        verifier.take(s);
        offsets.push_back(std::acos(clamp_unit(d)));
        ++matched;
    }
    return matched;
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
    const bool shared_grid = catalog.grid != nullptr && !(t > StarGrid::kMinCellAngle);
    const StarGrid own_grid = shared_grid ? StarGrid{} : build_star_grid(catalog, t);
    const StarGrid& grid = shared_grid ? *catalog.grid : own_grid;
    if (triangle_stars == 0) return std::unexpected(Error::NoMatch{});
    const std::size_t m = std::min(triangle_stars, n);

    Vote vote(vectors, catalog, t);
    std::size_t hypotheses_verified = 0;
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
            Candidate& current = vote.current();
            if (verifier.verify(*rotation, vectors, vote.pointless_up_to(), current.correspondences,
                                current.residual))
                vote.consider();
        }
    });
    // A search cut short may have missed a rival that ties or beats the best.
    if (!vote.has_best() || meter.stopped()) return std::unexpected(Error::NoMatch{});

    // How the winner's attitude (from its undisputed correspondences)
    // fares on the detections the search never looked at.
    Correspondences kept = vote.kept();
    SearchEvidence evidence{hypotheses_verified, check.size(), 0};
    if (kept.size() < 4) return std::unexpected(Error::NoMatch{});
    // Every hit's angle from its star under that attitude; without one,
    // each counts as the whole tolerance.
    std::vector<double> offsets;
    if (const auto attitude = vote.attitude(kept)) {
        for (const Correspondence& c : vote.judged())
            offsets.push_back(
                std::acos(clamp_unit(dot(*attitude * vectors[c.detection], catalog.stars[c.catalog_index].unit))));
        if (!check.empty())
            evidence.checked_matched = checked_matches(*attitude, check, vote.judged(), verifier, offsets);
    } else {
        offsets.assign(vote.judged().size(), t);
    }

    const std::size_t c_best = vote.judged().size();
    if (auto checked =
            checked_confidence(c_best, vectors, catalog, grid, triangle_stars, t, evidence, offsets, scratch,
                               meter);
        !checked)
        return std::unexpected(std::move(checked.error()));
    if (vote.tied()) return std::unexpected(vote.take_tie());
    return StarMatch{std::move(kept), c_best >= vote.runner_up() ? c_best - vote.runner_up() : 0};
}

}  // namespace halvane
