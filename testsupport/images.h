// Synthetic pictures for tests and benchmarks, written with libvips.
//
// Typical use:
//   testsupport::TempDir dir;
//   testsupport::Picture params;
//   params.width = 800; params.height = 600; params.orientation = 6;
//   ASSERT_TRUE(testsupport::writeImage(dir.path() + "/a.jpg", params));
//
// The file format follows the path's suffix (".jpg", ".png", ".webp",
// ".tif", ".gif", ".heic", ...). Every function is deterministic: the same
// Picture gives the same pixels. Starts libvips on first use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

enum class Pattern {
  kScene,     // asymmetric: red rises left to right, green top to bottom,
              // a bright block in the upper-left quarter; any turn or
              // mirror of it changes its difference hash
  kPhoto,     // kScene with mild deterministic noise (photo-sized JPEGs
              // of realistic byte size, for benchmarks)
  kGradient,  // grey, white at the left edge falling to black at the right
  kStripes,   // horizontal bands, each row one uniform grey
  kUniform,   // every pixel the grey level `value`
};

enum class Colour { kRgb, kGrey, kCmyk };

struct Picture {
  // Stored size in pixels, as the file records it (before orientation).
  int width = 64;
  int height = 48;
  Pattern pattern = Pattern::kScene;
  std::uint8_t value = 128;  // grey level of kUniform
  // EXIF orientation tag 1-8 written into the file; 0 writes no tag. The
  // pixels are stored turned so that, once the tag is applied, the picture
  // shows `pattern` upright (at height x width for tags 5-8).
  int orientation = 0;
  Colour colour = Colour::kRgb;
  // Adds an alpha band: opaque in the right half, fully transparent in the
  // left half, whose colour is set to white (so ignoring alpha shows).
  bool alpha = false;
  bool sixteenBit = false;  // 16 bits per band (PNG, TIFF)
  bool palette = false;     // PNG palette image
  int pages = 1;            // > 1: animated GIF / WebP; later pages inverted
  int quality = 90;         // JPEG / WebP / HEIF quality
};

// The encoded file for `suffix` (".jpg", ".png", ...); nothing on failure.
std::optional<std::vector<std::uint8_t>> encodeImage(const Picture& params, const std::string& suffix);

// Writes the picture to `path`, format by suffix; false on failure.
bool writeImage(const std::string& path, const Picture& params);

// Writes raw bytes to a file; false on failure.
bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool writeBytes(const std::string& path, const std::string& bytes);

// A tiny, valid-looking PNG that declares width x height pixels but holds
// almost no data (a decompression bomb stand-in).
std::vector<std::uint8_t> pngDeclaring(std::uint32_t width, std::uint32_t height);

// Decoded pixels of encoded bytes (orientation NOT applied): 8-bit,
// `bands` bands per pixel, row-major.
struct Decoded {
  int width = 0;
  int height = 0;
  int bands = 0;
  std::string loader;  // libvips loader name, e.g. "jpegload_buffer"
  std::vector<std::uint8_t> pixels;
};
std::optional<Decoded> decodeImage(const std::vector<std::uint8_t>& bytes);

// Standard base64 decoding; nothing when the text is not valid base64.
std::optional<std::vector<std::uint8_t>> base64Decode(const std::string& text);

// Width and height of the JPEG given as base64 text (a preview in a
// record); (0, 0) when the text is not base64 or not a JPEG.
std::pair<int, int> base64JpegSize(const std::string& text);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace testsupport
