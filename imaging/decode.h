// Bounded upright thumbnails of encoded image bytes held in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "imaging/image.h"

namespace imaging {

// A bounded upright thumbnail and the stored size of its source image.
struct Thumb {
  Image image;
  std::int64_t width = 0;   // stored width of the source image
  std::int64_t height = 0;  // stored height of the source image
};

// Thumbnail of encoded image bytes held in memory, longest side at most
// maxPixel (never enlarged), upright.
std::optional<Thumb> thumbFrom(std::span<const std::uint8_t> data, int maxPixel = 256);

// Like thumbFrom, for analysing a picture rather than showing it: a JPEG is
// decoded at the coarsest scale libjpeg offers (1/2, 1/4 or 1/8 of each
// side, each pixel the mean of its block) whose longer side is still at
// least minPixel, and reduced further only as far as maxPixel needs. A
// thumbnail decodes at least twice its size and then resamples, for
// sharpness; this skips most of that work (a 4000 x 3000 JPEG is decoded
// straight to 500 x 375). Every other format is reduced as thumbFrom does.
std::optional<Thumb> reducedFrom(std::span<const std::uint8_t> data, int minPixel, int maxPixel);

}  // namespace imaging
