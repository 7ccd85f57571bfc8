// Coverage-guided fuzzing of the catalogue loader: any pair of byte strings
// must load or be refused with a text, never crash, hang or over-allocate.
// The input's first four bytes choose where the rest splits into the
// catalogue file and the pair file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "catalog.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    std::uint32_t split = 0;
    std::memcpy(&split, data, sizeof split);
    const auto bytes = std::as_bytes(std::span(data + 4, size - 4));
    const std::size_t cut = split % (bytes.size() + 1);
    const auto catalog = halvane::Catalog::from_bytes(bytes.first(cut), bytes.subspan(cut));
    if (catalog) {
        // Every accepted file must answer the queries the matcher makes.
        (void)catalog->pairs_in_range(-1.0, 1.0);
        (void)catalog->pairs_in_range(0.5, 0.25);
        for (const halvane::Star& star : catalog->stars) (void)star.unit_at(2461000.5, catalog->epoch);
    } else {
        (void)catalog.error().message();
    }
    return 0;
}
