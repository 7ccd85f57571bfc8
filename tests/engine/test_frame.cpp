#include <gtest/gtest.h>

#include "frame.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(Precession, IdentityAtJ2000) {
    const Mat3 p = precession_matrix(kJ2000);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(p[i][j], i == j ? 1.0 : 0.0) << i << j;
}

TEST(Precession, QuarterCenturyAfterJ2000) {
    const Mat3 p = precession_matrix(kJ2000 + 0.25 * kDaysPerJulianCentury);
    const Mat3 expected = {{
        {0.999981420817, -0.005590818971, -0.002429149035},
        {0.00559081897, 0.999984371226, -0.000006790821},
        {0.002429149037, -0.000006790238, 0.99999704959},
    }};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(p[i][j], expected[i][j], 1e-12) << i << j;
}

}  // namespace
}  // namespace halvane
