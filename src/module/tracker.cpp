// halvane.FixTracker: tracked solving across a sequence of fixes, the
// module's only object with mutable state.
#include <cmath>
#include <string>

#include "binder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "py_fix.hpp"
#include "pyclass.hpp"
#include "solve_functions.hpp"

namespace halvane::py {

TrackerBorrow::TrackerBorrow(Tracker& tracker) {
    if (tracker.borrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
    }
    tracker.borrowed = true;
    tracker_ = &tracker;
}

TrackerBorrow::~TrackerBorrow() {
    if (tracker_ != nullptr) tracker_->borrowed = false;
}

bool Converter<Tracker*>::convert(PyObject* object, const char* name, Tracker*& out) {
    const Tracker* tracker = nullptr;
    if (!Converter<const Tracker*>::convert(object, name, tracker)) return false;
    out = unwrap_mutable<Tracker>(object);
    return true;
}

namespace {

using TrackerImpl = PyObject* (*)(Tracker& tracker, PyObject* args, PyObject* kwargs);

// Holds the tracker for the whole method call, argument conversion
// included: an argument's __float__ may call back in.
template <TrackerImpl Impl>
PyObject* exclusive(PyObject* self, PyObject* args, PyObject* kwargs) {
    Tracker* tracker = unwrap_mutable<Tracker>(self);
    if (tracker == nullptr) {
        PyErr_SetString(PyExc_TypeError, "descriptor used on a foreign object");
        return nullptr;
    }
    const TrackerBorrow borrow(*tracker);
    if (!borrow.held()) return nullptr;
    return Impl(*tracker, args, kwargs);
}

bool check_bound(const char* name, double value) {
    if (std::isfinite(value) && value > 0.0) return true;
    PyErr_SetString(PyExc_ValueError,
                    (std::string(name) + " must be finite and positive, got " + format_float(value)).c_str());
    return false;
}

constexpr auto kFixTrackerSig = signature(
    "FixTracker",
    {{"max_reference_age_s", nullptr, kKeywordOnly}, {"max_disambiguation_distance_nm", nullptr, kKeywordOnly}});
constexpr auto kTrackerResolveFixSig = image_solve_signature("FixTracker.resolve_fix");
constexpr auto kTrackerResolveFromCentroidsSig = centroid_solve_signature("FixTracker.resolve_from_centroids");
constexpr auto kSetLastKnownPositionSig =
    signature("FixTracker.set_last_known_position", {{"lat_deg"}, {"lon_deg"}, {"utc"}});

PyObject* tracker_new_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    TrackerBounds bounds;
    if (!bind<kFixTrackerSig>(args, kwargs, arg<"max_reference_age_s">(bounds.max_reference_age_s),
                              arg<"max_disambiguation_distance_nm">(bounds.max_disambiguation_distance_nm)))
        return nullptr;
    if (!check_bound("max_reference_age_s", bounds.max_reference_age_s) ||
        !check_bound("max_disambiguation_distance_nm", bounds.max_disambiguation_distance_nm))
        return nullptr;
    return wrap(Tracker{FixHistory{}, bounds, false});
}

PyObject* resolve_fix_impl(Tracker& tracker, PyObject* args, PyObject* kwargs) {
    ImageSolveArguments a;
    if (!bind_image_solve<kTrackerResolveFixSig>(args, kwargs, a)) return nullptr;
    const Tracking tracking{tracker.history, tracker.bounds};
    return fix_or_error(solve_image(a.pixels.view(), a.mask_view(), a.up_cam, *a.catalog, a.sigma_arcmin, a.lens,
                                    a.options, a.jd, &tracking));
}

PyObject* resolve_from_centroids_impl(Tracker& tracker, PyObject* args, PyObject* kwargs) {
    CentroidSolveArguments a;
    if (!bind_centroid_solve<kTrackerResolveFromCentroidsSig>(args, kwargs, a)) return nullptr;
    const Tracking tracking{tracker.history, tracker.bounds};
    return fix_or_error(solve_centroids(a.centroids, a.up_cam, *a.catalog, a.sigma_arcmin, a.lens, a.options, a.jd,
                                        &tracking));
}

PyObject* set_last_known_position_impl(Tracker& tracker, PyObject* args, PyObject* kwargs) {
    double lat_deg = 0.0, lon_deg = 0.0;
    PyObject* utc = nullptr;
    if (!bind<kSetLastKnownPositionSig>(args, kwargs, arg<"lat_deg">(lat_deg), arg<"lon_deg">(lon_deg),
                                        arg<"utc">(utc)))
        return nullptr;
    double jd = 0.0;
    if (!utc_to_jd(utc, jd)) return nullptr;
    const Result<void> set = tracker.history.set_last_known_position(lat_deg, lon_deg, jd);
    if (set) Py_RETURN_NONE;
    // A refused position is a plain bad argument of this method.
    if (const auto* bad = set.error().get_if<Error::BadPosition>()) {
        PyErr_SetString(PyExc_ValueError, bad->message.c_str());
        return nullptr;
    }
    return to_py_err(set.error());
}

PyMethodDef kMethods[] = {
    method_def<exclusive<resolve_fix_impl>, kTrackerResolveFixSig>(
        "halvane.resolve_fix with this tracker's history: the same arguments, refusals and\n"
        "result. A tied star match is broken by position (see the class), and a healthy fix\n"
        "becomes the next reference."),
    method_def<exclusive<resolve_from_centroids_impl>, kTrackerResolveFromCentroidsSig>(
        "halvane.resolve_from_centroids with this tracker's history: the same arguments,\n"
        "refusals and result. A tied star match is broken by position (see the class), and a\n"
        "healthy fix becomes the next reference."),
    method_def<exclusive<set_last_known_position_impl>, kSetLastKnownPositionSig>(
        R"(Takes an outside position (a satellite-navigation reading, an inertial estimate, a
known launch site) as the reference, replacing whatever the tracker remembered.
lat_deg in [-90, 90] and lon_deg in [-180, 180], degrees; utc as for resolve_fix.
The same age and distance bounds govern its use. A position out of range raises
ValueError and leaves the previous reference in place.)"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_tracker_type(PyObject*) {
    return create_class<Tracker>(
         "halvane.FixTracker",
        {docstring<kFixTrackerSig>(R"(Opt-in tie-breaking across a sequence of solves from one place.

Some skies admit two star identifications that pass every check equally well;
halvane.resolve_fix then raises an ambiguous-match HalvaneError. A tracker
remembers the last fix that passed the health gates (or a position given with
set_last_known_position) and uses it to break such a tie: both candidates are
solved and the one nearer the remembered position wins, provided the reference
is at most max_reference_age_s seconds from the image's time (before or after)
and the winner lies within max_disambiguation_distance_nm nautical miles of it.
Without a healthy reference, with a stale one, or with the nearer candidate
outside the distance bound, the call raises the same ambiguous-match error as
the module function. The module-level functions are unchanged: only a tracker's
methods read or write its history.

A fix picked by position reports match_margin == 0. A recorded pick becomes the
next reference, so a wrong pick can reinforce itself until the reference ages
out (both tied candidates have passed the matcher's confidence checks).

Both bounds are keyword-only, finite and positive (ValueError otherwise), and
fixed for the tracker's life. One call at a time: a call made while another on
the same tracker has not returned raises RuntimeError("Already borrowed")
instead of waiting.)"),
         guarded_new<tracker_new_impl>, nullptr, kMethods});
}

const MemberType kStubTypes[] = {
    {"Fix", "resolve_fix resolve_from_centroids"},
    {"None", "set_last_known_position"},
};

}  // namespace

HALVANE_REGISTRATIONS(tracker_registrations, exported_class(4, make_tracker_type, kStubTypes))

}  // namespace halvane::py
