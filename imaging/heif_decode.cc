#include "imaging/heif_decode.h"

#include <vips/vips.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "imaging/heif_grid.h"

namespace imaging::detail {

HeifOutcome decodeHeif(std::span<const std::uint8_t> data, const Header& header, HeifDecode& out) {
  out.ctx = heif_context_alloc();
  if (!out.ctx) return HeifOutcome::kNotHandled;
  heif_context_set_max_decoding_threads(out.ctx, decodeThreads());
  if (heif_context_read_from_memory_without_copy(out.ctx, data.data(), data.size(), nullptr).code != heif_error_Ok ||
      heif_context_get_primary_image_handle(out.ctx, &out.handle).code != heif_error_Ok)
    return HeifOutcome::kFailed;
  if (heif_image_handle_has_alpha_channel(out.handle) || heif_image_handle_get_luma_bits_per_pixel(out.handle) != 8 ||
      heif_image_handle_get_chroma_bits_per_pixel(out.handle) != 8)
    return HeifOutcome::kNotHandled;
  heif_color_profile_type profile = heif_image_handle_get_color_profile_type(out.handle);
  const bool icc = profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC;
  if (icc != header.hasIcc) return HeifOutcome::kNotHandled;
  const std::uint8_t* plane = nullptr;
  int w = 0, h = 0;
  std::optional<HeifGrid> grid = heifGridOf(data);
  std::optional<RgbBuffer> tiled = grid ? decodeHeifGrid(*grid, decodeThreads()) : std::nullopt;
  if (tiled) {
    w = tiled->width;
    h = tiled->height;
    out.packed = std::move(tiled->rgb);
    plane = out.packed.get();
  } else {
    // Not a grid taken tile by tile, or a tile failed: libheif decodes the
    // whole picture and decides.
    if (heif_decode_image(out.handle, &out.decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code !=
        heif_error_Ok)
      return HeifOutcome::kFailed;
    int stride = 0;
    plane = heif_image_get_plane_readonly(out.decoded, heif_channel_interleaved, &stride);
    w = heif_image_get_width(out.decoded, heif_channel_interleaved);
    h = heif_image_get_height(out.decoded, heif_channel_interleaved);
    if (!plane || stride < 3 * w) return HeifOutcome::kFailed;
    // libvips wants rows without padding; libheif may pad them.
    if (stride != 3 * w && w == header.width && h == header.height) {
      out.packed.reset(new std::uint8_t[static_cast<size_t>(3 * w) * h]);
      for (int y = 0; y < h; ++y)
        std::memcpy(out.packed.get() + static_cast<size_t>(3 * w) * y, plane + static_cast<size_t>(stride) * y,
                    static_cast<size_t>(3 * w));
      plane = out.packed.get();
    }
  }
  if (w != header.width || h != header.height) return HeifOutcome::kNotHandled;
  VipsRef rows(vips_image_new_from_memory(plane, static_cast<size_t>(3 * w) * h, w, h, 3, VIPS_FORMAT_UCHAR));
  if (!rows.p) {
    vips_error_clear();
    return HeifOutcome::kFailed;
  }
  if (!vipsStep(rows, [](VipsImage* in, VipsImage** o) {
        return vips_copy(in, o, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
      }))
    return HeifOutcome::kFailed;
  if (icc) {
    std::vector<std::uint8_t> blob(heif_image_handle_get_raw_color_profile_size(out.handle));
    if (blob.empty() || heif_image_handle_get_raw_color_profile(out.handle, blob.data()).code != heif_error_Ok)
      return HeifOutcome::kNotHandled;
    vips_image_set_blob_copy(rows.p, VIPS_META_ICC_NAME, blob.data(), blob.size());
  }
  out.image = std::move(rows);
  out.rgb = plane;
  return HeifOutcome::kDecoded;
}

}  // namespace imaging::detail
