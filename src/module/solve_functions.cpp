// resolve_fix and resolve_from_centroids, the everyday entry points, and
// resolve_from_frames for frame sequences.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "solve_functions.hpp"

#include "entry.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "py_fix.hpp"

namespace halvane::py {

namespace {

SolveOptions solve_options(std::optional<std::uint64_t> max_centroids,
                           std::optional<std::uint64_t> min_matched_stars,
                           std::optional<double> max_residual_rms_arcmin, bool use_sun) {
    SolveOptions options;
    options.max_centroids = max_centroids.value_or(12);
    if (min_matched_stars) options.min_matched_stars = *min_matched_stars;
    if (max_residual_rms_arcmin) options.max_residual_rms_rad = arcmin_to_rad(*max_residual_rms_arcmin);
    options.use_sun = use_sun;
    options.cancel = interrupt_on_signal();
    return options;
}

}  // namespace

std::optional<MaskView> ImageSolveArguments::mask_view() const {
    return mask ? std::optional(mask->view()) : std::nullopt;
}

bool SolveBinding::convert_rest(SolveArguments& out, bool use_sun) const {
    if (!utc_to_jd(utc, out.jd) || !check_solve_limits(out.sigma_arcmin, max_residual_rms_arcmin)) return false;
    out.options = solve_options(max_centroids, min_matched_stars, max_residual_rms_arcmin, use_sun);
    return true;
}

namespace {

constexpr auto kResolveFixSig = image_solve_signature("resolve_fix");
constexpr auto kResolveFromCentroidsSig = centroid_solve_signature("resolve_from_centroids");
constexpr auto kResolveFromFramesSig =
    signature("resolve_from_frames", std::to_array<Param>({{"frames"}, {"times_utc"}}), kLensFocalParams,
              std::to_array<Param>({{"up_cam"}, {"catalog"}, {"sigma_arcmin", "None"}}), kLensProjectionParams,
              std::to_array<Param>({{"psf_sigma_px", "1.0"}}), kSolveGateParams);

PyObject* resolve_fix_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    ImageSolveArguments a;
    if (!bind_image_solve<kResolveFixSig>(args, kwargs, a)) return nullptr;
    return fix_or_error(solve_image(a.pixels.view(), a.mask_view(), a.up_cam, *a.catalog, a.sigma_arcmin, a.lens,
                                    a.options, a.jd));
}

PyObject* resolve_from_centroids_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    CentroidSolveArguments a;
    if (!bind_centroid_solve<kResolveFromCentroidsSig>(args, kwargs, a)) return nullptr;
    return fix_or_error(
        solve_centroids(a.centroids, a.up_cam, *a.catalog, a.sigma_arcmin, a.lens, a.options, a.jd));
}

// A frame or timestamp sequence, borrowed with its length: any sequence but
// a str, whose items are converted one by one later, with their own
// refusal texts.
struct ItemSequence {
    PyObject* object = nullptr;
    Py_ssize_t length = 0;
};

}  // namespace

template <>
struct Converter<ItemSequence> {
    static bool convert(PyObject* object, const char* name, ItemSequence& out) {
        out.object = object;
        return sequence_length(object, name, "a sequence", out.length);
    }
};

namespace {

// Converts every item of the sequence argument `name` in order with
// `convert` (which raises on refusal), stopping at the first failure.
template <class T, class Convert>
bool convert_items(const ItemSequence& sequence, const char* name, std::vector<T>& out, Convert convert) {
    return read_items(sequence.object, name, sequence.length,
                      [&](PyObject* item, std::size_t) { return convert(item, out.emplace_back()); });
}

PyObject* resolve_from_frames_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    ItemSequence frames, times_utc;
    SolveArguments a;
    SolveBinding b;
    double psf_sigma_px = 1.0;
    if (!bind<kResolveFromFramesSig>(args, kwargs, arg<"frames">(frames), arg<"times_utc">(times_utc),
                                     b.lens.slots(), arg<"up_cam">(a.up_cam), arg<"catalog">(a.catalog),
                                     arg<"sigma_arcmin">(a.sigma_arcmin), arg<"psf_sigma_px">(psf_sigma_px),
                                     arg<"max_centroids">(b.max_centroids),
                                     arg<"min_matched_stars">(b.min_matched_stars),
                                     arg<"max_residual_rms_arcmin">(b.max_residual_rms_arcmin)))
        return nullptr;

    // A bad width is refused before any frame is read.
    if (!check_psf_sigma_px(psf_sigma_px) || !b.convert_lens(a)) return nullptr;
    std::vector<OwnedImage> pixels;
    if (!convert_items(frames, "frames", pixels, extract_u16_image)) return nullptr;
    std::vector<double> times_jd;
    if (!convert_items(times_utc, "times_utc", times_jd, utc_to_jd) ||
        !check_solve_limits(a.sigma_arcmin, b.max_residual_rms_arcmin))
        return nullptr;
    SolveOptions options = solve_options(b.max_centroids, b.min_matched_stars, b.max_residual_rms_arcmin, false);
    options.cancel = interrupt_on_signal_without_lock();
    std::vector<ImageView> views;
    views.reserve(pixels.size());
    for (const OwnedImage& frame : pixels) views.push_back(frame.view());

    // Everything the engine reads is an owned copy now (the Catalog is
    // immutable), so other threads may run while it works.
    return fix_or_error(without_interpreter_lock([&] {
        return solve_frames(views, times_jd, a.up_cam, *a.catalog, a.sigma_arcmin, a.lens, options,
                                           psf_sigma_px);
    }));
}

constexpr const char* kCameraRules =
    R"(Camera: with fisheye_fov_deg=None the lens is a pinhole of focal length focal_px
(pixels). With fisheye_fov_deg set (the full field of view, degrees) and k1..k4
all 0 it is the ideal equidistant fisheye, whose focal length fills the shorter
image dimension: pass focal_px=None. With any k non-zero it is a calibrated
fisheye, r_px = focal_px * (t + k1 t^3 + k2 t^5 + k3 t^7 + k4 t^9) for a ray t
radians off the axis, with focal_px the real radial scale and cx, cy (pixels)
the real optical centre.

)";

constexpr const char* kUpCamArgument =
    "up_cam: the local vertical (towards the zenith) in the camera frame (x right,\n"
    "y down, z along the optical axis); it need not be unit length.\n";

constexpr const char* kUtcArgument =
    "utc: the exposure time, a (year, month, day, hour, minute, second) tuple in UTC\n"
    "or a timezone-aware datetime.datetime; a naive datetime is refused.\n";

constexpr const char* kSolveArguments =
    R"(catalog: a halvane.Catalog.
sigma_arcmin: standard deviation of a star's measured direction, arcminutes;
None gives half a pixel, at least one arcminute (see Camera.default_sigma_arcmin).
The match tolerance is four sigma, at least 4 arcminutes.
max_centroids: how many of the brightest detections are used (None: 12).
min_matched_stars, max_residual_rms_arcmin: optional health gates; a fix that
fails one raises HalvaneError with a "thin lock" message.

Returns a halvane.Fix. Raises HalvaneError with the reason when no fix can be
made, for example "no star pattern match found" or an ambiguous star pattern
(this function never breaks such a tie; FixTracker does).)";

PyMethodDef resolve_fix_def = method_def<resolve_fix_impl, kResolveFixSig>(
    std::string(
        R"(Latitude and longitude from a photograph of the night sky.

image: a 2-D C-contiguous uint16 (full scale 65535) or uint8 NumPy array.
mask: optional 2-D bool array of the image's shape, True where the pixel is
not sky (a tree, a roof). It reaches both detectors, so the obstruction gives
no star centroid, no solar disc and no background sample; a mask of another
shape is refused.
use_sun: also find the Sun's disc and use it as one more sight (only when it
stands at least 15 degrees high; Fix.used_sun tells).

)") +
        kCameraRules + kUpCamArgument + kUtcArgument + kSolveArguments);

PyMethodDef resolve_from_centroids_def = method_def<resolve_from_centroids_impl, kResolveFromCentroidsSig>(
    std::string(
        R"(Latitude and longitude from star centroids found by the caller's own detector.

centroids: a sequence of (x, y, flux) triples, pixel coordinates in the camera
model below; they are ordered brightest first by flux before the list is cut
to max_centroids. use_sun is not available: the Sun is found only in an image.
For the ideal fisheye the image extent is taken as 2 * cx by 2 * cy, assuming
a centred principal point: an off-centre cx, cy in that mode misplaces the
focal length silently.

)") +
        kCameraRules + kUpCamArgument + kUtcArgument + kSolveArguments);

PyMethodDef resolve_from_frames_def = method_def<resolve_from_frames_impl, kResolveFromFramesSig>(
    std::string(
        R"(Latitude and longitude from a short sequence of frames, keeping only the
detections that turn with the sky.

Between exposures the sky turns about the celestial pole at the sidereal rate;
hot pixels and noise peaks do not. The camera must therefore stay fixed
relative to the local horizon for the whole sequence (a tripod or a
ground-mounted sensor; a moving platform is out of scope).

frames: a sequence of 2-D C-contiguous uint16 (full scale 65535) or uint8
NumPy arrays of one size, accepted as by resolve_fix.
times_utc: a sequence of the same length of UTC timestamps, each a (year,
month, day, hour, minute, second) tuple or a timezone-aware
datetime.datetime (a naive one is refused).
Both are chronological. The middle frame is the solved epoch; the other frames
only confirm which of its star candidates are real. Fewer than three frames,
an even count, times that do not increase, or frames so close in time that
the sky has barely turned are refused.
psf_sigma_px: the PSF width (pixels) of the matched-filter detector run on every
frame; this path is meant for small, sharp stars. It must be finite and in
(0, 64], as for detect_centroids_matched, and is checked before any frame is
read.
Each frame is searched for four times max_centroids detections, so that junk
among the brightest does not crowd out the stars.

This function releases the interpreter lock while it works, after copying
every input, so other Python threads keep running.

)") +
        kCameraRules + kUpCamArgument + kSolveArguments);

}  // namespace

HALVANE_REGISTRATIONS(solve_registrations, exported_function(15, resolve_fix_def, "Fix"),
                                           exported_function(16, resolve_from_centroids_def, "Fix"),
                                           exported_function(17, resolve_from_frames_def, "Fix"))

}  // namespace halvane::py
