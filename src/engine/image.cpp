#include "image.hpp"

#include <string>

namespace halvane {

Result<void> check_frame_shape(const ImageView& image) {
    std::size_t product = 0;
    const bool ok = image.width != 0 && image.height != 0 &&
                    !__builtin_mul_overflow(image.width, image.height, &product) &&
                    product == image.pixels.size();
    if (ok) return {};
    return std::unexpected(Error::BadImage{std::to_string(image.width) + "x" + std::to_string(image.height) +
                                           " does not match " + std::to_string(image.pixels.size()) +
                                           " pixels"});
}

Result<void> check_mask_shape(const MaskView& mask, const ImageView& image) {
    if (mask.width == image.width && mask.height == image.height && mask.flags.size() == image.pixels.size())
        return {};
    return std::unexpected(Error::BadImage{
        "mask " + std::to_string(mask.width) + "x" + std::to_string(mask.height) + " (" +
        std::to_string(mask.flags.size()) + " flags) does not match the " + std::to_string(image.width) + "x" +
        std::to_string(image.height) + " frame"});
}

}  // namespace halvane
