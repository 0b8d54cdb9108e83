// The 64-bit difference hash of a decoded image, and its text form.
#include "imaging/hash.h"

#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "imaging/internal.h"

namespace imaging {

std::optional<std::uint64_t> dhash(const Image& image) {
  if (!detail::vipsReady()) return std::nullopt;
  std::optional<VipsRef> v = detail::vipsOf(image);
  if (!v) return std::nullopt;
  VipsRef img = std::move(*v);
  // Float throughout, so that the only rounding is the final one to 8 bits.
  if (!vipsStep(img, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_FLOAT, nullptr); }) ||
      !detail::flattenOverBlack(img))
    return std::nullopt;
  if (img.p->Xsize != 9 || img.p->Ysize != 8) {
    // Independent scales in x and y: width and height each change by their
    // own factor. Box shrink for the integer part, Lanczos-3 for the rest
    // (upsampling, for images smaller than the grid, interpolates).
    double hscale = 9.0 / img.p->Xsize;
    double vscale = 8.0 / img.p->Ysize;
    if (!vipsStep(img, [&](VipsImage* in, VipsImage** out) {
          return vips_resize(in, out, hscale, "vscale", vscale, "kernel", VIPS_KERNEL_LANCZOS3, nullptr);
        }))
      return std::nullopt;
    // Rounding of the output size can leave a pixel more or less; make it
    // exactly 9 x 8 by repeating or dropping the edge.
    if ((img.p->Xsize != 9 || img.p->Ysize != 8) && !vipsStep(img, [](VipsImage* in, VipsImage** out) {
          return vips_embed(in, out, 0, 0, 9, 8, "extend", VIPS_EXTEND_COPY, nullptr);
        }))
      return std::nullopt;
  }
  size_t size = 0;
  void* mem = vips_image_write_to_memory(img.p, &size);
  if (!mem) {
    vips_error_clear();
    return std::nullopt;
  }
  const float* px = static_cast<const float*>(mem);
  const int bands = img.p->Bands;
  if (size != static_cast<size_t>(72 * bands) * sizeof(float) || bands != 3) {
    g_free(mem);
    return std::nullopt;
  }
  // The 9 x 8 grid, row 0 on top, byte 9r + c; grey is sRGB luma (Rec. 709
  // weights on the encoded values), rounded to 8 bits.
  std::uint8_t grid[72] = {};
  for (int i = 0; i < 72; ++i) {
    double y = 0.2126 * px[i * 3] + 0.7152 * px[i * 3 + 1] + 0.0722 * px[i * 3 + 2];
    grid[i] = static_cast<std::uint8_t>(std::clamp(std::lround(y), 0L, 255L));
  }
  g_free(mem);
  std::uint64_t hash = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) hash = (hash << 1) | (grid[9 * r + c] > grid[9 * r + c + 1] ? 1u : 0u);
  return hash;
}

std::string hashText(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace imaging
