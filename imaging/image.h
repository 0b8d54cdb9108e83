// A decoded picture (Image), the stored size of a file's picture, and
// starting the imaging module.
#pragma once

#include <cstdint>
#include <memory>

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

}  // namespace imaging
