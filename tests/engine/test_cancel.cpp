#include <functional>

#include "centroid.hpp"
#include "mask.hpp"
#include "matched_filter.hpp"
#include "photo.hpp"
#include "remap.hpp"
#include "solar_disc.hpp"
#include "support.hpp"
#include "synth.hpp"
#include "work.hpp"

namespace halvane {
namespace {

using testing::Frame;

// A hook that counts its calls and answers `stop`.
struct Hook {
    bool stop = false;
    int calls = 0;
    static bool ask(void* self) {
        Hook& hook = *static_cast<Hook*>(self);
        ++hook.calls;
        return hook.stop;
    }
    Cancellation cancellation() { return {ask, this}; }
};

Frame starry_sky() {
    Frame f(96, 80, 0);
    XorShift64Star rng(5);
    for (auto& p : f.pixels) p = static_cast<std::uint16_t>(3000 + 20 * rng.normal());
    f.star(30.2, 40.7, 20000, 1.4);
    f.star(70.6, 20.1, 12000, 1.2);
    f.fill(60, 50, 14, 14, 65535);  // a saturated disc for the Sun and glare passes
    return f;
}

// Every long pass, run with the given cancellation; its result as numbers
// so that runs can be compared.
struct Pass { const char* name; std::function<std::vector<double>(const Frame&, Cancellation)> run; };

template <class T>
std::vector<double> as_values(const std::vector<T>& values) {
    return {values.begin(), values.end()};
}

std::vector<double> centroid_values(const Result<std::vector<Centroid>>& found) {
    std::vector<double> out;
    for (const Centroid& c : found.value()) out.insert(out.end(), {c.x, c.y, c.flux});
    return out;
}

const Camera kPinhole = Camera::from_fov(0, 0, std::nullopt, 120.0, 48.0, 40.0, 0, 0, 0, 0);

Catalog few_stars() {
    std::vector<Star> stars;
    for (const Vec3& v : testing::spread_over_sky(60, 10.0 * kDegToRad, 3))
        stars.push_back(testing::star_at(v, static_cast<std::uint32_t>(100 + stars.size()), 1.0f));
    return testing::catalog_of(std::move(stars));
}

const std::vector<Pass>& passes() {
    static const std::vector<Pass> all = {
        {"blob detector",
         [](const Frame& f, Cancellation c) { return centroid_values(detect_centroids_masked(f.view(), 50, {}, c)); }},
        {"matched filter",
         [](const Frame& f, Cancellation c) {
             return centroid_values(detect_centroids_matched(f.view(), 50, 1.5, c));
         }},
        {"solar disc",
         [](const Frame& f, Cancellation c) {
             const auto sun = detect_sun_masked(f.view(), 20, std::nullopt, c);
             return sun ? std::vector<double>{sun->x, sun->y} : std::vector<double>{};
         }},
        {"foreground mask",
         [](const Frame& f, Cancellation c) { return as_values(foreground_mask(f.view(), c)->flags); }},
        {"extended light",
         [](const Frame& f, Cancellation c) { return as_values(remove_extended_light(f.view(), 9, c)->pixels); }},
        {"altitude mask",
         [](const Frame& f, Cancellation c) {
             return as_values(below_altitude_mask(kPinhole, {0, -1, 1}, f.width, f.height, 0.1, c)->flags);
         }},
        {"glare mask", [](const Frame& f, Cancellation c) { return as_values(glare_mask(f.view(), 20, 9, c)->flags); }},
        {"remap image",
         [](const Frame& f, Cancellation c) {
             return as_values(remap_image(f.view(), kPinhole, kPinhole, 70, 50, 7, c)->pixels);
         }},
        {"remap mask",
         [](const Frame& f, Cancellation c) {
             const std::vector<std::uint8_t> flags(f.pixels.size(), 0);
             return as_values(remap_mask({flags, f.width, f.height}, kPinhole, kPinhole, 70, 50, c)->flags);
         }},
        {"scene",
         [](const Frame& f, Cancellation c) {
             static const Catalog catalog = few_stars();
             SceneParams p;
             p.camera = Camera::from_fov(f.width, f.height, 180.0, 0, f.width / 2.0, f.height / 2.0, 0, 0, 0, 0);
             p.width = f.width;
             p.height = f.height;
             p.background_noise = 30.0;
             p.cancel = c;
             return as_values(synthesize_scene(catalog, p, 0.5, 0.2, 2461000.5, 90, 0, 0)->pixels);
         }},
    };
    return all;
}

TEST(Cancellation, EveryLongPassStopsWhenAskedAndOtherwiseGivesItsUsualResult) {
    const Frame sky = starry_sky();
    for (const Pass& pass : passes()) {
        Hook stopping{true};
        EXPECT_THROW(pass.run(sky, stopping.cancellation()), Interrupted) << pass.name;
        EXPECT_EQ(stopping.calls, 1) << pass.name;  // it stops at the first answer

        Hook going{false};
        const std::vector<double> asked = pass.run(sky, going.cancellation());
        EXPECT_GE(going.calls, 1) << pass.name;
        EXPECT_EQ(asked, pass.run(sky, {})) << pass.name;
    }
}

TEST(Cancellation, RowPollAsksAtMostOnceAnInterval) {
    Hook hook;
    RowPoll poll(hook.cancellation());
    for (int row = 0; row < 1000; ++row) poll();
    EXPECT_GE(hook.calls, 1);
    EXPECT_LT(hook.calls, 1000);  // a thousand cheap rows take far less than 1000 intervals
    EXPECT_NO_THROW(RowPoll{}());
}

}  // namespace
}  // namespace halvane
