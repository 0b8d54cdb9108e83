// Camera raw (DNG) and BMP files for tests, made from a Picture at test time.
//
// The DNG is laid out as cameras lay out their raws: image directory 0 holds
// a small RGB preview (`preview`), flagged as a reduced-resolution image, and
// its SubIFD holds the full picture as 16-bit Bayer sensor data (RGGB,
// linear light, camera RGB = linear sRGB). The picture's orientation tag
// becomes the DNG's Orientation; its pixels are stored turned as for every
// other format (testsupport/images.h).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "testsupport/images.h"

namespace testsupport {

std::optional<std::vector<std::uint8_t>> encodeDng(const Picture& picture, const Picture& preview);

enum class BmpLayout {
  kRgb24,      // BITMAPINFOHEADER, 24 bits, bottom-up
  kTopDown24,  // as kRgb24 with a negative height: first row on top
  kRgba32,     // BITMAPV4HEADER, 32 bits, bit fields with an alpha mask
  kPalette8,   // 8-bit indices into an inverted grey palette (index 255 - luma)
  kRle8,       // kPalette8 run-length encoded (BI_RLE8)
};

// The picture as BMP; palette layouts keep only its grey (Rec. 709 luma).
std::optional<std::vector<std::uint8_t>> encodeBmp(const Picture& picture, BmpLayout layout);

}  // namespace testsupport
