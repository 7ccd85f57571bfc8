#include "error.hpp"
#include "support.hpp"

namespace halvane {
namespace {

TEST(ErrorText, EveryKind) {
    const struct { Error error; const char* text; } cases[] = {
        {Error::InsufficientStars{3, 2}, "insufficient stars: needed 3, got 2"},
        {Error::MatchAmbiguous{Correspondences(9), Correspondences(4)},
         "star pattern match is ambiguous: 9 vs 4 correspondences"},
        {Error::NoMatch{}, "no star pattern match found"},
        {Error::SingularGeometry{}, "observation geometry is singular"},
        {Error::BadImage{"mask shape differs"}, "bad image: mask shape differs"},
        {Error::DegenerateUp{}, "up vector is degenerate: zero length or non-finite"},
        {Error::BadPosition{"latitude out of range"}, "bad position: latitude out of range"},
        {Error::CatalogFormat{"bad magic"}, "catalog format error: bad magic"},
        {Error::Io{"No such file or directory (os error 2)"}, "i/o error: No such file or directory (os error 2)"},
        {Error::ThinLock{Error::kThinLockTooFewStars, 5, 2, 0.0001234},
         "thin lock: fewer matched stars than the configured minimum (matched 5 stars, margin 2, "
         "residual rms 0.000123 rad)"},
        {Error::ThinLock{Error::kThinLockResidualTooHigh, 4, 1, 0.0123456789},
         "thin lock: residual rms above the configured maximum (matched 4 stars, margin 1, "
         "residual rms 0.012346 rad)"},
        // Large counts are plain decimal.
        {Error::InsufficientStars{18446744073709551615ULL, 1000000},
         "insufficient stars: needed 18446744073709551615, got 1000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

}  // namespace
}  // namespace halvane
