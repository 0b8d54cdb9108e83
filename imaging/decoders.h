// Decoders for the picture formats that do not go through libvips' own
// loaders (internal to the imaging module): camera raws through LibRaw, and
// BMP through ImageMagick's BMP coder alone.
//
// Both hand back the full picture decoded into memory, upright, 8 bits per
// band; decode.cc reduces it to a thumbnail like any other picture.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "imaging/image.h"
#include "imaging/vips_ref.h"

namespace imaging::detail {

// ---- camera raws (raw.cc) ----

enum class RawKind {
  kNotRaw,         // not a camera raw: libvips' business
  kRaw,            // LibRaw reads its header
  kUnreadableRaw,  // built like a camera raw (a DNG, a TIFF whose first image is a
                   // preview, a raw-only container), but LibRaw cannot read it
};

struct RawHeader {
  RawKind kind = RawKind::kNotRaw;
  PixelSize stored;  // LibRaw's sizes.width x sizes.height, before the flip
};

// Identifies a camera raw from its bytes (header only, no pixel decoded).
RawHeader probeRaw(std::span<const std::uint8_t> data);

// The sensor data demosaiced at half size (every 2 x 2 Bayer cell one
// pixel), turned upright by the raw's flip, 8-bit sRGB (1 band for
// monochrome sensors). Nothing when LibRaw reports any error, the sensor
// holds more than kMaxPixels pixels, or the data is cut short.
std::optional<VipsRef> decodeRaw(std::span<const std::uint8_t> data);

// ---- BMP (bmp.cc) ----

// Starts ImageMagick and loads its BMP coder (a module it would otherwise
// load at the first BMP), so that the process needs no file access for it
// later. Called once by initImaging; false when that failed.
bool startBmpDecoder();

// Starts with "BM" and a header size of one of the BMP versions.
bool isBmp(std::span<const std::uint8_t> data);

// (Its header size: bmpHeaderSize in headers.h.)

// The picture, 8-bit sRGB with alpha where the file has it; nothing when the
// decoder reports an error (damaged or cut-short data included).
std::optional<VipsRef> decodeBmp(std::span<const std::uint8_t> data);

}  // namespace imaging::detail
