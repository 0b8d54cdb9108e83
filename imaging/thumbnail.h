// Reducing a decoded picture to its thumbnail (internal to the imaging
// module).
//
// The thumbnail is libvips' vips_thumbnail_image of the picture: Lanczos-3,
// vertical pass before horizontal, each first box-shrinking by the whole
// part of half its factor. For a picture held in memory as 8-bit RGB the
// vertical box shrink, the one step that reads every pixel (most of the
// work, and slow in libvips' plain C loops), is done here instead, with the
// same integer arithmetic, and libvips carries on from its result: the
// bytes are those of vips_thumbnail_image.
#pragma once

#include <cstdint>
#include <optional>

#include "imaging/vips_ref.h"

namespace imaging::detail {

// Converts a decoded image to 8-bit sRGB, 3 bands or 4 with alpha; false
// when it has fewer than 3 bands after conversion.
bool toSrgb8(VipsRef& image);

// vips_thumbnail_image of `full` (longest side at most maxPixel, never
// enlarged, colour-managed to `exportProfile` when not null), as 8-bit
// sRGB; a pipeline, nothing computed yet.
std::optional<VipsRef> thumbnailPipeline(VipsImage* full, int maxPixel, const char* exportProfile);

// The same pixels, computed into memory on up to `threads` threads (the
// calling one among them). `rgb`, when not null, holds the pixels of `full`
// as packed 8-bit RGB rows (3 * width bytes each): then the vertical box
// shrink reads them directly. Both must stay alive until this returns.
std::optional<VipsRef> thumbnailInMemory(VipsImage* full, const std::uint8_t* rgb, int maxPixel,
                                         const char* exportProfile, int threads);

}  // namespace imaging::detail
