// Scene synthesis: the sky a camera at a given place and time would record,
// rendered with the ground truth needed to solve and check it (which stars
// were stamped where, and the local vertical in the camera frame).
//
// It is the engine's test-image generator: every scene can be fed straight
// back into the fix pipeline. Rendering is deterministic for a seed; all
// randomness (star position noise, pixel noise, tilt of the up vector) comes
// from one XorShift64Star seeded by the caller, its draws taken in a fixed
// order: star positions (per kept star, brightest first), pixel noise (per
// pixel, row-major), up-vector tilt (four normals).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "catalog.hpp"
#include "error.hpp"
#include "plate.hpp"
#include "vector.hpp"
#include "work.hpp"

namespace halvane {

// Everything about the camera and the renderer.
struct SceneParams {
    Camera camera;
    std::size_t width = 0;  // pixels
    std::size_t height = 0;
    double star_sigma_px = 1.3;      // standard deviation of a star's Gaussian image
    double peak_scale = 256000.0;    // peak of a magnitude-0 star (above full scale)
    double background = 1024.0;      // sky level before stars and noise
    double background_noise = 0.0;   // per-pixel Gaussian noise sigma, pixel units; <= 0: none
    double pixel_noise_px = 0.0;     // star position noise sigma, pixels; <= 0: none
    double up_noise_arcmin = 0.0;    // tilt sigma of the reported up vector; <= 0: none
    std::uint64_t seed = 0;          // 0 is taken as 1
    float mag_limit = 6.5f;          // faintest magnitude rendered
    std::uint32_t bit_depth = 16;    // output quantisation, 1..16 bits
    Cancellation cancel;             // asked once per row of the pixel passes; true throws Interrupted
};

struct Scene {
    std::vector<std::uint16_t> pixels;         // width x height, row-major, full scale 65535
    std::vector<std::uint32_t> rendered_hr_ids;  // stamped stars, brightest first
    std::vector<PixelPosition> star_pixels;    // their centres, noise included, same order
    Vec3 up_cam{};                             // local vertical in the camera frame, tilt included
    double boresight_alt_deg = 0.0;
    double boresight_az_deg = 0.0;  // from north through east
};

struct Boresight {
    double alt_deg = 0.0;
    double az_deg = 0.0;
};

// Where a synthetic pinhole should point to see many bright stars: among
// the altitudes 45, 60, 75 degrees (in that order) times the azimuths 0, 20,
// ..., 340 degrees, the first direction whose cone of radius 0.9 times the
// field's half-diagonal, atan(hypot(width / 2, height / 2) / focal), holds
// the most stars of magnitude 4.0 or brighter above the geometric horizon
// (apparent places of date, no refraction). Only camera.focal is read.
// lat_rad, lon_rad: the observer, radians (east positive); jd_ut: Julian
// Date (UT). Returns (55, 0) when no candidate cone holds a star. Never
// fails.
Boresight pick_rich_boresight(const Catalog& catalog, const Camera& camera, std::size_t width,
                              std::size_t height, double lat_rad, double lon_rad, double jd_ut);

// Renders the sky seen from (lat_rad, lon_rad) at jd_ut (Julian Date, UT)
// by params.camera pointed at (alt_deg, az_deg) (degrees, azimuth from
// north through east) and rolled by roll_deg about its axis. With roll 0
// and a horizontal boresight, image right is boresight x up (east when
// looking north) and image down is toward the ground; within 2 degrees of
// the zenith or nadir north replaces up as the reference, so looking
// straight up image right is west and image down is south.
//
// Stars no fainter than mag_limit and above the horizon are placed at
// their apparent place of date (precession, annual aberration), raised by
// refraction, projected through the camera and, brightest first, stamped
// as 9 x 9 Gaussian patches of peak peak_scale * 10^(-0.4 mag), unless
// their (noisy) centre lies within 5 pixels of the border or closer than
// 6 pixels to a star already stamped. Then per-pixel noise, quantisation
// to bit_depth levels of the 0..65535 range (8 bits: steps of 257), and
// the up vector, tilted by a normal angle of sigma up_noise_arcmin in a
// uniformly random direction.
//
// Errors (BadImage), checked in this order before any rendering:
//   "zero-sized image" (width or height 0);
//   "non-finite lat/lon/jd";
//   "bit_depth {n} out of range 1..=16".
// A sky without stars in the field is not an error. An extent whose pixel
// buffer cannot be addressed, or of more than 2^28 pixels, throws
// SizeOverflow (a std::bad_alloc whose text names the extent) before
// anything is allocated.
Result<Scene> synthesize_scene(const Catalog& catalog, const SceneParams& params, double lat_rad,
                               double lon_rad, double jd_ut, double alt_deg, double az_deg, double roll_deg);

}  // namespace halvane
