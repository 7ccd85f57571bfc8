#include "catalog.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ephemeris.hpp"
#include "time.hpp"

namespace halvane {

namespace {

static_assert(std::endian::native == std::endian::little, "the file formats are read in place as little-endian");

constexpr double kRadPerMas = 4.8481368110953594e-9;

Error format_error(std::string message) { return Error::CatalogFormat{std::move(message)}; }

Error os_error(int code) {
    return Error::Io{std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"};
}

// Closes the descriptor on every path out of read_file.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

Result<std::span<const std::byte>> Reader::read_bytes(std::size_t n) {
    if (n > remaining()) {
        return std::unexpected(format_error("truncated: wanted " + std::to_string(n) + " bytes at offset " +
                                            std::to_string(position_)));
    }
    const auto field = bytes_.subspan(position_, n);
    position_ += n;
    return field;
}

namespace {

template <class T>
Result<T> read_value(Reader& reader) {
    auto field = reader.read_bytes(sizeof(T));
    if (!field) return std::unexpected(std::move(field.error()));
    T value;
    std::memcpy(&value, field->data(), sizeof(T));
    return value;
}

}  // namespace

Result<std::uint16_t> Reader::read_u16() { return read_value<std::uint16_t>(*this); }
Result<std::uint32_t> Reader::read_u32() { return read_value<std::uint32_t>(*this); }
Result<float> Reader::read_f32() { return read_value<float>(*this); }
Result<double> Reader::read_f64() { return read_value<double>(*this); }

Result<std::uint32_t> Reader::expect_header(std::string_view magic, std::uint32_t version) {
    auto read_magic = read_bytes(magic.size());
    if (!read_magic) return std::unexpected(std::move(read_magic.error()));
    if (std::memcmp(read_magic->data(), magic.data(), magic.size()) != 0) {
        return std::unexpected(format_error("bad magic, expected " + std::string(magic)));
    }
    auto read_version = read_u32();
    if (!read_version) return std::unexpected(std::move(read_version.error()));
    if (*read_version != version) {
        return std::unexpected(format_error("unsupported version " + std::to_string(*read_version) +
                                            "; this build reads version " + std::to_string(version)));
    }
    return read_u32();
}

namespace {

// Reads the fields of one star record in file order; the first field that
// does not fit names the truncation.
Result<Star> read_star(Reader& reader) {
    Star star;
    auto hr_id = reader.read_u32();
    if (!hr_id) return std::unexpected(std::move(hr_id.error()));
    star.hr_id = *hr_id;
    auto vmag = reader.read_f32();
    if (!vmag) return std::unexpected(std::move(vmag.error()));
    star.vmag = *vmag;
    for (double* field : {&star.ra, &star.dec, &star.unit[0], &star.unit[1], &star.unit[2]}) {
        auto value = reader.read_f64();
        if (!value) return std::unexpected(std::move(value.error()));
        *field = *value;
    }
    for (float* field : {&star.pm_ra, &star.pm_dec, &star.parallax}) {
        auto value = reader.read_f32();
        if (!value) return std::unexpected(std::move(value.error()));
        *field = *value;
    }
    return star;
}

bool has_finite_place(const Star& star) {
    for (double v : {star.ra, star.dec, star.unit[0], star.unit[1], star.unit[2]})
        if (!std::isfinite(v)) return false;
    for (float v : {star.pm_ra, star.pm_dec, star.parallax})
        if (!std::isfinite(v)) return false;
    return true;
}

Result<StarPair> read_pair(Reader& reader) {
    auto cos_theta = reader.read_f32();
    if (!cos_theta) return std::unexpected(std::move(cos_theta.error()));
    auto i = reader.read_u16();
    if (!i) return std::unexpected(std::move(i.error()));
    auto j = reader.read_u16();
    if (!j) return std::unexpected(std::move(j.error()));
    return StarPair{*cos_theta, *i, *j};
}

}  // namespace

Result<Catalog> Catalog::from_bytes(std::span<const std::byte> catalog_bytes,
                                    std::span<const std::byte> pair_bytes) {
    Catalog catalog;

    Reader stars(catalog_bytes);
    auto n_stars = stars.expect_header("HCAT", 2);
    if (!n_stars) return std::unexpected(std::move(n_stars.error()));
    auto epoch = stars.read_f64();
    if (!epoch) return std::unexpected(std::move(epoch.error()));
    catalog.epoch = *epoch;
    // Every date shift divides by or multiplies with these; a non-finite one
    // would turn each fix into NaN far downstream.
    if (!std::isfinite(catalog.epoch)) return std::unexpected(format_error("epoch is not finite"));
    catalog.stars.reserve(std::min<std::size_t>(catalog_bytes.size() / kCatalogLayout.record_bytes, *n_stars));
    for (std::uint32_t k = 0; k < *n_stars; ++k) {
        auto star = read_star(stars);
        if (!star) return std::unexpected(std::move(star.error()));
        if (!has_finite_place(*star)) {
            return std::unexpected(format_error("star " + std::to_string(k) + " (HR " + std::to_string(star->hr_id) +
                                                ") has a non-finite position, proper motion or parallax"));
        }
        catalog.stars.push_back(*star);
    }
    if (stars.remaining() != 0) return std::unexpected(format_error("trailing bytes after catalog records"));

    Reader pairs(pair_bytes);
    auto n_pairs = pairs.expect_header("HPRS", 1);
    if (!n_pairs) return std::unexpected(std::move(n_pairs.error()));
    catalog.pairs.reserve(std::min<std::size_t>(pair_bytes.size() / kPairLayout.record_bytes, *n_pairs));
    float previous = -std::numeric_limits<float>::infinity();
    for (std::uint32_t k = 0; k < *n_pairs; ++k) {
        auto pair = read_pair(pairs);
        if (!pair) return std::unexpected(std::move(pair.error()));
        // Plain `<`: a NaN on either side passes, as stored files may hold one.
        if (pair->cos_theta < previous) return std::unexpected(format_error("pairs not sorted by cos_theta"));
        if (pair->i >= *n_stars || pair->j >= *n_stars) {
            return std::unexpected(format_error("pair index out of range: " + std::to_string(pair->i) + "," +
                                                std::to_string(pair->j)));
        }
        previous = pair->cos_theta;
        catalog.pairs.push_back(*pair);
    }
    if (pairs.remaining() != 0) return std::unexpected(format_error("trailing bytes after pairs records"));

    catalog.grid = std::make_shared<const StarGrid>(build_star_grid(catalog, 0.0));
    return catalog;
}

namespace {

// Reads up to `limit` bytes from the descriptor, stopping early at end of
// file; the buffer never grows past what was asked for.
Result<std::size_t> read_up_to(int fd, std::vector<std::byte>& bytes, std::size_t used, std::size_t limit) {
    bytes.resize(limit);
    while (used < limit) {
        const ssize_t got = ::read(fd, bytes.data() + used, limit - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
    return used;
}

std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}

}  // namespace

Result<std::vector<std::byte>> read_file(const std::string& path, const FileLayout& layout) {
    // open() would silently stop at the first NUL and open another file.
    if (path.find('\0') != std::string::npos) return std::unexpected(os_error(EINVAL));
    // Non-blocking, so that opening a FIFO with no writer cannot hang; a
    // regular file ignores the flag.
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return std::unexpected(os_error(errno));
    struct stat info{};
    if (::fstat(file.fd, &info) != 0) return std::unexpected(os_error(errno));
    if (S_ISDIR(info.st_mode)) return std::unexpected(os_error(EISDIR));
    // A device or a pipe has no length to trust and may never end.
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(Error::Io{"not a regular file: a catalogue must be read from a file on disk"});
    }

    // The header's count bounds what the parser can use: read that much and
    // one byte more, so that trailing bytes are still seen, and never more,
    // whatever the file claims to hold or grows to while being read.
    std::vector<std::byte> bytes;
    auto used = read_up_to(file.fd, bytes, 0, kFileHeaderBytes);
    if (!used) return std::unexpected(std::move(used.error()));
    if (*used < kFileHeaderBytes) return bytes;
    std::uint32_t count = 0;
    std::memcpy(&count, bytes.data() + 8, sizeof count);
    const std::size_t records = saturating_add(kFileHeaderBytes + layout.fixed_bytes,
                                               static_cast<std::size_t>(count) * layout.record_bytes);
    const auto file_size = static_cast<std::size_t>(info.st_size);
    const std::size_t limit = std::max(kFileHeaderBytes, std::min(saturating_add(records, 1), file_size));
    used = read_up_to(file.fd, bytes, *used, limit);
    if (!used) return std::unexpected(std::move(used.error()));
    return bytes;
}

Result<Catalog> Catalog::load(const std::string& catalog_path, const std::string& pairs_path) {
    auto catalog_bytes = read_file(catalog_path, kCatalogLayout);
    if (!catalog_bytes) return std::unexpected(std::move(catalog_bytes.error()));
    auto pair_bytes = read_file(pairs_path, kPairLayout);
    if (!pair_bytes) return std::unexpected(std::move(pair_bytes.error()));
    return from_bytes(*catalog_bytes, *pair_bytes);
}

std::span<const StarPair> Catalog::pairs_in_range(double lo, double hi) const noexcept {
    // A plain binary search: it stays within bounds even if a NaN breaks the
    // partitioning.
    const auto count_where = [this](auto&& below) {
        std::size_t first = 0;
        std::size_t count = pairs.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (below(static_cast<double>(pairs[first + half].cos_theta))) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return first;
    };
    // No cosine lies between NaN bounds; the searches alone would return
    // everything for a NaN lo.
    if (std::isnan(lo) || std::isnan(hi)) return {};
    const std::size_t start = count_where([lo](double c) { return c < lo; });
    const std::size_t end = count_where([hi](double c) { return c <= hi; });
    if (end <= start) return {};
    return std::span<const StarPair>(pairs).subspan(start, end - start);
}

std::array<double, 3> Star::unit_at(double jd, double epoch) const {
    if (pm_ra == 0.0f && pm_dec == 0.0f && parallax == 0.0f) return unit;

    const double dt_years = (jd - kJ2000) / 365.25 + 2000.0 - epoch;
    const double ra_now = ra + dt_years * (static_cast<double>(pm_ra) * kRadPerMas) / std::cos(dec);
    const double dec_now = dec + dt_years * (static_cast<double>(pm_dec) * kRadPerMas);
    const std::array<double, 3> p{std::cos(dec_now) * std::cos(ra_now), std::cos(dec_now) * std::sin(ra_now),
                                  std::sin(dec_now)};

    // Direction of the Sun, low precision: enough for a shift of at most
    // the parallax, under a second of arc for every catalogue star.
    const Vec3 sun = sun_direction(jd).unit();

    const double w = static_cast<double>(parallax) * kRadPerMas;
    const double d = sun[0] * p[0] + sun[1] * p[1] + sun[2] * p[2];
    std::array<double, 3> shifted{};
    for (int k = 0; k < 3; ++k) shifted[k] = p[k] + w * (sun[k] - p[k] * d);
    const double length =
        std::sqrt(shifted[0] * shifted[0] + shifted[1] * shifted[1] + shifted[2] * shifted[2]);
    for (double& c : shifted) c /= length;
    return shifted;
}

StarGrid build_star_grid(const Catalog& catalog, double tolerance) {
    std::vector<RaDec> places;
    places.reserve(catalog.stars.size());
    for (const Star& star : catalog.stars) places.push_back({star.ra, star.dec});
    return StarGrid::build(places, tolerance);
}

}  // namespace halvane
