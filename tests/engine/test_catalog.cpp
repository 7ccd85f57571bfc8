#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "catalog.hpp"

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
    Bytes& magic(const char (&text)[5]) {
        fields.emplace_back(data.size(), 4);
        for (int k = 0; k < 4; ++k) data.push_back(static_cast<std::byte>(text[k]));
        return *this;
    }
    std::span<const std::byte> span() const { return data; }
};

Star make_star(std::uint32_t hr_id, float vmag, double ra, double dec) {
    Star s;
    s.hr_id = hr_id;
    s.vmag = vmag;
    s.ra = ra;
    s.dec = dec;
    s.unit = {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
    return s;
}

Bytes catalog_file(const std::vector<Star>& stars, std::uint32_t count, std::uint32_t version = 2) {
    Bytes b;
    b.magic("HCAT").put<std::uint32_t>(version).put(count).put(2000.0);
    for (const Star& s : stars) {
        b.put(s.hr_id).put(s.vmag).put(s.ra).put(s.dec).put(s.unit[0]).put(s.unit[1]).put(s.unit[2]);
        b.put(s.pm_ra).put(s.pm_dec).put(s.parallax);
    }
    return b;
}
Bytes catalog_file(const std::vector<Star>& stars) {
    return catalog_file(stars, static_cast<std::uint32_t>(stars.size()));
}

Bytes pair_file(const std::vector<StarPair>& pairs, std::uint32_t count, std::uint32_t version = 1) {
    Bytes b;
    b.magic("HPRS").put<std::uint32_t>(version).put(count);
    for (const StarPair& p : pairs) b.put(p.cos_theta).put(p.i).put(p.j);
    return b;
}
Bytes pair_file(const std::vector<StarPair>& pairs) {
    return pair_file(pairs, static_cast<std::uint32_t>(pairs.size()));
}

const std::vector<Star> kThreeStars = {make_star(7001, 0.03f, 4.8736, 0.6769),
                                       make_star(2491, -1.46f, 1.7677, -0.2917),
                                       make_star(424, 2.02f, 0.6624, 1.5580)};
const std::vector<StarPair> kThreePairs = {{-0.5f, 0, 1}, {0.25f, 1, 2}, {0.25f, 2, 0}};

std::string load_error(const Bytes& catalog, const Bytes& pairs) {
    auto result = Catalog::from_bytes(catalog.span(), pairs.span());
    return result ? std::string("loaded") : result.error().message();
}

// The message a prefix of `file` of `length` bytes must give: truncation at
// the first field that does not fit.
std::string expected_truncation(const Bytes& file, std::size_t length) {
    for (auto [offset, size] : file.fields) {
        if (offset + size > length) {
            return "catalog format error: truncated: wanted " + std::to_string(size) + " bytes at offset " +
                   std::to_string(offset);
        }
    }
    return "loaded";
}

TEST(CatalogLoad, ValidFilesRoundTrip) {
    std::vector<Star> stars = kThreeStars;
    stars[0].pm_ra = 200.9f;
    stars[0].pm_dec = 286.2f;
    stars[0].parallax = 130.2f;
    auto catalog = Catalog::from_bytes(catalog_file(stars).span(), pair_file(kThreePairs).span());
    ASSERT_TRUE(catalog) << catalog.error().message();
    EXPECT_EQ(catalog->epoch, 2000.0);
    ASSERT_EQ(catalog->stars.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(std::memcmp(&catalog->stars[k].unit, &stars[k].unit, sizeof stars[k].unit), 0);
        EXPECT_EQ(catalog->stars[k].hr_id, stars[k].hr_id);
        EXPECT_EQ(catalog->stars[k].vmag, stars[k].vmag);
        EXPECT_EQ(catalog->stars[k].ra, stars[k].ra);
        EXPECT_EQ(catalog->stars[k].dec, stars[k].dec);
    }
    EXPECT_EQ(catalog->stars[0].pm_ra, 200.9f);
    EXPECT_EQ(catalog->stars[0].pm_dec, 286.2f);
    EXPECT_EQ(catalog->stars[0].parallax, 130.2f);
    ASSERT_EQ(catalog->pairs.size(), 3u);
    EXPECT_EQ(catalog->pairs[2].cos_theta, 0.25f);
    EXPECT_EQ(catalog->pairs[2].i, 2);
    EXPECT_EQ(catalog->pairs[2].j, 0);
}

TEST(CatalogLoad, EmptyCatalogAndIndexLoad) {
    auto catalog = Catalog::from_bytes(catalog_file({}).span(), pair_file({}).span());
    ASSERT_TRUE(catalog);
    EXPECT_TRUE(catalog->stars.empty());
    EXPECT_TRUE(catalog->pairs_in_range(-1.0, 1.0).empty());
}

TEST(CatalogLoad, RefusalsInOrder) {
    const Bytes good_catalog = catalog_file(kThreeStars);
    const Bytes good_pairs = pair_file(kThreePairs);
    Bytes extra_star_byte = good_catalog;
    extra_star_byte.data.push_back(std::byte{0});
    Bytes extra_pair_byte = good_pairs;
    extra_pair_byte.data.push_back(std::byte{0});
    Bytes bad_magic = good_catalog;
    bad_magic.data[3] = std::byte{'X'};
    Bytes header_only = catalog_file({});
    header_only.data.resize(12);

    const struct {
        const char* what;
        Bytes catalog;
        Bytes pairs;
        const char* message;
    } cases[] = {
        {"empty catalogue", Bytes{}, good_pairs, "truncated: wanted 4 bytes at offset 0"},
        {"header only", header_only, good_pairs, "truncated: wanted 8 bytes at offset 12"},
        {"bad magic", bad_magic, good_pairs, "bad magic, expected HCAT"},
        {"pair file as catalogue", good_pairs, good_pairs, "bad magic, expected HCAT"},
        {"catalogue version 3", catalog_file(kThreeStars, 3, 3), good_pairs,
         "unsupported version 3; this build reads version 2"},
        {"catalogue version 1", catalog_file(kThreeStars, 3, 1), good_pairs,
         "unsupported version 1; this build reads version 2"},
        {"extra catalogue byte", extra_star_byte, good_pairs, "trailing bytes after catalog records"},
        {"count below records", catalog_file(kThreeStars, 2), good_pairs, "trailing bytes after catalog records"},
        // The catalogue is checked whole before the pair file is looked at.
        {"both broken", extra_star_byte, Bytes{}, "trailing bytes after catalog records"},
        {"empty pair file", good_catalog, Bytes{}, "truncated: wanted 4 bytes at offset 0"},
        {"catalogue as pair file", good_catalog, good_catalog, "bad magic, expected HPRS"},
        {"pair version 2", good_catalog, pair_file(kThreePairs, 3, 2),
         "unsupported version 2; this build reads version 1"},
        {"extra pair byte", good_catalog, extra_pair_byte, "trailing bytes after pairs records"},
        {"unsorted", good_catalog, pair_file({{0.5f, 0, 1}, {0.25f, 1, 2}}), "pairs not sorted by cos_theta"},
        {"index j out of range", good_catalog, pair_file({{0.5f, 0, 3}}), "pair index out of range: 0,3"},
        {"index i out of range", good_catalog, pair_file({{0.5f, 65535, 1}}), "pair index out of range: 65535,1"},
        // Order is tested before the indices of the same record.
        {"unsorted and out of range", good_catalog, pair_file({{0.5f, 0, 1}, {0.25f, 9, 9}}),
         "pairs not sorted by cos_theta"},
        {"pairs into an empty catalogue", catalog_file({}), pair_file({{0.5f, 0, 0}}),
         "pair index out of range: 0,0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(load_error(c.catalog, c.pairs), std::string("catalog format error: ") + c.message) << c.what;
    }
}

TEST(CatalogLoad, PairOrderRules) {
    const Bytes catalog = catalog_file(kThreeStars);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(load_error(catalog, pair_file({{0.25f, 0, 1}, {0.25f, 1, 2}})), "loaded");
    EXPECT_EQ(load_error(catalog, pair_file({{-inf, 0, 1}, {inf, 1, 2}})), "loaded");
    // -0 and +0 compare equal.
    EXPECT_EQ(load_error(catalog, pair_file({{0.0f, 0, 1}, {-0.0f, 1, 2}})), "loaded");
    // A NaN passes the order test on either side of the comparison.
    EXPECT_EQ(load_error(catalog, pair_file({{0.5f, 0, 1}, {nan, 1, 2}, {0.1f, 0, 2}})), "loaded");
    EXPECT_EQ(load_error(catalog, pair_file({{0.5f, 0, 1}, {0.1f, 0, 2}})),
              "catalog format error: pairs not sorted by cos_theta");
}

TEST(CatalogLoad, EveryTruncatedCatalogueRefusesWithTheFieldThatDoesNotFit) {
    const Bytes catalog = catalog_file(kThreeStars);
    const Bytes pairs = pair_file(kThreePairs);
    for (std::size_t length = 0; length < catalog.data.size(); ++length) {
        Bytes cut = catalog;
        cut.data.resize(length);
        EXPECT_EQ(load_error(cut, pairs), expected_truncation(catalog, length)) << length;
    }
    EXPECT_EQ(load_error(catalog, pairs), "loaded");
}

TEST(CatalogLoad, EveryTruncatedPairFileRefusesWithTheFieldThatDoesNotFit) {
    const Bytes catalog = catalog_file(kThreeStars);
    const Bytes pairs = pair_file(kThreePairs);
    for (std::size_t length = 0; length < pairs.data.size(); ++length) {
        Bytes cut = pairs;
        cut.data.resize(length);
        EXPECT_EQ(load_error(catalog, cut), expected_truncation(pairs, length)) << length;
    }
    // A last pair record cut after its i field names j.
    Bytes cut = pairs;
    cut.data.resize(pairs.data.size() - 2);
    EXPECT_EQ(load_error(catalog, cut), "catalog format error: truncated: wanted 2 bytes at offset 34");
}

TEST(CatalogLoad, HugeDeclaredCountsRefuseWithoutAllocatingForThem) {
    // Under the address sanitizer an allocation for 4e9 records would abort.
    const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(load_error(catalog_file(kThreeStars, huge), pair_file(kThreePairs)),
              "catalog format error: truncated: wanted 4 bytes at offset 200");
    EXPECT_EQ(load_error(catalog_file(kThreeStars), pair_file(kThreePairs, huge)),
              "catalog format error: truncated: wanted 4 bytes at offset 36");
}

TEST(ReaderTest, FieldsAreLittleEndianAndTruncationKeepsThePosition) {
    const std::byte raw[] = {std::byte{0x01}, std::byte{0x02}, std::byte{0x03}, std::byte{0x04},
                             std::byte{0x05}, std::byte{0x06}};
    Reader reader(raw);
    EXPECT_EQ(reader.read_u32().value(), 0x04030201u);
    auto failed = reader.read_u32();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "catalog format error: truncated: wanted 4 bytes at offset 4");
    EXPECT_EQ(reader.position(), 4u);
    EXPECT_EQ(reader.read_u16().value(), 0x0605u);
    EXPECT_EQ(reader.remaining(), 0u);
}

class PairWindow : public ::testing::Test {
protected:
    void SetUp() override {
        catalog.stars = kThreeStars;
        catalog.pairs = {{-0.5f, 0, 1}, {0.1f, 0, 2}, {0.25f, 1, 2}, {0.25f, 2, 0}, {0.9f, 1, 0}};
    }
    std::size_t first_index(std::span<const StarPair> run) const {
        return run.empty() ? catalog.pairs.size() : static_cast<std::size_t>(run.data() - catalog.pairs.data());
    }
    Catalog catalog;
};

TEST_F(PairWindow, BoundsAreInclusiveAndTheRunIsAViewOfThePairs) {
    const double at_quarter = static_cast<double>(0.25f);
    const struct {
        double lo, hi;
        std::size_t start, count;
    } cases[] = {
        {at_quarter, at_quarter, 2, 2},
        {0.1f, 0.25f, 1, 3},
        {-1.0, 1.0, 0, 5},
        {0.26, 0.89, 5, 0},
        {-std::numeric_limits<double>::infinity(), -0.5, 0, 1},
        {0.9f, 2.0, 4, 1},
        {1.5, 2.0, 5, 0},
    };
    for (const auto& c : cases) {
        const auto run = catalog.pairs_in_range(c.lo, c.hi);
        EXPECT_EQ(run.size(), c.count) << c.lo << " " << c.hi;
        if (c.count > 0) {
            EXPECT_EQ(first_index(run), c.start) << c.lo << " " << c.hi;
        }
    }
    // Stored cosines are compared widened: the f32 0.1 lies just above the
    // double 0.1.
    EXPECT_EQ(catalog.pairs_in_range(0.1, 0.1).size(), 0u);
    EXPECT_EQ(catalog.pairs_in_range(0.1, 0.1000001).size(), 1u);
}

TEST_F(PairWindow, ReversedOrNanBoundsGiveNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(catalog.pairs_in_range(0.9, 0.1).empty());
    EXPECT_TRUE(catalog.pairs_in_range(nan, 1.0).empty());
    EXPECT_TRUE(catalog.pairs_in_range(-1.0, nan).empty());
    EXPECT_TRUE(Catalog{}.pairs_in_range(-1.0, 1.0).empty());
}

TEST(PairWindowNan, StoredNanNeverEscapesTheArray) {
    Catalog catalog;
    catalog.stars = kThreeStars;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    catalog.pairs = {{nan, 0, 1}, {0.2f, 0, 2}, {nan, 1, 2}, {0.7f, 2, 0}};
    for (double lo : {-1.0, 0.0, 0.5}) {
        for (double hi : {0.1, 0.6, 1.0}) {
            const auto run = catalog.pairs_in_range(lo, hi);
            if (!run.empty()) {
                EXPECT_GE(run.data(), catalog.pairs.data());
                EXPECT_LE(run.data() + run.size(), catalog.pairs.data() + catalog.pairs.size());
            }
        }
    }
}

double angle_between(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    const std::array<double, 3> cross{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                      a[0] * b[1] - a[1] * b[0]};
    const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    return std::atan2(std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]), dot);
}

constexpr double kMas = 4.8481368110953594e-9;

TEST(StarMotion, StillStarReturnsItsStoredVectorBitForBit) {
    Star star = make_star(1, 3.0f, 1.0, 0.5);
    // A stored vector that disagrees with ra and dec is still returned as is.
    star.unit = {0.6, 0.0, 0.8};
    for (double jd : {2451545.0, 2460000.5, 2415020.0, 0.0, std::numeric_limits<double>::quiet_NaN()}) {
        const auto u = star.unit_at(jd, 2000.0);
        EXPECT_EQ(std::memcmp(u.data(), star.unit.data(), sizeof u), 0) << jd;
    }
}

TEST(StarMotion, ParallaxMovesAStarByAtMostItsParallax) {
    for (double dec : {-1.2, -0.3, 0.0, 0.4, 1.45}) {
        for (double ra : {0.0, 1.3, 3.5, 5.9}) {
            Star star = make_star(1, 3.0f, ra, dec);
            star.parallax = 700.0f;
            double largest = 0.0;
            for (int day = 0; day < 366; day += 5) {
                const double shift = angle_between(star.unit_at(2451545.0 + day, 2000.0), star.unit);
                EXPECT_LE(shift, 700.0 * kMas * (1.0 + 1e-6)) << ra << " " << dec << " " << day;
                largest = std::max(largest, shift);
            }
            // Over a year the star is well away from the Sun at some date.
            EXPECT_GT(largest, 0.25 * 700.0 * kMas) << ra << " " << dec;
        }
    }
}

TEST(StarMotion, ProperMotionIsAGreatCircleRateFromTheEpoch) {
    // At dec 60 degrees, 1000 mas/yr in ra must move the star 1000 mas per
    // year along the sky, not 1000 mas of right ascension.
    Star star = make_star(1, 3.0f, 2.0, 60.0 * 0.017453292519943295);
    star.pm_ra = 1000.0f;
    const double jd_2100 = 2451545.0 + 100.0 * 365.25;
    EXPECT_NEAR(angle_between(star.unit_at(jd_2100, 2000.0), star.unit) / (100000.0 * kMas), 1.0, 1e-6);
    // A catalogue at epoch 2100 is already there in 2100.
    EXPECT_NEAR(angle_between(star.unit_at(jd_2100, 2100.0), star.unit), 0.0, 1e-15);

    Star north = make_star(1, 3.0f, 2.0, 0.5);
    north.pm_dec = -500.0f;
    const auto moved = north.unit_at(jd_2100, 2000.0);
    EXPECT_NEAR(std::asin(moved[2]), 0.5 - 50000.0 * kMas, 1e-12);
    EXPECT_NEAR(std::hypot(std::hypot(moved[0], moved[1]), moved[2]), 1.0, 1e-15);
}

class CatalogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("halvane_catalog_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const char* name, const Bytes& bytes) {
        const auto path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data.data()), static_cast<std::streamsize>(bytes.data.size()));
        return path.string();
    }
    std::filesystem::path dir;
};

TEST_F(CatalogFiles, LoadsWhatFromBytesLoads) {
    const std::string stars = write("stars.hcat", catalog_file(kThreeStars));
    const std::string pairs = write("pairs.hprs", pair_file(kThreePairs));
    auto catalog = Catalog::load(stars, pairs);
    ASSERT_TRUE(catalog) << catalog.error().message();
    EXPECT_EQ(catalog->stars.size(), 3u);
    EXPECT_EQ(catalog->pairs.size(), 3u);

    auto bad = Catalog::load(stars, stars);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "catalog format error: bad magic, expected HPRS");
}

TEST_F(CatalogFiles, FileSystemFailuresCarryTheOperatingSystemText) {
    const std::string stars = write("stars.hcat", catalog_file(kThreeStars));
    const std::string pairs = write("pairs.hprs", pair_file(kThreePairs));
    const std::string missing = (dir / "missing").string();
    const struct {
        std::string catalog, pairs, message;
    } cases[] = {
        {missing, pairs, "i/o error: No such file or directory (os error 2)"},
        {stars, missing, "i/o error: No such file or directory (os error 2)"},
        {dir.string(), pairs, "i/o error: Is a directory (os error 21)"},
        {stars + std::string(1, '\0') + "x", pairs, "i/o error: Invalid argument (os error 22)"},
        {"", pairs, "i/o error: No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        auto result = Catalog::load(c.catalog, c.pairs);
        ASSERT_FALSE(result) << c.message;
        EXPECT_EQ(result.error().message(), c.message);
        EXPECT_TRUE(result.error().is<Error::Io>());
    }
}

}  // namespace
}  // namespace halvane
