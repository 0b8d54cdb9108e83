// Pixel sizes read from file headers alone (no pixel decoded), for the
// formats libvips' own loaders do not read here: camera raws (DNG, NEF,
// CR2, ARW, ...) through LibRaw, and BMP. The photo library's inventory
// uses them; pictures of these formats come from imaging.h like those of
// every other format (thumbFrom/imageSource recognise them by their bytes).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "imaging/image.h"

namespace imaging {

// Upright (displayed) pixel size of the camera raw open at `fd` (the
// descriptor stays the caller's), through LibRaw: its stored size, width
// and height swapped when the raw's flip turns it a quarter. Nothing when
// LibRaw cannot read the header.
std::optional<PixelSize> rawUprightSize(int fd);

// Bytes of a BMP header that bmpHeaderSize needs.
inline constexpr std::size_t kBmpHeaderBytes = 34;

// Pixel size a BMP header declares (BMP has no orientation); nothing when
// `header` (the file's first bytes) is not a valid BMP header or declares an
// embedded JPEG/PNG stream.
std::optional<PixelSize> bmpHeaderSize(std::span<const std::uint8_t> header);

}  // namespace imaging
