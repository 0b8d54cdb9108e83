// Identifying an image container from its bytes and reading its header,
// without decoding a pixel: which decoder takes it (libvips' loaders, or
// LibRaw or the BMP coder of decoders.h), its size and whether it carries
// an ICC profile.
//
// The stored pixel size is the size as coded, before orientation. For HEIF
// that is the primary item's `ispe` box (read with libheif), because
// libvips reports the size after irot.
#include <libheif/heif.h>
#include <vips/vips.h>

#include <algorithm>

#include "imaging/decoders.h"
#include "imaging/headers.h"
#include "imaging/internal.h"

namespace imaging::detail {

namespace {

// The header of a camera raw or a BMP; nothing for every other format. A
// file of those kinds whose header cannot be read gets a size of 0, so that
// it fails to decode instead of reaching a libvips loader.
std::optional<Header> ownDecoderHeader(std::span<const std::uint8_t> data) {
  if (isBmp(data)) {
    PixelSize size = bmpHeaderSize(data).value_or(PixelSize{});
    return Header{"bmp", static_cast<int>(size.width), static_cast<int>(size.height), false, Decoder::kBmp};
  }
  RawHeader raw = probeRaw(data);
  if (raw.kind == RawKind::kNotRaw) return std::nullopt;
  return Header{"raw", static_cast<int>(raw.stored.width), static_cast<int>(raw.stored.height), false, Decoder::kRaw};
}

// The coded size of a HEIF's primary image (its `ispe` box), before the
// irot/imir transforms; 0 x 0 when libheif cannot tell.
PixelSize heifStoredSize(std::span<const std::uint8_t> data) {
  PixelSize size;
  heif_context* ctx = heif_context_alloc();
  if (!ctx) return size;
  heif_image_handle* handle = nullptr;
  if (heif_context_read_from_memory_without_copy(ctx, data.data(), data.size(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
    size.width = std::max(0, heif_image_handle_get_ispe_width(handle));
    size.height = std::max(0, heif_image_handle_get_ispe_height(handle));
    heif_image_handle_release(handle);
  }
  heif_context_free(ctx);
  return size;
}

}  // namespace

bool isHeif(const Header& h) { return h.loader.rfind("heifload", 0) == 0; }
bool isTiff(const Header& h) { return h.loader.rfind("tiffload", 0) == 0; }
bool isJpeg(const Header& h) { return h.loader.rfind("jpegload", 0) == 0; }

// Identifies the container and reads its header, without decoding pixels.
std::optional<Header> readHeader(std::span<const std::uint8_t> data) {
  if (!vipsReady() || data.empty()) return std::nullopt;
  if (std::optional<Header> own = ownDecoderHeader(data)) return own;
  const char* typeName = vips_foreign_find_load_buffer(data.data(), data.size());
  if (!typeName) {
    vips_error_clear();
    return std::nullopt;
  }
  const char* nick = vips_nickname_find(g_type_from_name(typeName));
  VipsRef image(vips_image_new_from_buffer(data.data(), data.size(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image.p || !nick) {
    vips_error_clear();
    return std::nullopt;
  }
  return Header{nick, image.p->Xsize, image.p->Ysize, vips_image_get_typeof(image.p, VIPS_META_ICC_NAME) != 0};
}

PixelSize storedSize(std::span<const std::uint8_t> data, const Header& header) {
  if (isHeif(header)) return heifStoredSize(data);
  return PixelSize{header.width, header.height};
}

}  // namespace imaging::detail
