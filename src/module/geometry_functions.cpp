// precess_vector, sun_apparent_jd, great_circle_nm and covariance_ellipse:
// the engine's own geometry and ephemeris formulae, for callers that want
// to reproduce intermediate quantities.
#include <array>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "ephemeris.hpp"
#include "frame.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "solve.hpp"

namespace halvane::py {

namespace {

constexpr auto kPrecessVectorSig = signature("precess_vector", {{"jd_tt"}, {"v"}});
constexpr auto kSunApparentJdSig = signature("sun_apparent_jd", {{"jd"}});
constexpr auto kGreatCircleNmSig =
    signature("great_circle_nm", {{"lat1_deg"}, {"lon1_deg"}, {"lat2_deg"}, {"lon2_deg"}});
constexpr auto kCovarianceEllipseSig = signature("covariance_ellipse", {{"azimuths_deg"}, {"sigma_arcmin"}});

PyObject* precess_vector_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    double jd_tt = 0.0;
    Vec3 v{};
    if (!bind<kPrecessVectorSig>(args, kwargs, arg<"jd_tt">(jd_tt), arg<"v">(v))) return nullptr;
    const Vec3 p = precession_matrix(jd_tt) * v;
    return Py_BuildValue("[ddd]", p[0], p[1], p[2]);
}

PyObject* sun_apparent_jd_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    double jd = 0.0;
    if (!bind<kSunApparentJdSig>(args, kwargs, arg<"jd">(jd))) return nullptr;
    const EquatorialPosition sun = sun_apparent(jd);
    return Py_BuildValue("(dd)", sun.ra, sun.dec);
}

PyObject* great_circle_nm_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    double lat1 = 0.0, lon1 = 0.0, lat2 = 0.0, lon2 = 0.0;
    if (!bind<kGreatCircleNmSig>(args, kwargs, arg<"lat1_deg">(lat1), arg<"lon1_deg">(lon1), arg<"lat2_deg">(lat2),
                                 arg<"lon2_deg">(lon2)))
        return nullptr;
    return PyFloat_FromDouble(great_circle_nm(lat1, lon1, lat2, lon2));
}

PyObject* covariance_ellipse_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    std::vector<double> azimuths;
    double sigma_arcmin = 0.0;
    if (!bind<kCovarianceEllipseSig>(args, kwargs, arg<"azimuths_deg">(azimuths), arg<"sigma_arcmin">(sigma_arcmin)))
        return nullptr;
    if (azimuths.size() < 2) return raise_halvane_error("need at least two azimuths");
    for (double& azimuth : azimuths) azimuth *= kDegToRad;
    const double sigma = arcmin_to_rad(sigma_arcmin);
    const auto ellipse = azimuth_ellipse_2sigma(azimuths, sigma);
    if (!ellipse) return raise_halvane_error("singular geometry: parallel lines of position");
    return Py_BuildValue("(ddd)", ellipse->semi_major_nm, ellipse->semi_minor_nm, ellipse->orientation_deg);
}

PyMethodDef precess_vector_def = method_def<precess_vector_impl, kPrecessVectorSig>(
    R"(Precess a J2000 equatorial unit vector to the mean equator of date.
v is three floats (not normalised); returns the list P * v, P the IAU 1976
precession matrix for the Julian Date jd_tt.)");

PyMethodDef sun_apparent_jd_def = method_def<sun_apparent_jd_impl, kSunApparentJdSig>(
    R"(Apparent (of-date) right ascension and declination of the Sun, in radians, for a
Julian Date: a tuple (ra, dec) with ra in [0, 2*pi).)");

PyMethodDef great_circle_nm_def = method_def<great_circle_nm_impl, kGreatCircleNmSig>(
    R"(Great-circle distance between two lat/lon points (degrees) in nautical miles,
one arcminute of arc each: the unit FixTracker measures its distance bound in.)");

PyMethodDef covariance_ellipse_def = method_def<covariance_ellipse_impl, kCovarianceEllipseSig>(
    R"(The 2-sigma covariance ellipse (semi_major_nm, semi_minor_nm, orientation_deg) of a
fix from lines of position at the given sight azimuths (degrees from north through
east), each with standard deviation sigma_arcmin. orientation_deg is the major axis
from north toward east, in [-90, 90]. Raises HalvaneError for fewer than two
azimuths or for parallel lines of position.)");

}  // namespace

HALVANE_REGISTRATIONS(geometry_registrations, exported_function(8, precess_vector_def, "list[float]"),
                                              exported_function(12, great_circle_nm_def, "float"),
                                              exported_function(13, covariance_ellipse_def, "tuple[float, float, float]"),
                                              exported_function(20, sun_apparent_jd_def, "tuple[float, float]"))

}  // namespace halvane::py
