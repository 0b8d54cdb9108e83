// A HEIF primary image decoded by libheif itself rather than by libvips'
// HEIF loader (internal to the imaging module), so that a grid of tiles is
// decoded on several threads (heif_grid.h) and the pixels are not copied
// again on their way to the thumbnail.
#pragma once

#include <libheif/heif.h>

#include <cstdint>
#include <memory>
#include <span>

#include "imaging/internal.h"

namespace imaging::detail {

// A HEIF primary image decoded by libheif itself, its tiles spread over
// decodeThreads() threads, as 8-bit interleaved RGB with irot/imir applied:
// the pixels libvips' HEIF loader gives, without its copies. A grid of tiles
// is decoded tile by tile on those threads (heif_grid.h), anything else by
// libheif in one piece. `image` views the decoded pixels and must be
// released before the holder.
struct HeifDecode {
  heif_context* ctx = nullptr;
  heif_image_handle* handle = nullptr;
  heif_image* decoded = nullptr;
  std::unique_ptr<std::uint8_t[]> packed;  // the rows without padding: a grid's, or libheif's padded ones
  const std::uint8_t* rgb = nullptr;       // the pixels `image` views, packed rows
  VipsRef image;
  ~HeifDecode() {
    image = VipsRef();
    if (decoded) heif_image_release(decoded);
    if (handle) heif_image_handle_release(handle);
    if (ctx) heif_context_free(ctx);
  }
};

enum class HeifOutcome { kDecoded, kFailed, kNotHandled };

// Decodes the primary image of a plain 8-bit HEIF without alpha; anything
// else (alpha, more bits, a colour profile the header did not report) is
// left to libvips' loader (kNotHandled). kFailed: damaged data.
HeifOutcome decodeHeif(std::span<const std::uint8_t> data, const Header& header, HeifDecode& out);

}  // namespace imaging::detail
