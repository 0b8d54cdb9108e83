#include "testsupport/images.h"

#include <openssl/evp.h>
#include <stdlib.h>
#include <vips/vips.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "imaging/vips_ref.h"

namespace testsupport {

namespace {

void startVips() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("testsupport")) vips_error_clear();
    vips_cache_set_max(0);
  });
}

using imaging::VipsRef;

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The upright picture, 8-bit sRGB, width x height.
std::vector<std::uint8_t> drawPattern(const Picture& params, int width, int height) {
  std::vector<std::uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  std::uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* px = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      int r = 0, g = 0, b = 0;
      switch (params.pattern) {
        case Pattern::kScene:
        case Pattern::kPhoto: {
          r = width > 1 ? 255 * x / (width - 1) : 0;
          g = height > 1 ? 255 * y / (height - 1) : 0;
          bool block = x < width / 2 && y < height / 2 && x > width / 8 && y > height / 8;
          b = block ? 255 : 40;
          if (block) r = g = 230;
          if (params.pattern == Pattern::kPhoto) {
            seed = seed * 1664525u + 1013904223u;
            int n = static_cast<int>((seed >> 24) % 17) - 8;
            r += n;
            g += n;
            b += n;
          }
          break;
        }
        case Pattern::kGradient:
          r = g = b = width > 1 ? 255 - 255 * x / (width - 1) : 255;
          break;
        case Pattern::kStripes:
          r = g = b = (y * 53) % 256;
          break;
        case Pattern::kUniform:
          r = g = b = params.value;
          break;
      }
      px[0] = clampByte(r);
      px[1] = clampByte(g);
      px[2] = clampByte(b);
    }
  }
  return rgb;
}

bool rot(VipsRef& image, VipsAngle angle) {
  return imaging::vipsStep(image,
                           [angle](VipsImage* in, VipsImage** out) { return vips_rot(in, out, angle, nullptr); });
}

bool flip(VipsRef& image, VipsDirection direction) {
  return imaging::vipsStep(
      image, [direction](VipsImage* in, VipsImage** out) { return vips_flip(in, out, direction, nullptr); });
}

// Turns the upright picture into the stored one for an EXIF orientation.
bool storeTurned(VipsRef& image, int orientation) {
  switch (orientation) {
    case 2:
      return flip(image, VIPS_DIRECTION_HORIZONTAL);
    case 3:
      return rot(image, VIPS_ANGLE_D180);
    case 4:
      return flip(image, VIPS_DIRECTION_VERTICAL);
    case 5:  // transpose
      return rot(image, VIPS_ANGLE_D90) && flip(image, VIPS_DIRECTION_HORIZONTAL);
    case 6:  // shown turned 90 clockwise, so stored turned 90 anticlockwise
      return rot(image, VIPS_ANGLE_D270);
    case 7:  // transverse
      return rot(image, VIPS_ANGLE_D270) && flip(image, VIPS_DIRECTION_HORIZONTAL);
    case 8:
      return rot(image, VIPS_ANGLE_D90);
    default:
      return true;
  }
}

// A minimal little-endian EXIF block: IFD0 with the orientation tag only.
std::vector<std::uint8_t> exifWithOrientation(int orientation) {
  return {'E',
          'x',
          'i',
          'f',
          0,
          0,  // APP1 identifier
          'I',
          'I',
          42,
          0,
          8,
          0,
          0,
          0,  // TIFF header, IFD0 at 8
          1,
          0,  // one entry
          0x12,
          0x01,
          3,
          0,
          1,
          0,
          0,
          0,  // tag 0x0112, SHORT, count 1
          static_cast<std::uint8_t>(orientation),
          0,
          0,
          0,
          0,
          0,
          0,
          0};  // no next IFD
}

std::optional<VipsRef> buildImage(const Picture& params) {
  startVips();
  if (params.width < 1 || params.height < 1 || params.pages < 1) return std::nullopt;
  bool quarter = params.orientation >= 5 && params.orientation <= 8;
  int uw = quarter ? params.height : params.width;
  int uh = quarter ? params.width : params.height;

  std::vector<VipsRef> pages;
  for (int page = 0; page < params.pages; ++page) {
    std::vector<std::uint8_t> rgb = drawPattern(params, uw, uh);
    if (page % 2 == 1)
      for (auto& v : rgb) v = static_cast<std::uint8_t>(255 - v);
    int bands = 3;
    if (params.alpha) {
      std::vector<std::uint8_t> rgba(static_cast<size_t>(uw) * uh * 4);
      for (int y = 0; y < uh; ++y)
        for (int x = 0; x < uw; ++x) {
          size_t i = static_cast<size_t>(y) * uw + x;
          bool clear = x < uw / 2;
          for (int c = 0; c < 3; ++c) rgba[i * 4 + c] = clear ? 255 : rgb[i * 3 + c];
          rgba[i * 4 + 3] = clear ? 0 : 255;
        }
      rgb.swap(rgba);
      bands = 4;
    }
    VipsRef img(vips_image_new_from_memory_copy(rgb.data(), rgb.size(), uw, uh, bands, VIPS_FORMAT_UCHAR));
    if (!img.p) return std::nullopt;
    img.p->Type = VIPS_INTERPRETATION_sRGB;
    if (!storeTurned(img, params.orientation)) return std::nullopt;
    pages.push_back(std::move(img));
  }

  VipsRef image;
  if (pages.size() == 1) {
    image = std::move(pages[0]);
  } else {
    std::vector<VipsImage*> raw;
    for (auto& p : pages) raw.push_back(p.p);
    VipsImage* out = nullptr;
    if (vips_arrayjoin(raw.data(), &out, static_cast<int>(raw.size()), "across", 1, nullptr)) {
      vips_error_clear();
      return std::nullopt;
    }
    image = VipsRef(out);
    VipsImage* c = nullptr;
    if (vips_copy(image.p, &c, nullptr)) return std::nullopt;
    image = VipsRef(c);
    vips_image_set_int(image.p, "page-height", pages[0].p->Ysize);
    std::vector<int> delays(pages.size(), 100);
    vips_image_set_array_int(image.p, "delay", delays.data(), static_cast<int>(delays.size()));
    vips_image_set_int(image.p, "loop", 0);
  }

  if (params.colour == Colour::kGrey) {
    if (!imaging::vipsStep(image, [](VipsImage* in, VipsImage** out) {
          return vips_colourspace(in, out, VIPS_INTERPRETATION_B_W, nullptr);
        }))
      return std::nullopt;
  } else if (params.colour == Colour::kCmyk) {
    if (!imaging::vipsStep(image, [](VipsImage* in, VipsImage** out) {
          return vips_icc_export(in, out, "output_profile", "cmyk", nullptr);
        }))
      return std::nullopt;
  }
  if (params.sixteenBit) {
    VipsInterpretation target = params.colour == Colour::kGrey ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_RGB16;
    if (!imaging::vipsStep(
            image, [target](VipsImage* in, VipsImage** out) { return vips_colourspace(in, out, target, nullptr); }))
      return std::nullopt;
  }
  if (params.orientation > 0) {
    VipsImage* c = nullptr;
    if (vips_copy(image.p, &c, nullptr)) return std::nullopt;
    image = VipsRef(c);
    // libvips writes EXIF only for images that carry an EXIF block, so give
    // every oriented image one (PNG and WebP would lose the tag otherwise).
    std::vector<std::uint8_t> exif = exifWithOrientation(params.orientation);
    vips_image_set_blob_copy(image.p, "exif-data", exif.data(), exif.size());
    vips_image_set_int(image.p, "orientation", params.orientation);
  }
  return image;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeImage(const Picture& params, const std::string& suffix) {
  std::optional<VipsRef> image = buildImage(params);
  if (!image) return std::nullopt;
  std::string ext = suffix;
  for (auto& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  std::string options;
  if (ext == ".jpg" || ext == ".jpeg" || ext == ".webp" || ext == ".heic" || ext == ".heif" || ext == ".avif")
    options = "[Q=" + std::to_string(params.quality) + "]";
  else if (ext == ".png" && params.palette)
    options = "[palette]";
  void* buf = nullptr;
  size_t len = 0;
  if (vips_image_write_to_buffer(image->p, (ext + options).c_str(), &buf, &len, nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return bytes;
}

bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

bool writeBytes(const std::string& path, const std::string& bytes) {
  return writeBytes(path, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

bool writeImage(const std::string& path, const Picture& params) {
  std::string suffix = std::filesystem::path(path).extension().string();
  std::optional<std::vector<std::uint8_t>> bytes = encodeImage(params, suffix);
  return bytes && writeBytes(path, *bytes);
}

namespace {

std::uint32_t crc32(const std::uint8_t* data, size_t len) {
  std::uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void pngChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
  putBe32(out, static_cast<std::uint32_t>(data.size()));
  size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  putBe32(out, crc32(&out[start], out.size() - start));
}

}  // namespace

std::vector<std::uint8_t> pngDeclaring(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<std::uint8_t> ihdr;
  putBe32(ihdr, width);
  putBe32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});  // 8-bit grey, no interlace
  pngChunk(png, "IHDR", ihdr);
  // A zlib stream holding one stored deflate block with a single zero byte.
  pngChunk(png, "IDAT", {0x78, 0x01, 0x01, 0x01, 0x00, 0xfe, 0xff, 0x00, 0x00, 0x01, 0x00, 0x01});
  pngChunk(png, "IEND", {});
  return png;
}

std::optional<Decoded> decodeImage(const std::vector<std::uint8_t>& bytes) {
  startVips();
  const char* loader = vips_foreign_find_load_buffer(bytes.data(), bytes.size());
  if (!loader) {
    vips_error_clear();
    return std::nullopt;
  }
  VipsRef image(vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr));
  if (!image.p) {
    vips_error_clear();
    return std::nullopt;
  }
  if (image.p->BandFmt != VIPS_FORMAT_UCHAR || image.p->Type == VIPS_INTERPRETATION_CMYK) {
    if (!imaging::vipsStep(image, [](VipsImage* in, VipsImage** out) {
          return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
        }))
      return std::nullopt;
  }
  size_t size = 0;
  void* mem = vips_image_write_to_memory(image.p, &size);
  if (!mem) {
    vips_error_clear();
    return std::nullopt;
  }
  Decoded d;
  d.width = image.p->Xsize;
  d.height = image.p->Ysize;
  d.bands = image.p->Bands;
  d.loader = vips_nickname_find(g_type_from_name(loader));
  d.pixels.assign(static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + size);
  g_free(mem);
  return d;
}

std::optional<std::vector<std::uint8_t>> base64Decode(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out(text.size() / 4 * 3 + 1);
  int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/photo-tools-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::pair<int, int> base64JpegSize(const std::string& text) {
  auto bytes = base64Decode(text);
  auto decoded = bytes ? decodeImage(*bytes) : std::nullopt;
  if (!decoded || decoded->loader.rfind("jpegload", 0) != 0) return {0, 0};
  return {decoded->width, decoded->height};
}

}  // namespace testsupport
