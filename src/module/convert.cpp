#include "convert.hpp"

namespace halvane::py {

}  // namespace halvane::py
