// The 64-bit difference hash of a decoded image, and its text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "imaging/image.h"

namespace imaging {

// Difference hash of a decoded image: the image is reduced to a 9 x 8 grey
// grid (alpha composited over black), and bit 63 - (8r + c) is set when
// grid pixel (r, c) is strictly brighter than (r, c + 1).
std::optional<std::uint64_t> dhash(const Image& image);

// The hash as exactly 16 lowercase hexadecimal digits.
std::string hashText(std::uint64_t hash);

}  // namespace imaging
