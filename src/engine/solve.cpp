#include "solve.hpp"

#include <algorithm>
#include <cmath>

#include "numeric.hpp"

namespace halvane {

namespace {

// Symmetric 2x2 normal matrix of the north/east equations.
struct Normal2 {
    double nn = 0.0;
    double ne = 0.0;
    double ee = 0.0;

    void add(double weight, double cos_z, double sin_z) noexcept {
        nn += weight * cos_z * cos_z;
        ne += weight * cos_z * sin_z;
        ee += weight * sin_z * sin_z;
    }

    // Its inverse, or none when it is too close to singular to trust.
    std::optional<Covariance2> inverse() const noexcept {
        const double det = nn * ee - ne * ne;
        const double frobenius_squared = nn * nn + 2.0 * ne * ne + ee * ee;
        if (!std::isfinite(det) || frobenius_squared == 0.0 ||
            std::fabs(det) < frobenius_squared * 1e-12 || det == 0.0)
            return std::nullopt;
        return Covariance2{ee / det, -ne / det, -ne / det, nn / det};
    }
};

}  // namespace

AltAzimuth computed_alt_azimuth(double ra, double dec, double gmst, double lat,
                                double lon) noexcept {
    const double hour_angle = gmst + lon - ra;
    const double sin_lat = std::sin(lat), cos_lat = std::cos(lat);
    const double sin_dec = std::sin(dec), cos_dec = std::cos(dec);
    const double cos_h = std::cos(hour_angle);
    const double sin_alt = sin_lat * sin_dec + cos_lat * cos_dec * cos_h;
    return {std::asin(std::clamp(sin_alt, -1.0, 1.0)),
            std::atan2(-cos_dec * std::sin(hour_angle), cos_lat * sin_dec - sin_lat * cos_dec * cos_h)};
}

double sight_residual(const Sight& sight, double gmst, double lat, double lon) noexcept {
    return sight.altitude - computed_alt_azimuth(sight.ra, sight.dec, gmst, lat, lon).altitude;
}

Result<RefinedFix> refine_fix(std::span<const Sight> sights, double gmst, double lat0,
                              double lon0) noexcept {
    if (sights.size() < 2) return std::unexpected(Error::InsufficientStars{2, sights.size()});
    constexpr std::size_t kMaxIterations = 20;
    double lat = lat0;
    double lon = lon0;
    for (std::size_t iteration = 1;; ++iteration) {
        Normal2 normal;
        double g_north = 0.0;
        double g_east = 0.0;
        for (const Sight& sight : sights) {
            const AltAzimuth computed = computed_alt_azimuth(sight.ra, sight.dec, gmst, lat, lon);
            const double residual = sight.altitude - computed.altitude;
            const double weight = 1.0 / (sight.sigma * sight.sigma);
            const double cos_z = std::cos(computed.azimuth);
            const double sin_z = std::sin(computed.azimuth);
            normal.add(weight, cos_z, sin_z);
            g_north += weight * residual * cos_z;
            g_east += weight * residual * sin_z;
        }
        const std::optional<Covariance2> covariance = normal.inverse();
        if (!covariance) return std::unexpected(Error::SingularGeometry{});
        const auto [c_nn, c_ne, c_en, c_ee] = *covariance;
        const double d_north = c_nn * g_north + c_ne * g_east;
        const double d_east = c_en * g_north + c_ee * g_east;
        lat += d_north;
        lon += d_east / std::cos(lat);
        // A step across a pole lands on the far meridian, not beyond 90.
        if (lat > kHalfPi || lat < -kHalfPi) {
            lat = std::copysign(kPi, lat) - lat;
            lon += kPi;
        }
        // A NaN step compares false and so never counts as converged.
        const bool converged = std::sqrt(d_north * d_north + d_east * d_east) < 1e-9;
        if (converged || iteration == kMaxIterations) return RefinedFix{*covariance, lat, lon, iteration};
    }
}

Ellipse2Sigma covariance_ellipse_2sigma(const Covariance2& covariance) noexcept {
    const double a = covariance[0];
    const double b = covariance[1];
    const double c = covariance[3];
    const double mean = (a + c) / 2.0;
    const double radius = std::sqrt(b * b + (a - c) * (a - c) / 4.0);
    // A circle has no major axis; left alone, atan2 would turn rounding
    // noise (cos(pi/2) is 6e-17, not 0) into an arbitrary +-45 degrees.
    const bool circle = radius <= std::fabs(mean) * 1e-12;
    return {2.0 * std::sqrt(max_ignoring_nan(mean + radius, 0.0)) * kNmPerRad,
            2.0 * std::sqrt(max_ignoring_nan(mean - radius, 0.0)) * kNmPerRad,
            circle ? 0.0 : std::atan2(2.0 * b, a - c) / 2.0 * kRadToDeg};
}

std::optional<Ellipse2Sigma> azimuth_ellipse_2sigma(std::span<const double> azimuths,
                                                    double sigma) noexcept {
    const double weight = 1.0 / (sigma * sigma);
    Normal2 normal;
    for (double azimuth : azimuths) normal.add(weight, std::cos(azimuth), std::sin(azimuth));
    const std::optional<Covariance2> covariance = normal.inverse();
    if (!covariance) return std::nullopt;
    return covariance_ellipse_2sigma(*covariance);
}

double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg,
                       double lon2_deg) noexcept {
    const double lat1 = lat1_deg * kDegToRad;
    const double lon1 = lon1_deg * kDegToRad;
    const double lat2 = lat2_deg * kDegToRad;
    const double lon2 = lon2_deg * kDegToRad;
    const double sin_half_dlat = std::sin((lat2 - lat1) / 2.0);
    const double sin_half_dlon = std::sin((lon2 - lon1) / 2.0);
    const double haversine =
        sin_half_dlat * sin_half_dlat + std::cos(lat1) * std::cos(lat2) * sin_half_dlon * sin_half_dlon;
    const double angle = 2.0 * std::asin(std::sqrt(haversine));
    return rad_to_arcmin(angle);
}

double refraction_rad(double apparent_altitude) noexcept {
    const double h_deg = apparent_altitude * kRadToDeg;
    const double arcmin = max_ignoring_nan(1.0 / std::tan((h_deg + 7.31 / (h_deg + 4.4)) * kDegToRad), 0.0);
    return arcmin_to_rad(arcmin);
}

}  // namespace halvane
