// What the imaging module's own files share (internal to the module): the
// libvips start-up every entry point checks, the threads one decode may
// use, the container header read before any pixel is decoded, the holder of
// an Image's pixels, and the thumbnails of encoded bytes that the file
// functions hand on to.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imaging/image.h"
#include "imaging/vips_ref.h"

namespace imaging {

// A decoded image in memory (vips_image_copy_memory), one reference owned.
struct Image::Impl {
  VipsRef image;
};

namespace detail {

// ---- start-up (startup.cc) ----

// Starts libvips once per process (see initImaging); false when it failed.
bool vipsReady();

// Threads one decode may use: setThreadsPerDecode's value, else every core.
int decodeThreads();

// ---- the container (probe.cc) ----

// Who decodes the pixels: libvips' loaders, or one of decoders.h.
enum class Decoder { kVips, kRaw, kBmp };

struct Header {
  std::string loader;  // libvips nickname, e.g. "jpegload_buffer"
  int width = 0;       // as libvips reports it (HEIF: after irot); 0: unreadable
  int height = 0;
  bool hasIcc = false;  // carries an embedded ICC profile
  Decoder decoder = Decoder::kVips;
};

// Identifies the container and reads its header, without decoding pixels.
std::optional<Header> readHeader(std::span<const std::uint8_t> data);

bool isHeif(const Header& h);
bool isTiff(const Header& h);
bool isJpeg(const Header& h);

// The size as coded, before orientation (HEIF: its `ispe` box).
PixelSize storedSize(std::span<const std::uint8_t> data, const Header& header);

// ---- images (image.cc) ----

// An Image owning `memory`, pixels already computed into memory.
Image imageHolding(VipsRef memory);

// `pipeline` computed into memory as a new Image; nothing when libvips
// fails.
std::optional<Image> imageInMemory(VipsImage* pipeline);

// The image as a new reference, or nothing for an empty Image.
std::optional<VipsRef> vipsOf(const Image& image);

// Drops the alpha band by compositing over black.
bool flattenOverBlack(VipsRef& image);

// ---- thumbnails of encoded bytes (decode.cc) ----

// The picture bounded to maxPixel a side; minPixel > 0 lets a JPEG decode at
// the coarsest scale still at least minPixel (reducedFrom).
std::optional<Image> thumbnailOf(std::span<const std::uint8_t> data, const Header& header, int maxPixel,
                                 int minPixel = 0);

// Thumbnails bounded to each of maxPixels, each the pixels thumbnailOf
// gives for its size (makeThumbs).
std::vector<std::optional<Image>> thumbnailsOf(std::span<const std::uint8_t> data, const Header& header,
                                               std::span<const int> maxPixels);

}  // namespace detail
}  // namespace imaging
