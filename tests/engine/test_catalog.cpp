#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "support.hpp"

namespace halvane {
namespace {

// Little-endian file bytes, written field by field like the builder does.
struct Bytes {
    std::vector<std::byte> data;
    // (offset, size) of every field in write order, to predict truncation texts.
    std::vector<std::pair<std::size_t, std::size_t>> fields;

    template <class T>
    Bytes& put(T value) {
        fields.emplace_back(data.size(), sizeof(T));
        const auto* raw = reinterpret_cast<const std::byte*>(&value);
        data.insert(data.end(), raw, raw + sizeof(T));
        return *this;
    }
    Bytes plus_byte() const {
        Bytes b = *this;
        b.data.push_back(std::byte{0});
        return b;
    }
    std::span<const std::byte> span() const { return data; }
};

Star make_star(std::uint32_t hr_id, float vmag, double ra, double dec) {
    return testing::star_at(testing::from_radec(ra, dec), hr_id, vmag);
}

const std::vector<Star> kThreeStars = {make_star(7001, 0.03f, 4.8736, 0.6769),
                                       make_star(2491, -1.46f, 1.7677, -0.2917),
                                       make_star(424, 2.02f, 0.6624, 1.5580)};
const std::vector<StarPair> kThreePairs = {{-0.5f, 0, 1}, {0.25f, 1, 2}, {0.25f, 2, 0}};

// The files of the given records, with their own count unless one is given.
Bytes catalog_file(const std::vector<Star>& stars = kThreeStars, std::optional<std::uint32_t> count = {},
                   std::uint32_t version = 2, double epoch = 2000.0) {
    Bytes b;
    b.put(std::array{'H', 'C', 'A', 'T'}).put(version).put(count.value_or(stars.size())).put(epoch);
    for (const Star& s : stars) {
        b.put(s.hr_id).put(s.vmag).put(s.ra).put(s.dec).put(s.unit[0]).put(s.unit[1]).put(s.unit[2]);
        b.put(s.pm_ra).put(s.pm_dec).put(s.parallax);
    }
    return b;
}

Bytes pair_file(const std::vector<StarPair>& pairs = kThreePairs, std::optional<std::uint32_t> count = {},
                std::uint32_t version = 1) {
    Bytes b;
    b.put(std::array{'H', 'P', 'R', 'S'}).put(version).put(count.value_or(pairs.size()));
    for (const StarPair& p : pairs) b.put(p.cos_theta).put(p.i).put(p.j);
    return b;
}

// "loaded", or the refusal text without its "catalog format error: " prefix.
std::string load_error(const Bytes& catalog, const Bytes& pairs) {
    auto result = Catalog::from_bytes(catalog.span(), pairs.span());
    if (result) return "loaded";
    const std::string text = result.error().message();
    const std::string prefix = "catalog format error: ";
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    return text.substr(prefix.size());
}

TEST(CatalogLoad, EveryFieldRoundTripsBitForBit) {
    std::vector<Star> stars = kThreeStars;
    stars[0].pm_ra = 200.9f;
    stars[0].pm_dec = 286.2f;
    stars[0].parallax = 130.2f;
    for (const auto& [star_list, pair_list] : {std::pair{stars, kThreePairs}, {{}, {}}}) {
        const Bytes catalog_bytes = catalog_file(star_list), pair_bytes = pair_file(pair_list);
        ASSERT_ACCEPTED(catalog, Catalog::from_bytes(catalog_bytes.span(), pair_bytes.span()));
        EXPECT_EQ(catalog->epoch, 2000.0);
        EXPECT_EQ(catalog_file(catalog->stars).data, catalog_bytes.data);
        EXPECT_EQ(pair_file(catalog->pairs).data, pair_bytes.data);
        // The star grid comes with the load, over these stars.
        ASSERT_NE(catalog->grid, nullptr);
        EXPECT_EQ(catalog->grid->star_index.size(), star_list.size());
    }
}

TEST(CatalogLoad, RefusalsInTheirCheckingOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Under the address sanitizer an allocation for 4e9 records would abort.
    const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
    Bytes bad_magic = catalog_file();
    bad_magic.data[3] = std::byte{'X'};
    const Bytes good = catalog_file();
    std::vector<Star> no_parallax = kThreeStars, no_declination = kThreeStars;
    no_parallax[1].parallax = nan;
    no_declination[2].dec = -inf;

    const struct { const char* what; Bytes catalog, pairs; std::string message; } cases[] = {
        {"bad magic", bad_magic, pair_file(), "bad magic, expected HCAT"},
        {"catalogue version 3", catalog_file(kThreeStars, 3, 3), pair_file(),
         "unsupported version 3; this build reads version 2"},
        {"catalogue version 1", catalog_file(kThreeStars, 3, 1), pair_file(),
         "unsupported version 1; this build reads version 2"},
        {"huge star count", catalog_file(kThreeStars, huge), pair_file(), "truncated: wanted 4 bytes at offset 200"},
        {"extra catalogue byte", good.plus_byte(), pair_file(), "trailing bytes after catalog records"},
        {"NaN epoch", catalog_file(kThreeStars, 3, 2, nan), pair_file(), "epoch is not finite"},
        {"infinite epoch", catalog_file(kThreeStars, 3, 2, inf), pair_file(), "epoch is not finite"},
        {"NaN parallax", catalog_file(no_parallax), pair_file(),
         "star 1 (HR 2491) has a non-finite position, proper motion or parallax"},
        {"infinite declination", catalog_file(no_declination), pair_file(),
         "star 2 (HR 424) has a non-finite position, proper motion or parallax"},
        {"count below records", catalog_file(kThreeStars, 2), pair_file(), "trailing bytes after catalog records"},
        // The catalogue is checked whole before the pair file is looked at.
        {"both broken", good.plus_byte(), Bytes{}, "trailing bytes after catalog records"},
        {"catalogue as pair file", good, good, "bad magic, expected HPRS"},
        {"pair version 2", good, pair_file(kThreePairs, 3, 2), "unsupported version 2; this build reads version 1"},
        {"huge pair count", good, pair_file(kThreePairs, huge), "truncated: wanted 4 bytes at offset 36"},
        {"extra pair byte", good, pair_file().plus_byte(), "trailing bytes after pairs records"},
        {"unsorted", good, pair_file({{0.5f, 0, 1}, {0.25f, 1, 2}}), "pairs not sorted by cos_theta"},
        {"index j out of range", good, pair_file({{0.5f, 0, 3}}), "pair index out of range: 0,3"},
        {"index i at the star count", good, pair_file({{0.5f, 3, 1}}), "pair index out of range: 3,1"},
        // Order is tested before the indices of the same record.
        {"unsorted and out of range", good, pair_file({{0.5f, 0, 1}, {0.25f, 9, 9}}), "pairs not sorted by cos_theta"},
        {"pairs into an empty catalogue", catalog_file({}), pair_file({{0.5f, 0, 0}}), "pair index out of range: 0,0"},
        // Equal cosines, infinities and signed zeros are in order; a NaN
        // passes the order test on either side of the comparison.
        {"equal", good, pair_file({{0.25f, 0, 1}, {0.25f, 1, 2}}), "loaded"},
        {"infinities", good, pair_file({{-inf, 0, 1}, {inf, 1, 2}}), "loaded"},
        {"zeros", good, pair_file({{0.0f, 0, 1}, {-0.0f, 1, 2}}), "loaded"},
        {"nan", good, pair_file({{0.5f, 0, 1}, {nan, 1, 2}, {0.1f, 0, 2}}), "loaded"},
    };
    for (const auto& c : cases) EXPECT_EQ(load_error(c.catalog, c.pairs), c.message) << c.what;
}

TEST(CatalogLoad, EveryTruncationNamesTheFieldThatDoesNotFit) {
    const Bytes files[] = {catalog_file(), pair_file()};
    for (int which = 0; which < 2; ++which) {
        const Bytes& file = files[which];
        for (std::size_t length = 0; length <= file.data.size(); ++length) {
            Bytes cut = file;
            cut.data.resize(length);
            std::string expected = "loaded";
            for (auto [offset, size] : file.fields) {
                if (offset + size > length) {
                    expected = "truncated: wanted " + std::to_string(size) + " bytes at offset " +
                               std::to_string(offset);
                    break;
                }
            }
            EXPECT_EQ(load_error(which == 0 ? cut : files[0], which == 1 ? cut : files[1]), expected)
                << which << " " << length;
        }
    }
}

TEST(PairWindow, BoundsAreInclusiveAndTheRunIsAViewOfThePairs) {
    Catalog catalog;
    catalog.stars = kThreeStars;
    catalog.pairs = {{-0.5f, 0, 1}, {0.1f, 0, 2}, {0.25f, 1, 2}, {0.25f, 2, 0}, {0.9f, 1, 0}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct { double lo, hi; std::size_t start, count; } cases[] = {
        {0.25f, 0.25f, 2, 2}, {0.1f, 0.25f, 1, 3}, {-1.0, 1.0, 0, 5}, {0.26, 0.89, 0, 0}, {-inf, -0.5, 0, 1},
        {0.9f, 2.0, 4, 1}, {1.5, 2.0, 0, 0}, {0.9, 0.1, 0, 0}, {nan, 1.0, 0, 0}, {-1.0, nan, 0, 0},
        // Stored cosines are compared widened: the f32 0.1 lies just above
        // the double 0.1.
        {0.1, 0.1, 0, 0}, {0.1, 0.1000001, 1, 1},
    };
    for (const auto& c : cases) {
        const auto run = catalog.pairs_in_range(c.lo, c.hi);
        EXPECT_EQ(run.size(), c.count) << c.lo << " " << c.hi;
        if (c.count > 0) { EXPECT_EQ(run.data(), catalog.pairs.data() + c.start) << c.lo << " " << c.hi; }
    }
    EXPECT_TRUE(Catalog{}.pairs_in_range(-1.0, 1.0).empty());

    // Stored NaNs break the ordering; the run still stays inside the array.
    catalog.pairs = {{static_cast<float>(nan), 0, 1}, {0.2f, 0, 2}, {static_cast<float>(nan), 1, 2}, {0.7f, 2, 0}};
    for (double lo : {-1.0, 0.0, 0.5})
        for (double hi : {0.1, 0.6, 1.0}) {
            const auto run = catalog.pairs_in_range(lo, hi);
            EXPECT_TRUE(run.empty() || (run.data() >= catalog.pairs.data() &&
                                        run.data() + run.size() <= catalog.pairs.data() + catalog.pairs.size()));
        }
}

double angle_between(const Vec3& a, const Vec3& b) { return std::atan2(norm(cross(a, b)), dot(a, b)); }

constexpr double kMas = 4.8481368110953594e-9;

// Even a stored vector that disagrees with ra and dec comes back as it is.
TEST(StarMotion, AStillStarReturnsItsStoredVectorBitForBit) {
    Star star = make_star(1, 3.0f, 1.0, 0.5);
    star.unit = {0.6, 0.0, 0.8};
    for (double jd : {2451545.0, 2460000.5, 2415020.0, 0.0, std::numeric_limits<double>::quiet_NaN()}) {
        const auto u = star.unit_at(jd, 2000.0);
        EXPECT_EQ(std::memcmp(u.data(), star.unit.data(), sizeof u), 0) << jd;
    }
}

// Over a year a near star moves by at most its parallax, some day by most.
TEST(StarMotion, ParallaxMovesAStarByAtMostItsParallaxOverAYear) {
    for (double dec : {-1.2, -0.3, 0.0, 0.4, 1.45})
        for (double ra : {0.0, 1.3, 3.5, 5.9}) {
            Star star = make_star(1, 3.0f, ra, dec);
            star.parallax = 700.0f;
            double largest = 0.0;
            for (int day = 0; day < 366; day += 5)
                largest = std::max(largest, angle_between(star.unit_at(2451545.0 + day, 2000.0), star.unit));
            EXPECT_LE(largest, 700.0 * kMas * (1.0 + 1e-6)) << ra << " " << dec;
            EXPECT_GT(largest, 0.25 * 700.0 * kMas) << ra << " " << dec;
        }
}

// At dec 60 degrees, 1000 mas/yr in ra moves the star 1000 mas a year along
// the sky, not 1000 mas of right ascension.
TEST(StarMotion, ProperMotionIsAGreatCircleRateFromTheEpoch) {
    Star star = make_star(1, 3.0f, 2.0, 60.0 * kDegToRad);
    star.pm_ra = 1000.0f;
    const double jd_2100 = 2451545.0 + 100.0 * 365.25;
    EXPECT_NEAR(angle_between(star.unit_at(jd_2100, 2000.0), star.unit) / (100000.0 * kMas), 1.0, 1e-6);
    // A catalogue at epoch 2100 is already there in 2100.
    EXPECT_NEAR(angle_between(star.unit_at(jd_2100, 2100.0), star.unit), 0.0, 1e-15);
    star = make_star(1, 3.0f, 2.0, 0.5);
    star.pm_dec = -500.0f;
    const auto moved = star.unit_at(jd_2100, 2000.0);
    EXPECT_NEAR(std::asin(moved[2]), 0.5 - 50000.0 * kMas, 1e-12);
    EXPECT_NEAR(norm(moved), 1.0, 1e-15);
}

TEST(CatalogFiles, LoadReadsBothFilesAndCarriesTheOperatingSystemText) {
    const auto dir = std::filesystem::temp_directory_path() / ("halvane_catalog_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto write = [&](const char* name, const Bytes& bytes) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data.data()), static_cast<std::streamsize>(bytes.data.size()));
        return (dir / name).string();
    };
    const std::string stars = write("stars.hcat", catalog_file()), pairs = write("pairs.hprs", pair_file());
    const std::string missing = (dir / "missing").string();
    // A megabyte past the records is reported as trailing bytes; one is read.
    Bytes padded = pair_file();
    padded.data.resize(padded.data.size() + (std::size_t{1} << 20));
    const std::string long_pairs = write("long.hprs", padded);
    // A FIFO with no writer would block a plain open forever.
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string not_regular = "i/o error: not a regular file: a catalogue must be read from a file on disk";
    const struct { std::string catalog, pairs, message; } cases[] = {
        {stars, pairs, "loaded"},
        {missing, pairs, "i/o error: No such file or directory (os error 2)"},
        {stars, missing, "i/o error: No such file or directory (os error 2)"},
        {dir.string(), pairs, "i/o error: Is a directory (os error 21)"},
        {stars + std::string(1, '\0') + "x", pairs, "i/o error: Invalid argument (os error 22)"},
        {stars, long_pairs, "catalog format error: trailing bytes after pairs records"},
        {fifo, pairs, not_regular},
        {stars, "/dev/zero", not_regular},
    };
    for (const auto& c : cases) {
        auto result = Catalog::load(c.catalog, c.pairs);
        EXPECT_EQ(result ? "loaded" : result.error().message(), c.message);
        EXPECT_TRUE(!result || (result->stars.size() == 3 && result->pairs.size() == 3));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace halvane
