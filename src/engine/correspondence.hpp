// An identification: which catalogue star each detection is.
#pragma once

#include <cstddef>
#include <vector>

namespace halvane {

// One (detection, catalogue star) pairing: the detection's index in the
// brightest-first detection list and the star's index in the catalogue's
// star array (not its HR number).
struct Correspondence {
    std::size_t detection = 0;
    std::size_t catalog_index = 0;
    friend bool operator==(const Correspondence&, const Correspondence&) = default;
};
using Correspondences = std::vector<Correspondence>;

}  // namespace halvane
