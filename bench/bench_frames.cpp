// Time of a fix from a frame sequence, split into matched-filter detection
// (every frame), sidereal verification and the centroid solve, on
// synthesized skies of a zenith-pointing 180-degree fisheye, 5 minutes
// between frames, with the same 30 bright hot spots stamped into every
// frame. Also times the whole frame-sequence entry point (solve_frames), which is what
// resolve_from_frames runs with the interpreter lock released. Times are
// the thread's own CPU time (the machine may be shared), medians over
// places and runs; one core.
//
// Usage: bench_frames CATALOG.hcat PAIRS.hprs [places]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "entry.hpp"
#include "numeric.hpp"
#include "solve.hpp"
#include "temporal.hpp"
#include "time.hpp"

using namespace halvane;

namespace {

constexpr int kRuns = 3;
constexpr double kPsfSigmaPx = 1.3;
constexpr double kMinutesApart = 5.0;
constexpr std::size_t kHotSpots = 30;

double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// A saturating Gaussian spot of the stars' width at a fixed pixel.
void stamp_hot_spot(std::vector<std::uint16_t>& pixels, std::size_t size, double x, double y) {
    const auto x0 = saturating_cast<std::size_t>(x), y0 = saturating_cast<std::size_t>(y);
    for (std::size_t j = y0 - 4; j <= y0 + 4; ++j)
        for (std::size_t i = x0 - 4; i <= x0 + 4; ++i) {
            const double dx = static_cast<double>(i) - x, dy = static_cast<double>(j) - y;
            const double v = pixels[j * size + i] + 150000.0 * std::exp(-(dx * dx + dy * dy) / (2 * kPsfSigmaPx * kPsfSigmaPx));
            pixels[j * size + i] = saturating_cast<std::uint16_t>(std::min(v, 65535.0));
        }
}

struct Timings {
    std::vector<double> detect, verify, solve, whole, error_nm;
    int solved = 0, places = 0;
};

void run_place(const Catalog& catalog, std::size_t size, std::size_t frames, XorShift64Star& rng, Timings& t) {
    SceneRequest request;
    request.width = request.height = size;
    request.lens.fisheye_fov_deg = 180.0;
    request.mag_limit = 5.5f;
    request.background_noise = 20.0;
    request.pixel_noise_arcmin = 0.5;
    request.lat_deg = std::asin(2.0 * rng.uniform() - 1.0) * kRadToDeg * 0.77;
    request.lon_deg = 360.0 * rng.uniform() - 180.0;
    const double jd0 = kJ2000 + 18262.5 * rng.uniform();
    std::vector<std::pair<double, double>> spots;
    for (std::size_t s = 0; s < kHotSpots; ++s)
        spots.emplace_back(8.0 + rng.uniform() * static_cast<double>(size - 16),
                           8.0 + rng.uniform() * static_cast<double>(size - 16));

    std::vector<std::vector<std::uint16_t>> pixels;
    std::vector<double> times;
    for (std::size_t k = 0; k < frames; ++k) {
        request.jd_ut = jd0 + static_cast<double>(k) * kMinutesApart / 1440.0;
        request.seed = rng.next_u64();
        auto scene = render_scene(catalog, request);
        if (!scene) return;
        for (const auto& [x, y] : spots) stamp_hot_spot(scene->pixels, size, x, y);
        pixels.push_back(std::move(scene->pixels));
        times.push_back(request.jd_ut);
    }
    std::vector<ImageView> views;
    for (const auto& p : pixels) views.push_back({p, size, size});

    const CameraScalars lens{180.0, 0.0, static_cast<double>(size) / 2, static_cast<double>(size) / 2};
    const Camera camera = camera_from_scalars(lens, size, size);
    const FixConfig config = make_fix_config(camera, std::nullopt, true, {});
    const double tolerance = 2.0 / camera.focal;
    const double jd_mid = times[frames / 2];
    ++t.places;
    for (int run = 0; run < kRuns; ++run) {
        double start = cpu_ms();
        std::vector<std::vector<Centroid>> detections;
        for (const ImageView& v : views) detections.push_back(*detect_centroids_matched(v, 4 * config.max_centroids, kPsfSigmaPx));
        t.detect.push_back(cpu_ms() - start);
        start = cpu_ms();
        const auto verified = verify_sidereal(detections, camera, times, tolerance);
        t.verify.push_back(cpu_ms() - start);
        if (!verified) continue;
        start = cpu_ms();
        const auto fix = resolve_fix_from_centroids(verified->confirmed, std::nullopt, camera, {0, 0, 1}, catalog,
                                                    config, jd_mid);
        t.solve.push_back(cpu_ms() - start);

        start = cpu_ms();
        const auto whole = solve_frames(views, times, {0, 0, 1}, catalog, std::nullopt, lens, {},
                                                       kPsfSigmaPx);
        t.whole.push_back(cpu_ms() - start);
        if (run == 0 && whole) {
            ++t.solved;
            t.error_nm.push_back(great_circle_nm(request.lat_deg, request.lon_deg, whole->latitude_deg,
                                                 whole->longitude_deg));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CATALOG.hcat PAIRS.hprs [places]\n", argv[0]);
        return 2;
    }
    const auto catalog = Catalog::load(argv[1], argv[2]);
    if (!catalog) {
        std::fprintf(stderr, "%s\n", catalog.error().message().c_str());
        return 1;
    }
    const int places = argc > 3 ? std::atoi(argv[3]) : 5;
    std::printf("frame sequences: fisheye 180, %.0f min apart, %zu hot spots; medians over %d places x %d runs\n\n",
                kMinutesApart, kHotSpots, places, kRuns);
    std::printf("| frames | size      | solved | detect ms | verify ms | solve ms | whole ms | median error nm |\n");
    std::printf("|--------|-----------|--------|-----------|-----------|----------|----------|-----------------|\n");
    for (std::size_t size : {1024u, 2048u})
        for (std::size_t frames : {3u, 5u}) {
            XorShift64Star rng(2026);
            Timings t;
            for (int p = 0; p < places; ++p) run_place(*catalog, size, frames, rng, t);
            std::printf("| %6zu | %4zux%-4zu | %2d/%-3d | %9.1f | %9.3f | %8.2f | %8.1f | %15.2f |\n", frames, size,
                        size, t.solved, t.places, median(t.detect), median(t.verify), median(t.solve),
                        median(t.whole), median(t.error_nm));
        }
    return 0;
}
