// BMP through ImageMagick's BMP coder, and that coder alone.
//
// libvips has no BMP loader of its own: it reads BMP through its
// ImageMagick loader, which startup.cc blocks for every file with the other
// untrusted loaders. Here MagickCore (already in the process as libvips'
// ImageMagick loader's library, so no new code is loaded) is called
// directly for data that starts with "BM" and carries a valid BMP header,
// with the coder named explicitly ("bmp:"), so that ImageMagick never picks
// another coder from the bytes. Headers that declare an embedded JPEG or PNG
// stream (meant for printers, never written by cameras or editors) are
// refused before ImageMagick sees them: they would hand the data on to
// those coders.
//
// Of the decoders at hand, this one reads every BMP layout (1 to 32 bits,
// palettes, RLE4/RLE8, bit fields with alpha, top-down rows, OS/2 headers)
// and reports cut-short data as an error; GdkPixbuf's BMP loader decodes a
// cut-short file as a picture with black rows, and OpenCV's prints to
// stderr when it meets a damaged header. ImageMagick reports through its
// exception record and prints nothing. Its pixel cache may not spill to a
// disk file (a decode never creates a file).
#include <magick/MagickCore.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "imaging/decoders.h"
#include "imaging/headers.h"

namespace imaging {
namespace {

std::uint32_t le16(std::span<const std::uint8_t> d, size_t at) { return d[at] | d[at + 1] << 8; }
std::uint32_t le32(std::span<const std::uint8_t> d, size_t at) { return le16(d, at) | le16(d, at + 2) << 16; }

}  // namespace

bool detail::startBmpDecoder() {
  static bool ready = false;
  static std::once_flag once;
  std::call_once(once, [] {
    MagickCoreGenesis(nullptr, MagickFalse);
    ExceptionInfo* exception = AcquireExceptionInfo();
    if (!exception) return;
    ready = SetMagickResourceLimit(DiskResource, 0) != MagickFalse && GetMagickInfo("BMP", exception) != nullptr;
    DestroyExceptionInfo(exception);
  });
  return ready;
}

bool detail::isBmp(std::span<const std::uint8_t> data) {
  if (data.size() < 18 || data[0] != 'B' || data[1] != 'M') return false;
  // The size of the header after the 14-byte file header names its version:
  // only those sizes make a plausible BMP, so that other data that happens
  // to start with "BM" (a text, say) is not taken for a damaged one.
  const std::uint32_t infoSize = data[14] | data[15] << 8 | data[16] << 16 | std::uint32_t{data[17]} << 24;
  for (std::uint32_t known : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u})
    if (infoSize == known) return true;
  return false;
}

std::optional<PixelSize> bmpHeaderSize(std::span<const std::uint8_t> data) {
  if (!detail::isBmp(data) || data.size() < 26) return std::nullopt;
  const std::uint32_t infoSize = le32(data, 14);
  if (infoSize == 12) {  // OS/2 1.x: 16-bit sizes, no compression
    std::int64_t w = le16(data, 18), h = le16(data, 20);
    if (w == 0 || h == 0) return std::nullopt;
    return PixelSize{w, h};
  }
  if (infoSize < 16 || infoSize > 124 || data.size() < kBmpHeaderBytes) return std::nullopt;
  const auto w = static_cast<std::int32_t>(le32(data, 18));
  const auto h = static_cast<std::int32_t>(le32(data, 22));  // negative: rows stored top-down
  const std::uint32_t compression = infoSize >= 20 ? le32(data, 30) : 0;
  if (w <= 0 || h == 0 || h == INT32_MIN || compression == 4 || compression == 5) return std::nullopt;
  return PixelSize{w, h < 0 ? -static_cast<std::int64_t>(h) : h};
}

std::optional<VipsRef> detail::decodeBmp(std::span<const std::uint8_t> data) {
  std::optional<PixelSize> declared = bmpHeaderSize(data);
  if (!declared || !startBmpDecoder()) return std::nullopt;
  ImageInfo* info = AcquireImageInfo();
  ExceptionInfo* exception = AcquireExceptionInfo();
  if (!info || !exception) {
    if (info) DestroyImageInfo(info);
    if (exception) DestroyExceptionInfo(exception);
    return std::nullopt;
  }
  CopyMagickString(info->filename, "bmp:", MaxTextExtent);
  CopyMagickString(info->magick, "BMP", MaxTextExtent);
  ::Image* image = BlobToImage(info, data.data(), data.size(), exception);
  std::optional<VipsRef> result;
  if (image && exception->severity < ErrorException &&
      static_cast<std::int64_t>(image->columns) == declared->width &&
      static_cast<std::int64_t>(image->rows) == declared->height) {
    const int bands = image->matte != MagickFalse ? 4 : 3;
    std::vector<std::uint8_t> pixels(image->columns * image->rows * bands);
    if (ExportImagePixels(image, 0, 0, image->columns, image->rows, bands == 4 ? "RGBA" : "RGB", CharPixel,
                          pixels.data(), exception) != MagickFalse &&
        exception->severity < ErrorException) {
      VipsRef out(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), static_cast<int>(image->columns),
                                                  static_cast<int>(image->rows), bands, VIPS_FORMAT_UCHAR));
      if (out.p) {
        out.p->Type = VIPS_INTERPRETATION_sRGB;
        result = std::move(out);
      } else {
        vips_error_clear();
      }
    }
  }
  if (image) DestroyImageList(image);
  DestroyExceptionInfo(exception);
  DestroyImageInfo(info);
  return result;
}

}  // namespace imaging
