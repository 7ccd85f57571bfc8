#include "support.hpp"
#include "time.hpp"

namespace halvane {
namespace {

TEST(Precession, IdentityAtJ2000AndAQuarterCenturyAfter) {
    const Mat3 identity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    const Mat3 quarter = {{
        {0.999981420817, -0.005590818971, -0.002429149035},
        {0.00559081897, 0.999984371226, -0.000006790821},
        {0.002429149037, -0.000006790238, 0.99999704959},
    }};
    for (const auto& [years, expected] : {std::pair{0.0, identity}, {25.0, quarter}}) {
        const Mat3 p = precession_matrix(kJ2000 + years / 100.0 * kDaysPerJulianCentury);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(p[i][j], expected[i][j], years == 0.0 ? 0.0 : 1e-12) << i << j;
    }
}

}  // namespace
}  // namespace halvane
