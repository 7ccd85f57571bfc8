#include "attitude.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

namespace halvane {

Result<Mat3> solve_wahba(std::span<const Vec3> a, std::span<const Vec3> b) {
    if (a.size() != b.size() || a.size() < 2)
        return std::unexpected(Error::InsufficientStars{2, std::min(a.size(), b.size())});

    Eigen::Matrix3d profile = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < a.size(); ++i)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) profile(r, c) += a[i][r] * b[i][c];

    // Jacobi SVD: accurate on 3x3, singular values in descending order.
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(profile, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Matrix3d& u = svd.matrixU();
    const Eigen::Matrix3d& v = svd.matrixV();
    const double smallest = svd.singularValues()(2);
    // A NaN anywhere in the input shows up here and is refused too.
    if (!u.allFinite() || !v.allFinite() || !(smallest >= 1e-9))
        return std::unexpected(Error::SingularGeometry{});

    // det(V^T) = det(V). The sign bit decides, so -0 counts as negative.
    const double d = std::signbit(u.determinant() * v.determinant()) ? -1.0 : 1.0;
    const Eigen::Matrix3d rotation = v * Eigen::Vector3d(1.0, 1.0, d).asDiagonal() * u.transpose();

    Mat3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = rotation(r, c);
    return out;
}

}  // namespace halvane
