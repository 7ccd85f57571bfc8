#include "attitude.hpp"
#include "support.hpp"

namespace halvane {
namespace {

double determinant(const Mat3& m) { return dot(m[0], cross(m[1], m[2])); }

// A noise-free rotation comes back; a point reflection, which no rotation
// reproduces, still gives a proper rotation.
TEST(SolveWahba, RecoversARotationAndNeverAReflection) {
    const Mat3 q = testing::rotation_about({0.3, -0.5, 0.8}, 1.234);
    const std::vector<Vec3> a{normalized({1, 0.2, 0.1}), normalized({-0.3, 1, 0.4}), normalized({0.2, -0.1, 1}),
                              normalized({0.5, 0.5, 0.5})};
    for (const bool reflect : {false, true}) {
        std::vector<Vec3> b;
        for (const Vec3& v : a) b.push_back(reflect ? scaled(v, -1.0) : q * v);
        const auto r = solve_wahba(a, b);
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(determinant(*r), 1.0, 1e-12);
        const Mat3 rtr = transposed(*r) * *r;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(rtr[i][j], i == j ? 1.0 : 0.0, 1e-12);
                if (!reflect) {
                    EXPECT_NEAR((*r)[i][j], q[i][j], 1e-12);
                }
            }
    }
}

TEST(SolveWahba, Refusals) {
    const std::vector<Vec3> three{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const std::vector<Vec3> four{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}};
    // Three directions on the equator lie on one great circle.
    const std::vector<Vec3> circle{{1, 0, 0}, {0, 1, 0}, normalized({1, 1, 0})};
    const std::vector<Vec3> with_nan{{1, 0, 0}, {0, 1, 0}, {0, 0, NAN}};
    const std::span<const Vec3> one = std::span(three).first(1), two = std::span(three).first(2);
    const char* singular = "observation geometry is singular";
    const struct { std::span<const Vec3> a, b; const char* text; } cases[] = {
        {three, four, "insufficient stars: needed 2, got 3"}, {one, one, "insufficient stars: needed 2, got 1"},
        {two, two, singular}, {circle, circle, singular}, {with_nan, three, singular},
    };
    for (const auto& c : cases) EXPECT_EQ(testing::refusal(solve_wahba(c.a, c.b)), c.text);
}

}  // namespace
}  // namespace halvane
