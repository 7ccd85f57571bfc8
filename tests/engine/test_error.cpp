#include "error.hpp"
#include "support.hpp"

namespace halvane {
namespace {

Correspondences pairs(std::size_t n) {
    Correspondences out;
    for (std::size_t i = 0; i < n; ++i) out.push_back({i, 100 + i});
    return out;
}

TEST(ErrorText, EveryKind) {
    const struct {
        Error error;
        const char* text;
    } cases[] = {
        {Error::InsufficientStars{3, 2}, "insufficient stars: needed 3, got 2"},
        {Error::MatchAmbiguous{pairs(7), pairs(7)},
         "star pattern match is ambiguous: 7 vs 7 correspondences"},
        {Error::MatchAmbiguous{pairs(9), pairs(4)},
         "star pattern match is ambiguous: 9 vs 4 correspondences"},
        {Error::NoMatch{}, "no star pattern match found"},
        {Error::SingularGeometry{}, "observation geometry is singular"},
        {Error::BadImage{"mask shape differs"}, "bad image: mask shape differs"},
        {Error::BadImage{""}, "bad image: "},
        {Error::DegenerateUp{}, "up vector is degenerate: zero length or non-finite"},
        {Error::BadPosition{"latitude out of range"}, "bad position: latitude out of range"},
        {Error::CatalogFormat{"bad magic"}, "catalog format error: bad magic"},
        {Error::Io{"No such file or directory (os error 2)"},
         "i/o error: No such file or directory (os error 2)"},
        {Error::ThinLock{Error::kThinLockTooFewStars, 5, 2, 0.0001234},
         "thin lock: fewer matched stars than the configured minimum (matched 5 stars, margin 2, "
         "residual rms 0.000123 rad)"},
        {Error::ThinLock{Error::kThinLockResidualTooHigh, 12, 0, 0.0},
         "thin lock: residual rms above the configured maximum (matched 12 stars, margin 0, "
         "residual rms 0.000000 rad)"},
        {Error::ThinLock{Error::kThinLockResidualTooHigh, 4, 1, 0.0123456789},
         "thin lock: residual rms above the configured maximum (matched 4 stars, margin 1, "
         "residual rms 0.012346 rad)"},
        // Large counts are plain decimal.
        {Error::InsufficientStars{18446744073709551615ULL, 1000000},
         "insufficient stars: needed 18446744073709551615, got 1000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
    // A tie carries both lists whole.
    const Error tie = Error::MatchAmbiguous{pairs(3), pairs(2)};
    ASSERT_NE(tie.get_if<Error::MatchAmbiguous>(), nullptr);
    EXPECT_EQ(tie.get_if<Error::MatchAmbiguous>()->winner, pairs(3));
    EXPECT_EQ(tie.get_if<Error::MatchAmbiguous>()->rival, pairs(2));
    EXPECT_FALSE(tie.is<Error::NoMatch>());
}

}  // namespace
}  // namespace halvane
