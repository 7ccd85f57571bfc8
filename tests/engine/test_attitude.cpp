#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "attitude.hpp"
#include "support.hpp"

namespace halvane {
namespace {

using testing::rotation_about;

double determinant(const Mat3& m) { return dot(m[0], cross(m[1], m[2])); }

TEST(SolveWahba, RecoversANoiseFreeRotation) {
    const Mat3 q = rotation_about({0.3, -0.5, 0.8}, 1.234);
    const std::vector<Vec3> a{normalized({1, 0.2, 0.1}), normalized({-0.3, 1, 0.4}),
                              normalized({0.2, -0.1, 1}), normalized({0.5, 0.5, 0.5})};
    std::vector<Vec3> b;
    for (const Vec3& v : a) b.push_back(q * v);
    const auto r = solve_wahba(a, b);
    ASSERT_TRUE(r.has_value());
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR((*r)[i][j], q[i][j], 1e-12);
}

TEST(SolveWahba, PointReflectionGivesAProperRotation) {
    const std::vector<Vec3> a{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, normalized({1, 1, 1})};
    std::vector<Vec3> b;
    for (const Vec3& v : a) b.push_back(scaled(v, -1.0));
    const auto r = solve_wahba(a, b);
    ASSERT_TRUE(r.has_value());
    EXPECT_NEAR(determinant(*r), 1.0, 1e-12);
    const Mat3 rtr = transposed(*r) * *r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(rtr[i][j], i == j ? 1.0 : 0.0, 1e-12);
}

TEST(SolveWahba, Refusals) {
    const std::vector<Vec3> three{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const std::vector<Vec3> four{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}};
    auto differ = solve_wahba(three, four);
    ASSERT_FALSE(differ.has_value());
    EXPECT_EQ(differ.error().message(), "insufficient stars: needed 2, got 3");

    auto single = solve_wahba(std::span(three).first(1), std::span(three).first(1));
    ASSERT_FALSE(single.has_value());
    EXPECT_EQ(single.error().message(), "insufficient stars: needed 2, got 1");

    auto two = solve_wahba(std::span(three).first(2), std::span(three).first(2));
    ASSERT_FALSE(two.has_value());
    EXPECT_TRUE(two.error().is<Error::SingularGeometry>());

    // Three directions on the equator: one great circle.
    const std::vector<Vec3> circle{{1, 0, 0}, {0, 1, 0}, normalized({1, 1, 0})};
    EXPECT_TRUE(solve_wahba(circle, circle).error().is<Error::SingularGeometry>());

    const std::vector<Vec3> with_nan{{1, 0, 0}, {0, 1, 0}, {0, 0, NAN}};
    EXPECT_TRUE(solve_wahba(with_nan, three).error().is<Error::SingularGeometry>());
}

}  // namespace
}  // namespace halvane
