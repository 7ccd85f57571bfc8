// Camera-to-camera remap throughput: destination megapixels per second on
// one core for the lens pairs that matter (pinhole and ideal fisheye, and a
// calibrated fisheye on either side, the side that needs the Newton inverse
// included), and the peak heap the call allocates per destination pixel.
//
// Usage: bench_remap [runs per case]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

#include "numeric.hpp"
#include "remap.hpp"

using namespace halvane;

namespace {

// CPU time of this thread, seconds: the figure is per core, and other
// processes sharing the machine do not inflate it.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Heap accounting for the peak figure: every allocation goes through the
// replaced operators below, which record their size in front of the block.
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* counted_alloc(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t live = g_live += size;
    std::size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return block + kHeader;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    auto* block = static_cast<unsigned char*>(p) - kHeader;
    g_live -= *reinterpret_cast<std::size_t*>(block);
    std::free(block);
}

struct Case {
    const char* label;
    Camera src;
    Camera dst;
};

// Cameras for an n x n source and destination: the ideal fisheyes fill the
// frame with 180 degrees, the calibrated one has 190 degrees and k1, k2 set,
// the pinhole sees 90 degrees across.
std::vector<Case> cases(std::size_t n) {
    const double c = (static_cast<double>(n) - 1.0) / 2.0;
    const double half = static_cast<double>(n) / 2.0;
    const Camera pinhole = Camera::from_fov(n, n, std::nullopt, half, c, c, 0, 0, 0, 0);
    const Camera narrow = Camera::from_fov(n, n, std::nullopt, 1.3 * half, c + 3.25, c - 1.5, 0, 0, 0, 0);
    const Camera ideal = Camera::from_fov(n, n, 180.0, 0.0, c, c, 0, 0, 0, 0);
    const Camera calibrated =
        Camera::from_fov(n, n, 190.0, 0.62 * half, c + 2.5, c - 1.75, -0.02, 0.003, 0, 0);
    return {{"pinhole -> pinhole", narrow, pinhole},
            {"ideal fisheye -> pinhole", ideal, pinhole},
            {"calibrated fisheye -> ideal fisheye", calibrated, ideal},
            {"ideal fisheye -> calibrated fisheye", ideal, calibrated}};
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf("remap, destination Mpix/s per core (thread CPU time), median of %d runs\n", runs);
    std::printf("%-38s %6s %10s %10s %12s\n", "source -> destination", "size", "image", "mask", "peak B/px");
    std::printf("%-38s %6s %10s %10s %12s\n", "", "", "Mpix/s", "Mpix/s", "image, mask");
    for (const std::size_t n : {std::size_t{2048}, std::size_t{4096}}) {
        XorShift64Star rng(7);
        std::vector<std::uint16_t> pixels(n * n);
        std::vector<std::uint8_t> flags(n * n);
        for (std::size_t i = 0; i < n * n; ++i) {
            const std::uint64_t r = rng.next_u64();
            pixels[i] = static_cast<std::uint16_t>(r);
            flags[i] = static_cast<std::uint8_t>(r >> 63);
        }
        const ImageView image{pixels, n, n};
        const MaskView mask{flags, n, n};
        const double mpix = static_cast<double>(n * n) / 1e6;
        for (const Case& c : cases(n)) {
            std::vector<double> image_s, mask_s;
            std::size_t image_peak = 0, mask_peak = 0;
            for (int r = 0; r < runs; ++r) {
                g_peak = g_live.load();
                std::size_t before = g_live;
                double start = cpu_seconds();
                auto out = remap_image(image, c.src, c.dst, n, n, 0);
                image_s.push_back(cpu_seconds() - start);
                image_peak = g_peak - before;
                if (!out) return 1;
                out->pixels = {};

                g_peak = g_live.load();
                before = g_live;
                start = cpu_seconds();
                auto flags_out = remap_mask(mask, c.src, c.dst, n, n);
                mask_s.push_back(cpu_seconds() - start);
                mask_peak = g_peak - before;
                if (!flags_out) return 1;
            }
            std::nth_element(image_s.begin(), image_s.begin() + runs / 2, image_s.end());
            std::nth_element(mask_s.begin(), mask_s.begin() + runs / 2, mask_s.end());
            std::printf("%-38s %6zu %10.1f %10.1f %6.2f, %.2f\n", c.label, n, mpix / image_s[runs / 2],
                        mpix / mask_s[runs / 2], static_cast<double>(image_peak) / (mpix * 1e6),
                        static_cast<double>(mask_peak) / (mpix * 1e6));
        }
    }
    return 0;
}
