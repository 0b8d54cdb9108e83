#include "testsupport/camera_files.h"

#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {
namespace {

// The picture's stored pixels, 8-bit RGB or RGBA.
std::optional<Decoded> pixelsOf(const Picture& picture) {
  std::optional<std::vector<std::uint8_t>> png = encodeImage(picture, ".png");
  if (!png) return std::nullopt;
  std::optional<Decoded> d = decodeImage(*png);
  if (!d || d->bands < 3) return std::nullopt;
  return d;
}

std::uint8_t at(const Decoded& d, int x, int y, int band) {
  return d.pixels[(static_cast<size_t>(y) * d.width + x) * d.bands + band];
}

std::uint8_t luma(const Decoded& d, int x, int y) {
  return static_cast<std::uint8_t>(
      std::lround(0.2126 * at(d, x, y, 0) + 0.7152 * at(d, x, y, 1) + 0.0722 * at(d, x, y, 2)));
}

// sRGB-encoded 8-bit value to linear 16-bit.
std::uint16_t linear16(std::uint8_t v) {
  double c = v / 255.0;
  double l = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  return static_cast<std::uint16_t>(std::lround(l * 65535.0));
}

std::optional<std::vector<std::uint8_t>> readAndRemove(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::optional<std::vector<std::uint8_t>> bytes;
  if (f) {
    std::vector<std::uint8_t> out;
    std::uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    bytes = std::move(out);
  }
  ::unlink(path.c_str());
  return bytes;
}

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeDng(const Picture& picture, const Picture& preview) {
  std::optional<Decoded> main = pixelsOf(picture);
  Picture small = preview;
  small.orientation = 0;
  std::optional<Decoded> thumb = pixelsOf(small);
  if (!main || !thumb) return std::nullopt;

  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/dng-XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) return std::nullopt;
  ::close(fd);
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  bool ok = true;
  // Directory 0: the preview, and the DNG tags that describe the camera.
  const std::uint8_t dngVersion[4] = {1, 4, 0, 0};
  const std::uint8_t backward[4] = {1, 1, 0, 0};
  // XYZ (D65) to camera RGB, where camera RGB is linear sRGB.
  const float xyzToCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f, 0.0415f, 0.0557f, -0.2040f, 1.0570f};
  const float neutral[3] = {1.0f, 1.0f, 1.0f};
  toff_t subIfd = 0;
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, thumb->width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, thumb->height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, thumb->height);
  TIFFSetField(tif, TIFFTAG_MAKE, "Testcam");
  TIFFSetField(tif, TIFFTAG_MODEL, "Testcam One");
  TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Testcam One");
  TIFFSetField(tif, TIFFTAG_DNGVERSION, dngVersion);
  TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backward);
  TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyzToCamera);
  TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
  TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  if (picture.orientation > 0) TIFFSetField(tif, TIFFTAG_ORIENTATION, picture.orientation);
  TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &subIfd);
  std::vector<std::uint8_t> row(static_cast<size_t>(thumb->width) * 3);
  for (int y = 0; y < thumb->height && ok; ++y) {
    for (int x = 0; x < thumb->width; ++x)
      for (int b = 0; b < 3; ++b) row[x * 3 + b] = at(*thumb, x, y, b);
    ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
  }
  ok = ok && TIFFWriteDirectory(tif);

  // The SubIFD: the full picture as RGGB sensor data.
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, main->width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, main->height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 32803);  // colour filter array
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, main->height);
  const std::uint16_t cfaDim[2] = {2, 2};
  const std::uint8_t cfa[4] = {0, 1, 1, 2};  // R G / G B
  TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, cfaDim);
  TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, cfa);
  std::vector<std::uint16_t> sensor(static_cast<size_t>(main->width));
  for (int y = 0; y < main->height && ok; ++y) {
    for (int x = 0; x < main->width; ++x) {
      int band = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
      sensor[x] = linear16(at(*main, x, y, band));
    }
    ok = TIFFWriteScanline(tif, sensor.data(), y, 0) >= 0;
  }
  ok = ok && TIFFWriteDirectory(tif);
  TIFFClose(tif);
  std::optional<std::vector<std::uint8_t>> bytes = readAndRemove(path);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::vector<std::uint8_t>> encodeBmp(const Picture& picture, BmpLayout layout) {
  std::optional<Decoded> px = pixelsOf(picture);
  if (!px) return std::nullopt;
  const int w = px->width, h = px->height;
  const bool palette = layout == BmpLayout::kPalette8 || layout == BmpLayout::kRle8;
  const int bits = palette ? 8 : layout == BmpLayout::kRgba32 ? 32 : 24;
  const bool v4 = layout == BmpLayout::kRgba32;
  const bool topDown = layout == BmpLayout::kTopDown24;
  const std::uint32_t infoSize = v4 ? 108 : 40;
  const std::uint32_t paletteBytes = palette ? 256 * 4 : 0;
  const std::uint32_t dataOffset = 14 + infoSize + paletteBytes;

  // Pixel data, rows in file order.
  std::vector<std::uint8_t> data;
  const size_t stride = (static_cast<size_t>(w) * bits / 8 + 3) / 4 * 4;
  for (int r = 0; r < h; ++r) {
    const int y = topDown ? r : h - 1 - r;
    std::vector<std::uint8_t> line;
    for (int x = 0; x < w; ++x) {
      if (palette) {
        line.push_back(static_cast<std::uint8_t>(255 - luma(*px, x, y)));
      } else {
        line.insert(line.end(), {at(*px, x, y, 2), at(*px, x, y, 1), at(*px, x, y, 0)});
        if (bits == 32) line.push_back(px->bands == 4 ? at(*px, x, y, 3) : 255);
      }
    }
    if (layout == BmpLayout::kRle8) {
      for (size_t i = 0; i < line.size();) {
        size_t run = 1;
        while (i + run < line.size() && run < 255 && line[i + run] == line[i]) ++run;
        data.insert(data.end(), {static_cast<std::uint8_t>(run), line[i]});
        i += run;
      }
      data.insert(data.end(), {0, 0});  // end of line
    } else {
      line.resize(stride, 0);
      data.insert(data.end(), line.begin(), line.end());
    }
  }
  if (layout == BmpLayout::kRle8) data.insert(data.end(), {0, 1});  // end of bitmap

  std::vector<std::uint8_t> out = {'B', 'M'};
  put32(out, dataOffset + static_cast<std::uint32_t>(data.size()));
  put32(out, 0);
  put32(out, dataOffset);
  put32(out, infoSize);
  put32(out, static_cast<std::uint32_t>(w));
  put32(out, static_cast<std::uint32_t>(topDown ? -h : h));
  put16(out, 1);
  put16(out, static_cast<std::uint32_t>(bits));
  put32(out, layout == BmpLayout::kRle8 ? 1 : v4 ? 3 : 0);  // BI_RLE8, BI_BITFIELDS, BI_RGB
  put32(out, static_cast<std::uint32_t>(data.size()));
  put32(out, 2835);  // 72 dpi
  put32(out, 2835);
  put32(out, palette ? 256 : 0);
  put32(out, 0);
  if (v4) {
    for (std::uint32_t mask : {0x00ff0000u, 0x0000ff00u, 0x000000ffu, 0xff000000u}) put32(out, mask);
    put32(out, 0x73524742);                      // 'sRGB'
    for (int i = 0; i < 12; ++i) put32(out, 0);  // endpoints and gamma, unused for sRGB
  }
  for (int i = 0; i < (palette ? 256 : 0); ++i) {
    const std::uint8_t g = static_cast<std::uint8_t>(255 - i);
    out.insert(out.end(), {g, g, g, 0});
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace testsupport
