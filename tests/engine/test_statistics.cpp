#include <bit>
#include <functional>

#include "statistics.hpp"
#include "support.hpp"

namespace halvane {
namespace {

// Element k of a copy sorted under the total order.
double sorted_at(std::vector<double> values, std::size_t k) {
    std::sort(values.begin(), values.end(), total_order_less);
    return values[k];
}

struct Sample {
    std::string name;
    std::function<double(XorShift64Star&, std::size_t)> draw;
};

// Distributions that stress the bucket bounds: a median near zero with both
// signed zeros, heavy ties, one-sided and skewed values, tiny magnitudes.
std::vector<Sample> samples() {
    return {
        {"noise", [](XorShift64Star& r, std::size_t) { return 7.0 * r.normal() + 0.3; }},
        {"signed zeros and ties",
         [](XorShift64Star& r, std::size_t i) { return i % 3 == 0 ? (i % 2 ? -0.0 : 0.0) : std::round(r.normal()); }},
        {"negative skew", [](XorShift64Star& r, std::size_t) { return -std::exp(3.0 * r.uniform()) - 5.0; }},
        {"tiny", [](XorShift64Star& r, std::size_t) { return 1e-300 * r.normal(); }},
        {"sparse outliers",
         [](XorShift64Star& r, std::size_t i) { return i % 50 == 0 ? 1e6 * r.normal() : r.uniform(); }},
    };
}

TEST(Statistics, MedianDeviationInTwoPassesMatchesSorting) {
    for (const Sample& s : samples())
        for (std::size_t n : {1u, 2u, 7u, 1000u, 40001u}) {
            XorShift64Star rng(n);
            std::vector<double> values(n);
            for (std::size_t i = 0; i < n; ++i) values[i] = s.draw(rng, i);
            const double median = sorted_at(values, n / 2);
            std::vector<double> deviations;
            for (double v : values) deviations.push_back(std::fabs(v - median));
            const double deviation = sorted_at(deviations, n / 2);

            KeyHistogram histogram;
            histogram.add(values.data(), nullptr, n);
            MedianDeviation two_pass;
            ASSERT_TRUE(two_pass.plan(histogram, n, 2 * n)) << s.name << " " << n;
            EXPECT_LE(two_pass.deviation_lower_bound(), deviation) << s.name << " " << n;
            two_pass.add(values.data(), n);
            const auto result = two_pass.result();
            EXPECT_EQ(result.median, median) << s.name << " " << n;
            EXPECT_EQ(result.deviation, deviation) << s.name << " " << n;

            // The general selection agrees, signed zeros included, and skips
            // flagged values.
            Selection selection;
            std::vector<std::uint8_t> flags(n, 0);
            for (std::size_t i = 0; i < n; i += 2) flags[i] = 1;
            std::vector<double> kept;
            for (std::size_t i = 1; i < n; i += 2) kept.push_back(values[i]);
            auto rows = [&](std::size_t) { return static_cast<const double*>(values.data()); };
            EXPECT_EQ(std::bit_cast<std::uint64_t>(select_rank(selection, 1, n, nullptr, n / 2, rows)),
                      std::bit_cast<std::uint64_t>(median));
            if (!kept.empty()) {
                EXPECT_EQ(select_rank(selection, 1, n, flags.data(), kept.size() / 2, rows),
                          sorted_at(kept, kept.size() / 2));
            }
        }
}

// A plan made from every fourth value, widened by a rank slack, holds what
// the exact plan needs on a fair sample and is refused on a misleading one;
// either way no wrong answer comes out. A plan that cannot be kept small is
// refused too.
TEST(Statistics, PlansAreRefusedRatherThanWrong) {
    for (bool misleading : {false, true}) {
        const std::size_t n = 40000;
        XorShift64Star rng(3);
        std::vector<double> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = 5.0 * rng.normal() + (misleading && i % 4 != 0 ? 50.0 : 0.0);
        KeyHistogram sample, all;
        for (std::size_t i = 0; i < n; i += 4) sample.add(&values[i], nullptr, 1);
        all.add(values.data(), nullptr, n);
        MedianDeviation planned, exact;
        ASSERT_TRUE(planned.plan(sample, n / 4, n, 400));
        ASSERT_TRUE(exact.plan(all, n, 2 * n));
        planned.add(values.data(), n);
        ASSERT_EQ(planned.narrow_to(exact), !misleading);
        if (misleading) continue;
        const double median = sorted_at(values, n / 2);
        std::vector<double> deviations;
        for (double v : values) deviations.push_back(std::fabs(v - median));
        const auto result = planned.result();
        EXPECT_EQ(result.median, median);
        EXPECT_EQ(result.deviation, sorted_at(deviations, n / 2));
    }
    // Values crowded into one bucket would have it hold them all: no plan.
    const std::vector<double> flat(5000, 2.0);
    KeyHistogram histogram;
    histogram.add(flat.data(), nullptr, flat.size());
    EXPECT_FALSE(MedianDeviation().plan(histogram, flat.size(), flat.size() / 8));
}

TEST(Statistics, NthU16MatchesSorting) {
    XorShift64Star rng(5);
    for (std::size_t n : {1u, 2u, 15u, 16u, 17u, 1024u, 5000u}) {
        for (int spread : {0, 3, 300, 65535}) {
            std::vector<std::uint16_t> values(n);
            for (auto& v : values)
                v = static_cast<std::uint16_t>(spread == 0 ? 4000 : 65535 - rng.next_u64() % (spread + 1));
            std::vector<std::uint16_t> sorted = values;
            std::sort(sorted.begin(), sorted.end());
            for (std::size_t k : {std::size_t{0}, n / 2, n - 1})
                EXPECT_EQ(nth_u16(values, k), sorted[k]) << n << " " << spread << " " << k;
        }
    }
}

TEST(Statistics, DeviationBoundProvesOnlyNarrowSpreads) {
    XorShift64Star rng(9);
    for (auto [sigma, proven] : {std::pair{10.0, true}, std::pair{400.0, false}}) {
        std::vector<double> values(2000);
        for (double& v : values) v = 1000.0 + sigma * rng.normal();
        DeviationBound bound(100.0);
        bound.add(values.data(), nullptr, values.size());
        EXPECT_EQ(bound.proves(values.size()), proven) << sigma;
    }
}

}  // namespace
}  // namespace halvane
