// From encoded bytes to bounded upright thumbnails: the decoder each
// container takes, and the reduction of its picture.
//
// Decisions taken here (the callers rely on them):
// - Thumbnails: JPEG, PNG, WebP, GIF and the other simple formats go through
//   vips_thumbnail_buffer, which shrinks on load (JPEG DCT scaling, WebP
//   scaled decoding) and turns the picture upright by its EXIF orientation.
//   HEIF/AVIF and TIFF are loaded explicitly instead and reduced with
//   vips_thumbnail_image: for those, vips_thumbnail_buffer would pick a
//   stored preview (the HEIF thumbnail item, a TIFF pyramid level) whenever
//   it is big enough, and a thumbnail must always show the full image.
//   For HEIF, libheif applies irot/imir while decoding and libvips then drops
//   the EXIF orientation, so the picture is turned exactly once.
// - Colour: every thumbnail leaves here as 8-bit sRGB, 3 bands or 4 with
//   alpha. Embedded ICC profiles are honoured; CMYK, grey, palette and
//   16-bit images are converted.
// - Damaged data: loaders run with fail_on=error, so a file whose data is
//   cut short or that the decoder reports as broken gives no thumbnail
//   (the caller's "decode_failed") instead of a half-grey picture whose hash
//   would match nothing and whose preview would mislead the user. Mere
//   warnings (stray bytes between markers, common in camera files) are
//   tolerated.
// - Decompression bombs: the header is read first; an image declaring more
//   than kMaxPixels pixels is refused before any pixel is decoded.
// - Camera raws (through LibRaw) and BMP (through ImageMagick's BMP coder
//   alone) are decoded outside libvips' loaders: decoders.h, raw.cc, bmp.cc.
//   Their decoded pictures are reduced like those of HEIF and TIFF.
#include "imaging/decode.h"

#include <vips/vips.h>

#include <algorithm>
#include <utility>

#include "imaging/decoders.h"
#include "imaging/heif_decode.h"
#include "imaging/internal.h"
#include "imaging/thumbnail.h"

namespace imaging {

namespace detail {

namespace {

// The DCT scaling (1, 2, 4 or 8) that keeps a JPEG's longer side, rounded
// up as libjpeg rounds it, at least `minPixel`.
int jpegShrink(const Header& header, int minPixel) {
  const int longer = std::max(header.width, header.height);
  int shrink = 1;
  while (shrink < 8 && (longer + 2 * shrink - 1) / (2 * shrink) >= minPixel) shrink *= 2;
  return shrink;
}

// The full picture as a libvips image, not decoded yet where libvips loads
// it: a camera raw or BMP decoded by its own decoder, HEIF's primary image
// (never the thumbnail item), a TIFF's first page, a JPEG at DCT scale
// 1/jpegShrinkBy; nothing when it cannot be read.
std::optional<VipsRef> fullPicture(std::span<const std::uint8_t> data, const Header& header, int jpegShrinkBy) {
  VipsRef full(header.decoder == Decoder::kRaw   ? decodeRaw(data).value_or(VipsRef()).release()
               : header.decoder == Decoder::kBmp ? decodeBmp(data).value_or(VipsRef()).release()
               : isHeif(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "thumbnail", FALSE, "page", 0,
                                                             "fail_on", VIPS_FAIL_ON_ERROR, nullptr)
               : isJpeg(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "shrink", jpegShrinkBy,
                                                             "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr)
               : isTiff(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "page", 0, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr)
                                : vips_image_new_from_buffer(data.data(), data.size(), "", "access",
                                                             VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr));
  if (!full.p) {
    vips_error_clear();
    return std::nullopt;
  }
  return full;
}

// A thumbnail pipeline computed into memory as 8-bit sRGB, while the
// encoded bytes are alive; the result owns its pixels.
std::optional<Image> computed(VipsRef thumb) {
  if (!toSrgb8(thumb)) return std::nullopt;
  return imageInMemory(thumb.p);
}

bool declaresTooManyPixels(const Header& header) {
  return header.width < 1 || header.height < 1 ||
         static_cast<std::uint64_t>(header.width) * static_cast<std::uint64_t>(header.height) > kMaxPixels;
}

// With an embedded profile, colour-manage into sRGB (libvips 8.14 ignores
// the profile otherwise). Without one, no transform at all: an lcms round
// trip through the built-in sRGB profile shifts colours visibly.
const char* exportProfileFor(const Header& header) { return header.hasIcc ? "srgb" : nullptr; }

}  // namespace

// The picture bounded to maxPixel a side; minPixel > 0 lets a JPEG decode at
// the coarsest scale still at least minPixel (reducedFrom).
std::optional<Image> thumbnailOf(std::span<const std::uint8_t> data, const Header& header, int maxPixel,
                                 int minPixel) {
  if (maxPixel < 1) return std::nullopt;
  maxPixel = std::min(maxPixel, 10000000);
  if (declaresTooManyPixels(header)) return std::nullopt;

  const char* exportProfile = exportProfileFor(header);
  HeifDecode heif;  // outlives `thumb`'s pixels: they are copied to memory below
  HeifOutcome heifOutcome = isHeif(header) ? decodeHeif(data, header, heif) : HeifOutcome::kNotHandled;
  if (heifOutcome == HeifOutcome::kFailed) return std::nullopt;
  if (heifOutcome == HeifOutcome::kDecoded) {
    std::optional<VipsRef> memory = thumbnailInMemory(heif.image.p, heif.rgb, maxPixel, exportProfile, decodeThreads());
    if (!memory) return std::nullopt;
    return imageHolding(std::move(*memory));
  }
  if (header.decoder != Decoder::kVips || isHeif(header) || isTiff(header) || (minPixel > 0 && isJpeg(header))) {
    // A JPEG at the scale reducedFrom asks for.
    std::optional<VipsRef> full = fullPicture(data, header, minPixel > 0 ? jpegShrink(header, minPixel) : 1);
    if (!full) return std::nullopt;
    std::optional<VipsRef> reduced = thumbnailPipeline(full->p, maxPixel, exportProfile);
    if (!reduced) return std::nullopt;
    return computed(std::move(*reduced));
  }
  VipsImage* out = nullptr;
  // fail_on must travel in the loader's option string: libvips 8.14's
  // thumbnail_buffer does not hand its own fail_on to the loader.
  if (vips_thumbnail_buffer(const_cast<std::uint8_t*>(data.data()), data.size(), &out, maxPixel, "height", maxPixel,
                            "size", VIPS_SIZE_DOWN, "option_string", "fail_on=error", "export_profile", exportProfile,
                            nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  return computed(VipsRef(out));
}

// Thumbnails bounded to each of maxPixels, each the pixels thumbnailOf
// gives for its size, decoding the picture once for all of them where its
// decode does not depend on the size. It does for JPEG and WebP, which
// libvips decodes straight at a reduced scale chosen by the size, and for
// the other formats libvips thumbnails from the file: those once per size.
std::vector<std::optional<Image>> thumbnailsOf(std::span<const std::uint8_t> data, const Header& header,
                                               std::span<const int> maxPixels) {
  std::vector<std::optional<Image>> out;
  const bool sizeFree = header.decoder != Decoder::kVips || isHeif(header) || isTiff(header) ||
                        header.loader.rfind("pngload", 0) == 0 || header.loader.rfind("gifload", 0) == 0;
  if (maxPixels.size() < 2 || !sizeFree) {
    for (int maxPixel : maxPixels) out.push_back(thumbnailOf(data, header, maxPixel));
    return out;
  }
  out.resize(maxPixels.size());
  if (declaresTooManyPixels(header)) return out;
  const char* exportProfile = exportProfileFor(header);
  HeifDecode heif;
  HeifOutcome heifOutcome = isHeif(header) ? decodeHeif(data, header, heif) : HeifOutcome::kNotHandled;
  if (heifOutcome == HeifOutcome::kFailed) return out;
  std::optional<VipsRef> full;
  if (heifOutcome == HeifOutcome::kNotHandled) {
    full = fullPicture(data, header, 1);
    if (full) full = VipsRef(vips_image_copy_memory(full->p));  // decoded once, here
    if (!full || !full->p) {
      vips_error_clear();
      return out;
    }
  }
  for (size_t k = 0; k < maxPixels.size(); ++k) {
    if (maxPixels[k] < 1) continue;
    const int maxPixel = std::min(maxPixels[k], 10000000);
    // Packed 8-bit RGB in memory takes thumbnailInMemory's fast vertical pass.
    VipsImage* picture = heifOutcome == HeifOutcome::kDecoded ? heif.image.p : full->p;
    const std::uint8_t* rgb = heifOutcome == HeifOutcome::kDecoded ? heif.rgb
                              : picture->Bands == 3 && picture->BandFmt == VIPS_FORMAT_UCHAR
                                  ? static_cast<const std::uint8_t*>(VIPS_IMAGE_ADDR(picture, 0, 0))
                                  : nullptr;
    std::optional<VipsRef> memory = thumbnailInMemory(picture, rgb, maxPixel, exportProfile, decodeThreads());
    if (memory) out[k] = imageHolding(std::move(*memory));
  }
  return out;
}

}  // namespace detail

namespace {

std::optional<Thumb> thumbWithin(std::span<const std::uint8_t> data, int maxPixel, int minPixel = 0) {
  std::optional<detail::Header> header = detail::readHeader(data);
  if (!header) return std::nullopt;
  std::optional<Image> image = detail::thumbnailOf(data, *header, maxPixel, minPixel);
  if (!image) return std::nullopt;
  PixelSize size = detail::storedSize(data, *header);
  return Thumb{std::move(*image), size.width, size.height};
}

}  // namespace

std::optional<Thumb> thumbFrom(std::span<const std::uint8_t> data, int maxPixel) {
  return thumbWithin(data, maxPixel);
}

std::optional<Thumb> reducedFrom(std::span<const std::uint8_t> data, int minPixel, int maxPixel) {
  return thumbWithin(data, maxPixel, std::clamp(minPixel, 1, std::max(1, maxPixel)));
}

}  // namespace imaging
