#include <gtest/gtest.h>

#include <cmath>

#include "frame.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(Precession, IdentityAtJ2000) {
    const Mat3 p = precession_matrix(kJ2000);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(p[i][j], i == j ? 1.0 : 0.0) << i << j;
    EXPECT_EQ((p * Vec3{1.0, 0.0, 0.0}), (Vec3{1.0, 0.0, 0.0}));
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

TEST(Precession, OrthonormalAndLengthPreserving) {
    for (double jd : {2415020.0, 2440000.5, 2460000.5, 2488070.0, 2000000.0}) {
        const Mat3 p = precession_matrix(jd);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const double dot = p[i][0] * p[j][0] + p[i][1] * p[j][1] + p[i][2] * p[j][2];
                EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-15) << jd << " " << i << j;
            }
        }
        const double s = 1.0 / std::sqrt(3.0);
        const Vec3 v = p * Vec3{s, -s, s};
        EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1.0, 1e-15) << jd;
    }
}

TEST(Precession, PoleMovesTheRightWay) {
    // Over a century the J2000 pole moves about 0.557 degree toward
    // right ascension 0 on the mean equator of date.
    const Vec3 pole = precession_matrix(kJ2000 + kDaysPerJulianCentury) * Vec3{0.0, 0.0, 1.0};
    EXPECT_NEAR(std::acos(pole[2]) * 57.29577951308232, 0.5567, 1e-3);
    EXPECT_LT(pole[0], 0.0);
}

}  // namespace
}  // namespace halvane
