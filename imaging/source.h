// Image files: reading a regular file whole, and opening one as an image
// container (ImageSource) whose thumbnails and stored size are asked for.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace imaging {

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
