// A decoded image as bytes for others (JPEG in base64 text, packed 8-bit
// RGB pixels), and standard base64 both ways.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/image.h"

namespace imaging {

// The image encoded as JPEG at libjpeg quality round(quality * 100), then
// as base64 with padding and without line breaks.
std::optional<std::string> jpegBase64(const Image& image, double quality);

// Standard base64 (RFC 4648, with padding, no line breaks).
std::string base64(std::span<const std::uint8_t> bytes);

// Standard base64 decoding; nothing when the text is not valid base64.
std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text);

// 8-bit sRGB pixels, alpha composited over black, row-major, 3 bytes a pixel.
struct RgbPixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
};
std::optional<RgbPixels> rgbPixels(const Image& image);

}  // namespace imaging
