// The star catalogue: its two binary files, the loader, the pair-window
// query and the motion of a star to the date of observation.
//
// Files (little-endian, no padding), both starting with a 12-byte header:
//   magic (4 bytes) | version u32 | record count u32
//
// Catalogue, magic "HCAT", version 2:
//   header (count N) | epoch f64 (Julian years) | N star records of 60 bytes:
//   hr_id u32 | vmag f32 | ra f64 | dec f64 | x f64 | y f64 | z f64 |
//   pm_ra f32 | pm_dec f32 | parallax f32
//   (radians, J2000 equator; proper motions in mas/yr, pm_ra already times
//   cos dec; parallax in mas). Stars are used in file order, brightest first.
//
// Pair index, magic "HPRS", version 1:
//   header (count M) | M pair records of 8 bytes: cos_theta f32 | i u16 | j u16
//   sorted by cos_theta, non-decreasing; i and j are star indices (positions
//   in the catalogue's record order, not HR numbers), both below N.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "star_grid.hpp"

namespace halvane {


// One catalogue star, the file's values unchanged.
struct Star {
    double ra = 0.0;   // right ascension at the catalogue epoch, radians
    double dec = 0.0;  // declination, radians
    // Stored unit vector (cos dec cos ra, cos dec sin ra, sin dec), used as
    // stored: nothing checks it against ra and dec.
    std::array<double, 3> unit{};
    std::uint32_t hr_id = 0;  // HR number, the star's identifier
    float vmag = 0.0f;        // visual magnitude
    float pm_ra = 0.0f;       // mas/yr, a great-circle rate (times cos dec)
    float pm_dec = 0.0f;      // mas/yr
    float parallax = 0.0f;    // mas

    // The unit vector at Julian Date `jd` (UT) for a catalogue whose epoch
    // is `epoch` (Julian years): proper motion applied linearly in ra and
    // dec, then annual parallax away from the Sun (low-precision solar
    // longitude, Earth-Sun distance 1 AU). A star with no proper motion and
    // no parallax returns `unit` bit for bit. Never fails.
    std::array<double, 3> unit_at(double jd, double epoch) const;
};

// One pair-index record: two catalogue indices and the cosine of their
// angular separation. Packed into 8 bytes like the file record.
struct StarPair {
    float cos_theta = 0.0f;
    std::uint16_t i = 0;
    std::uint16_t j = 0;
};
static_assert(sizeof(StarPair) == 8);

// A cursor over a byte buffer reading little-endian fields. A field that
// does not fit fails with CatalogFormat
// "truncated: wanted {n} bytes at offset {position}" (the position where the
// field would start) and leaves the cursor where it was.
class Reader {
public:
    explicit Reader(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}

    Result<std::uint16_t> read_u16();
    Result<std::uint32_t> read_u32();
    Result<float> read_f32();
    Result<double> read_f64();
    // The next n bytes, as a view into the buffer.
    Result<std::span<const std::byte>> read_bytes(std::size_t n);

    // Reads magic, version and count, in that order, and returns the count.
    // Errors (CatalogFormat): the truncation text; "bad magic, expected
    // {magic}"; "unsupported version {read}; this build reads version
    // {version}".
    Result<std::uint32_t> expect_header(std::string_view magic, std::uint32_t version);

    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return bytes_.size() - position_; }

private:
    std::span<const std::byte> bytes_;
    std::size_t position_ = 0;
};

// The loaded catalogue: stars in file order, pairs sorted by cos_theta, and
// the epoch of the positions in Julian years. Immutable once loaded; share
// it read-only between calls.
struct Catalog {
    std::vector<Star> stars;
    std::vector<StarPair> pairs;
    double epoch = 2000.0;
    // The stars' spatial index with half-degree cells, built once by
    // from_bytes and shared read-only by every solve on this catalogue (and
    // its copies). A catalogue assembled by hand may set it with
    // build_star_grid(catalogue, 0.0) after its last change to `stars`, or
    // leave it empty: the matcher then builds one per call.
    std::shared_ptr<const StarGrid> grid;

    // Parses the two files' bytes. Errors, in the order checked (the first
    // one wins; CatalogFormat unless stated):
    //   catalogue header (see Reader::expect_header with "HCAT", 2), epoch and
    //   records: the truncation text naming the first field that does not fit;
    //   "epoch is not finite"; per star, after reading it, "star {k} (HR {hr})
    //   has a non-finite position, proper motion or parallax";
    //   "trailing bytes after catalog records";
    //   pair header ("HPRS", 1), records: truncation text;
    //   per pair record, after reading it: "pairs not sorted by cos_theta"
    //   when its cos_theta is below the previous one's (a NaN passes), then
    //   "pair index out of range: {i},{j}" when i or j >= N;
    //   "trailing bytes after pairs records".
    // Memory is reserved from the buffer lengths, never from the declared
    // counts, so a corrupt count cannot demand more than the file could hold.
    static Result<Catalog> from_bytes(std::span<const std::byte> catalog_bytes,
                                      std::span<const std::byte> pair_bytes);

    // Reads both files (read_file), then from_bytes. A file-system failure is Io
    // with the operating system's text, e.g. "No such file or directory
    // (os error 2)"; the paths are not part of the message.
    static Result<Catalog> load(const std::string& catalog_path, const std::string& pairs_path);

    // The contiguous run of pairs with lo <= cos_theta <= hi (cos_theta
    // widened to double), found by two binary searches; a view into `pairs`,
    // valid while the catalogue lives. lo > hi, or a NaN bound, gives an
    // empty run. Never fails.
    std::span<const StarPair> pairs_in_range(double lo, double hi) const noexcept;
};

// The shape of one of the two files, enough to bound a read by its header:
// a 12-byte header whose last field is the record count, then fixed_bytes,
// then count records of record_bytes.
struct FileLayout {
    std::size_t fixed_bytes = 0;
    std::size_t record_bytes = 0;
};
inline constexpr std::size_t kFileHeaderBytes = 12;
inline constexpr FileLayout kCatalogLayout{8, 60};
inline constexpr FileLayout kPairLayout{0, 8};

// Reads a catalogue file: the header, then at most what its record count
// allows plus one byte (so trailing bytes are still detected), and never
// more than the file's size. Refuses before reading anything that is not a
// regular file: a directory with "Is a directory (os error 21)", a device,
// pipe or socket with "not a regular file: a catalogue must be read from a
// file on disk" (both Io). Other failures: Io with the operating system's
// text.
Result<std::vector<std::byte>> read_file(const std::string& path, const FileLayout& layout);

// The grid of the catalogue's stars at their stored ra/dec (see
// StarGrid::build; grid star s is catalogue star s).
//   tolerance: match tolerance, radians.
StarGrid build_star_grid(const Catalog& catalog, double tolerance);

}  // namespace halvane
