// Image primitives shared by albumsweep and twinspot: bounded upright
// thumbnails, the 64-bit difference hash, and base64 JPEG text.
//
// Decoding goes through libvips, except for camera raws (LibRaw) and BMP
// (ImageMagick's BMP coder alone), which libvips' loaders do not read here.
// Thumbnails are always rendered from the
// full image (never an embedded preview), shrunk on load where the format
// allows, and turned upright by the file's own orientation. Every function
// is re-entrant, keeps nothing between calls, prints nothing and reports
// failure by returning nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace imaging {

// Once per process, before any other call: starts libvips, switches off its
// operation cache and sets the decoder limits. Safe to call again (every
// function here also calls it). It also routes all GLib/libvips log messages
// to a handler that drops them (nothing may reach stderr) and blocks the
// loaders libvips marks untrusted (PDF, SVG, JPEG 2000, ...), loads the BMP
// decoder, so that no decode needs to open a library file later, and turns
// off libvips' run-time code generator, which would create a file to map its
// code: nothing here creates a file.
void initImaging();

// Threads one decode may use (libheif's tile threads, libvips' workers):
// every core unless set. A caller that runs several decodes at once lowers
// it so that together they do not oversubscribe the machine. Set it before
// decoding starts.
void setThreadsPerDecode(int threads);

// The most pixels an image may declare before it is refused undecoded.
inline constexpr std::uint64_t kMaxPixels = 1ull << 28;  // 268 megapixels

// A decoded bitmap: upright, sRGB, 8 bits per band (3 bands, or 4 with
// alpha). Move-only; owns its pixels.
class Image {
 public:
  Image();
  ~Image();
  Image(Image&&) noexcept;
  Image& operator=(Image&&) noexcept;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  int width() const;
  int height() const;
  int bands() const;
  bool empty() const;

  struct Impl;
  explicit Image(std::unique_ptr<Impl> impl);
  Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// Pixel size as the file stores it, before orientation; 0 where unknown.
struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// A bounded upright thumbnail and the stored size of its source image.
struct Thumb {
  Image image;
  std::int64_t width = 0;   // stored width of the source image
  std::int64_t height = 0;  // stored height of the source image
};

// Difference hash of a decoded image: the image is reduced to a 9 x 8 grey
// grid (alpha composited over black), and bit 63 - (8r + c) is set when
// grid pixel (r, c) is strictly brighter than (r, c + 1).
std::optional<std::uint64_t> dhash(const Image& image);

// The hash as exactly 16 lowercase hexadecimal digits.
std::string hashText(std::uint64_t hash);

// Thumbnail of encoded image bytes held in memory, longest side at most
// maxPixel (never enlarged), upright.
std::optional<Thumb> thumbFrom(std::span<const std::uint8_t> data, int maxPixel = 256);

// Like thumbFrom, for analysing a picture rather than showing it: a JPEG is
// decoded at the coarsest scale libjpeg offers (1/2, 1/4 or 1/8 of each
// side, each pixel the mean of its block) whose longer side is still at
// least minPixel, and reduced further only as far as maxPixel needs. A
// thumbnail decodes at least twice its size and then resamples, for
// sharpness; this skips most of that work (a 4000 x 3000 JPEG is decoded
// straight to 500 x 375). Every other format is reduced as thumbFrom does.
std::optional<Thumb> reducedFrom(std::span<const std::uint8_t> data, int minPixel, int maxPixel);

// The image encoded as JPEG at libjpeg quality round(quality * 100), then
// as base64 with padding and without line breaks.
std::optional<std::string> jpegBase64(const Image& image, double quality);

// Standard base64 (RFC 4648, with padding, no line breaks).
std::string base64(std::span<const std::uint8_t> bytes);

// Standard base64 decoding; nothing when the text is not valid base64.
std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text);

// A rectangle of an image, in pixels.
struct Box {
  int left = 0, top = 0, width = 0, height = 0;
};

// The part of `image` inside `box`, as a new image; nothing when the box
// does not lie inside the image or is empty.
std::optional<Image> cropped(const Image& image, Box box);

// The image without its flat borders (padding, letterbox bars): the box of
// the pixels that differ by more than `threshold` (in 8-bit levels, after a
// 3 x 3 median that ignores JPEG noise) from the colour of the top-left
// corner, then within that from the colour of its bottom-right corner, so
// that borders of one colour on any sides go. The whole image when nothing
// is flat.
std::optional<Box> contentBox(const Image& image, double threshold);

// 8-bit sRGB pixels, alpha composited over black, row-major, 3 bytes a pixel.
struct RgbPixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
};
std::optional<RgbPixels> rgbPixels(const Image& image);

// An image file opened for reading; move-only, releases everything it holds.
class ImageSource {
 public:
  ImageSource();
  ~ImageSource();
  ImageSource(ImageSource&&) noexcept;
  ImageSource& operator=(ImageSource&&) noexcept;
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  struct Impl;
  explicit ImageSource(std::unique_ptr<Impl> impl);
  Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// The whole content of a regular file (at most 1 GiB); nothing when it does
// not exist, cannot be read or is not a regular file. A FIFO or a device is
// refused without blocking and without a read.
std::optional<std::vector<std::uint8_t>> readRegularFile(const std::string& path);

// Opens a regular file as an image container; nothing when it does not
// exist, is not a regular file (a FIFO or directory is refused without
// blocking), cannot be read, is larger than 1 GiB or is not an image. The
// file is read whole into memory and closed before this returns.
std::optional<ImageSource> imageSource(const std::string& path);

// Bounded upright thumbnail of the source's first image; nothing when its
// data is damaged or cut short, or it declares more than kMaxPixels pixels.
std::optional<Image> makeThumb(const ImageSource& source, int maxPixel);

// Thumbnails of the source's first image, one per entry of maxPixels, each
// the pixels makeThumb gives for that size. The picture is decoded once for
// all of them where the decode does not depend on the size (HEIF, TIFF,
// PNG, GIF, BMP, camera raws); JPEG and WebP, which decode straight at a
// reduced scale the size chooses, and the rarer formats are decoded once
// per size.
std::vector<std::optional<Image>> makeThumbs(const ImageSource& source, std::span<const int> maxPixels);

// Stored pixel size of the source's first image; 0 where unknown.
PixelSize pixelSize(const ImageSource& source);

}  // namespace imaging
