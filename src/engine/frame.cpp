#include "frame.hpp"

#include <cmath>

#include "time.hpp"

namespace halvane {

namespace {
constexpr double kRadPerArcsec = 4.84813681109536e-6;
}

Mat3 precession_matrix(double jd) noexcept {
    const double t = (jd - kJ2000) / kDaysPerJulianCentury;
    const double t2 = t * t;
    const double t3 = t2 * t;
    const double zeta = (2306.2181 * t + 0.30188 * t2 + 0.017998 * t3) * kRadPerArcsec;
    const double z = (2306.2181 * t + 1.09468 * t2 + 0.018203 * t3) * kRadPerArcsec;
    const double theta = (2004.3109 * t - 0.42665 * t2 - 0.041833 * t3) * kRadPerArcsec;
    const double cze = std::cos(zeta), sze = std::sin(zeta);
    const double cz = std::cos(z), sz = std::sin(z);
    const double cth = std::cos(theta), sth = std::sin(theta);
    return {{
        {cze * cth * cz - sze * sz, -sze * cth * cz - cze * sz, -sth * cz},
        {cze * cth * sz + sze * cz, -sze * cth * sz + cze * cz, -sth * sz},
        {cze * sth, -sze * sth, cth},
    }};
}

ObserverAxes observer_axes(double lat, double lon, double jd_ut) noexcept {
    const double theta = lon + gmst_rad(jd_ut);
    const double sin_lat = std::sin(lat), cos_lat = std::cos(lat);
    const double sin_theta = std::sin(theta), cos_theta = std::cos(theta);
    return {{cos_lat * cos_theta, cos_lat * sin_theta, sin_lat},
            {-sin_lat * cos_theta, -sin_lat * sin_theta, cos_lat},
            {-sin_theta, cos_theta, 0.0}};
}

}  // namespace halvane
