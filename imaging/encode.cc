// A decoded image as bytes for others: JPEG in base64 text, or packed 8-bit
// RGB pixels; and standard base64 both ways.
#include "imaging/encode.h"

#include <openssl/evp.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "imaging/internal.h"

namespace imaging {

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text) {
  if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  std::vector<std::uint8_t> out(text.size() / 4 * 3);
  const int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

namespace {

// The image without alpha (composited over black, as the hash sees it), 8
// bits per band.
std::optional<VipsRef> opaqueRgb8(const Image& image) {
  if (!detail::vipsReady()) return std::nullopt;
  std::optional<VipsRef> img = detail::vipsOf(image);
  if (!img || !detail::flattenOverBlack(*img)) return std::nullopt;
  if (img->p->BandFmt != VIPS_FORMAT_UCHAR &&
      !vipsStep(*img, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr); }))
    return std::nullopt;
  return img;
}

}  // namespace

std::optional<std::string> jpegBase64(const Image& image, double quality) {
  // JPEG has no alpha.
  std::optional<VipsRef> opaque = opaqueRgb8(image);
  if (!opaque) return std::nullopt;
  VipsRef img = std::move(*opaque);
  const double q = std::isnan(quality) ? 0.0 : std::round(quality * 100.0);
  const int libjpegQuality = static_cast<int>(std::clamp(q, 1.0, 100.0));
  void* buf = nullptr;
  size_t len = 0;
  if (vips_jpegsave_buffer(img.p, &buf, &len, "Q", libjpegQuality, "strip", TRUE, nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  std::string text = base64({static_cast<const std::uint8_t*>(buf), len});
  g_free(buf);
  return text;
}

std::optional<RgbPixels> rgbPixels(const Image& image) {
  std::optional<VipsRef> opaque = opaqueRgb8(image);
  if (!opaque || opaque->p->Bands != 3) return std::nullopt;
  VipsRef img = std::move(*opaque);
  size_t size = 0;
  void* mem = vips_image_write_to_memory(img.p, &size);
  if (!mem) {
    vips_error_clear();
    return std::nullopt;
  }
  RgbPixels out{img.p->Xsize, img.p->Ysize, {}};
  out.rgb.assign(static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + size);
  g_free(mem);
  return out;
}

}  // namespace imaging
