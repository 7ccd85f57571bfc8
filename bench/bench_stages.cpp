// Where a fix spends its time: detection, star identification and position
// refinement, on synthesized 180-degree fisheye and 40-degree pinhole frames
// with the bundled catalogue. Built with the engine (no Python), so each
// stage is timed on its own. Prints median times per stage and the number of
// triangle hypotheses the identification tried.
//
// Usage: bench_stages CATALOG.hcat PAIRS.hprs [scenes per camera]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "entry.hpp"
#include "fix.hpp"
#include "matcher.hpp"
#include "numeric.hpp"
#include "time.hpp"

using namespace halvane;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::size_t count_hypotheses(std::span<const Vec3> vectors, const Catalog& catalog, const FixConfig& config) {
    const std::size_t m = std::min(config.triangle_stars, vectors.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = i + 1; j < m; ++j)
            for (std::size_t k = j + 1; k < m; ++k)
                total += triangle_hypotheses(vectors, {i, j, k}, catalog, config.match_tolerance).size();
    return total;
}

struct CameraCase {
    const char* label;
    SceneRequest request;
    CameraScalars lens;
};

void run(const CameraCase& camera, const Catalog& catalog, int scenes) {
    std::vector<double> detect_ms, match_ms, refine_ms, total_ms, hypotheses;
    int solved = 0;
    XorShift64Star places(2026);
    for (int s = 0; s < scenes; ++s) {
        SceneRequest request = camera.request;
        request.lat_deg = std::asin(2.0 * places.uniform() - 1.0) * kRadToDeg * 0.77;
        request.lon_deg = 360.0 * places.uniform() - 180.0;
        request.jd_ut = kJ2000 + 18262.5 * places.uniform();
        request.seed = static_cast<std::uint64_t>(s) + 1;
        const auto scene = render_scene(catalog, request);
        if (!scene) continue;
        const ImageView image{scene->pixels, request.width, request.height};
        const Camera lens = camera_from_scalars(camera.lens, request.width, request.height);
        const FixConfig config = make_fix_config(lens, std::nullopt, camera.lens.fisheye_fov_deg.has_value(), {});

        const auto start = Clock::now();
        const auto detected = detect_stars_and_sun(image, std::nullopt, config);
        const double t_detect = ms_since(start);
        if (!detected) continue;
        const auto t1 = Clock::now();
        const std::vector<Vec3> vectors = ordered_cam_vecs(detected->stars, lens, config.max_centroids);
        const std::vector<Vec3> check = ordered_cam_vecs(detected->fainter, lens, detected->fainter.size());
        const auto match = match_stars(vectors, catalog, config.triangle_stars, config.match_tolerance, check);
        const double t_match = ms_since(t1);
        double t_refine = 0.0;
        if (match) {
            const auto t2 = Clock::now();
            const auto fix = resolve_from_matches(match->correspondences, match->match_margin, vectors, std::nullopt,
                                                  lens, scene->up_cam, catalog, config, request.jd_ut);
            t_refine = ms_since(t2);
            solved += fix.has_value();
        }
        detect_ms.push_back(t_detect);
        match_ms.push_back(t_match);
        refine_ms.push_back(t_refine);
        total_ms.push_back(t_detect + t_match + t_refine);
        hypotheses.push_back(static_cast<double>(count_hypotheses(vectors, catalog, config)));
    }
    std::printf("| %-22s | %3d/%-3d | %8.2f | %8.2f | %8.3f | %8.2f | %10.0f |\n", camera.label, solved, scenes,
                median(detect_ms), median(match_ms), median(refine_ms), median(total_ms), median(hypotheses));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CATALOG.hcat PAIRS.hprs [scenes]\n", argv[0]);
        return 2;
    }
    const auto catalog = Catalog::load(argv[1], argv[2]);
    if (!catalog) {
        std::fprintf(stderr, "%s\n", catalog.error().message().c_str());
        return 1;
    }
    const int scenes = argc > 3 ? std::atoi(argv[3]) : 40;

    CameraCase fisheye{"fisheye 180, 1024x1024", {}, {}};
    fisheye.request.width = fisheye.request.height = 1024;
    fisheye.request.lens.fisheye_fov_deg = 180.0;
    fisheye.request.mag_limit = 5.5f;
    fisheye.lens = {180.0, 0.0, 512.0, 512.0};
    CameraCase pinhole{"pinhole 40, 1024x768", {}, {}};
    pinhole.request.width = 1024;
    pinhole.request.height = 768;
    pinhole.request.lens.focal_px = 512.0 / std::tan(20.0 * kDegToRad);
    pinhole.request.mag_limit = 6.0f;
    pinhole.lens = {std::nullopt, pinhole.request.lens.focal_px, 512.0, 384.0};
    for (CameraCase* c : {&fisheye, &pinhole}) {
        c->request.pixel_noise_arcmin = 0.5;
        c->request.up_noise_arcmin = 1.0;
        c->request.background_noise = 20.0;
    }

    std::printf("catalogue: %zu stars, %zu pairs; medians over %d scenes per camera\n\n", catalog->stars.size(),
                catalog->pairs.size(), scenes);
    std::printf("| camera                 | solved  | detect ms | match ms | refine ms | total ms | hypotheses |\n");
    std::printf("|------------------------|---------|-----------|----------|-----------|----------|------------|\n");
    run(fisheye, *catalog, scenes);
    run(pinhole, *catalog, scenes);
    return 0;
}
