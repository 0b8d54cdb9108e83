// Whether stopping a progressive JPEG's decode after its DC scans would pay.
//
// A 12-megapixel photo-like picture is saved twice by libvips at the same
// quality, baseline and progressive; a third file is the progressive one
// with every AC scan (spectral start > 0) taken out, which is the most a
// decoder that stops once the DC coefficients are complete could save. Each
// is fingerprinted as the scan does it (imaging::thumbFrom at 256 pixels,
// which shrinks a JPEG by 8 on load, then the difference hash and the
// thumbnail's JPEG text); median of --runs runs. The DC-only file's hash and
// thumbnail are compared with the full progressive file's: the shortcut is
// only allowed if they are bit-identical. Last, how many corpus JPEGs are
// progressive.
//
// Usage: progressive_jpeg_bench [--runs 7] [--megapixels 12]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <vips/vips.h>

#include "imaging/imaging.h"
#include "testsupport/images.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Chroma subsampled 4:2:0 (libvips' default at this quality) unless `fullChroma`.
Bytes saveJpeg(const Bytes& source, bool progressive, bool fullChroma = false) {
  VipsImage* image = vips_image_new_from_buffer(source.data(), source.size(), "", nullptr);
  void* buf = nullptr;
  size_t len = 0;
  Bytes out;
  if (image != nullptr &&
      vips_jpegsave_buffer(image, &buf, &len, "Q", 90, "interlace", progressive ? TRUE : FALSE, "subsample_mode",
                           fullChroma ? VIPS_FOREIGN_SUBSAMPLE_OFF : VIPS_FOREIGN_SUBSAMPLE_AUTO, nullptr) == 0)
    out.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  if (image != nullptr) g_object_unref(image);
  return out;
}

// The file's segments up to and with the end marker, leaving out each scan
// (its header and entropy-coded data) whose spectral selection starts past
// the DC coefficient.
Bytes withoutAcScans(const Bytes& jpeg) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const int marker = jpeg[at + 1];
    if (marker == 0xD9) break;
    const std::size_t length = jpeg[at + 2] << 8 | jpeg[at + 3];
    std::size_t end = at + 2 + length;
    if (marker == 0xDA) {  // scan: its data runs to the next marker that is not a restart or a stuffed zero
      while (end + 1 < jpeg.size() &&
             !(jpeg[end] == 0xFF && jpeg[end + 1] != 0 && !(jpeg[end + 1] >= 0xD0 && jpeg[end + 1] <= 0xD7)))
        ++end;
      const int components = jpeg[at + 4];
      const int spectralStart = jpeg[at + 5 + 2 * components];
      if (spectralStart > 0) {
        at = end;
        continue;
      }
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at),
               jpeg.begin() + static_cast<std::ptrdiff_t>(std::min(end, jpeg.size())));
    at = end;
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

struct Fingerprint {
  std::string hash, thumb;
  double seconds = 0;  // median
};

Fingerprint fingerprintOf(const Bytes& bytes, int runs) {
  Fingerprint f;
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    Clock::time_point start = Clock::now();
    std::optional<imaging::Thumb> thumb = imaging::thumbFrom(bytes, 256);
    std::optional<std::uint64_t> hash = thumb ? imaging::dhash(thumb->image) : std::nullopt;
    std::optional<std::string> text = thumb ? imaging::jpegBase64(thumb->image, 0.7) : std::nullopt;
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    f.hash = hash ? imaging::hashText(*hash) : "none";
    f.thumb = text.value_or("none");
  }
  std::sort(times.begin(), times.end());
  f.seconds = times[times.size() / 2];
  return f;
}

bool isProgressive(const Bytes& jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    if (jpeg[at + 1] == 0xC2 || jpeg[at + 1] == 0xC6 || jpeg[at + 1] == 0xCA || jpeg[at + 1] == 0xCE) return true;
    at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  }
  return false;
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7, megapixels = 12;
  for (int k = 1; k + 1 < argc; k += 2) {
    std::string a = argv[k];
    if (a == "--runs") runs = std::max(1, std::atoi(argv[k + 1]));
    else if (a == "--megapixels") megapixels = std::max(1, std::atoi(argv[k + 1]));
  }
  imaging::initImaging();
  testsupport::Picture picture;
  picture.pattern = testsupport::Pattern::kPhoto;
  picture.height = static_cast<int>(std::sqrt(megapixels * 1e6 * 3 / 4));
  picture.width = picture.height * 4 / 3;
  std::optional<Bytes> source = testsupport::encodeImage(picture, ".png");
  if (!source) return 1;
  const Bytes baseline = saveJpeg(*source, false), progressive = saveJpeg(*source, true);
  const Bytes dcOnly = withoutAcScans(progressive);
  std::printf("== fingerprint (thumbnail 256, hash, thumbnail JPEG) of a %d x %d JPEG, median of %d ==\n",
              picture.width, picture.height, runs);
  Fingerprint b = fingerprintOf(baseline, runs), p = fingerprintOf(progressive, runs), d = fingerprintOf(dcOnly, runs);
  std::printf("%-34s %10s %9s %9s\n", "file", "bytes", "seconds", "x base");
  std::printf("%-34s %10zu %9.3f %9.2f\n", "baseline", baseline.size(), b.seconds, 1.0);
  std::printf("%-34s %10zu %9.3f %9.2f\n", "progressive", progressive.size(), p.seconds, p.seconds / b.seconds);
  std::printf("%-34s %10zu %9.3f %9.2f\n", "progressive, DC scans only (bound)", dcOnly.size(), d.seconds,
              d.seconds / b.seconds);
  std::printf("DC-only vs full progressive: hash %s, thumbnail %s (a shortcut must give both identical)\n",
              d.hash == p.hash ? "identical" : "DIFFERENT", d.thumb == p.thumb ? "identical" : "DIFFERENT");

  // The same without chroma subsampling, where no component needs more
  // than its DC coefficient at 1/8 scale.
  const Bytes full = saveJpeg(*source, true, true);
  Fingerprint f = fingerprintOf(full, 1), fd = fingerprintOf(withoutAcScans(full), 1);
  std::printf("the same with 4:4:4 chroma: hash %s, thumbnail %s\n", f.hash == fd.hash ? "identical" : "DIFFERENT",
              f.thumb == fd.thumb ? "identical" : "DIFFERENT");

  int jpegs = 0, progressives = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(CORPUS_DIR, ec)) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!e.is_regular_file() || (ext != ".jpg" && ext != ".jpeg")) continue;
    Bytes bytes = readFile(e.path());
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) continue;
    ++jpegs;
    progressives += isProgressive(bytes);
  }
  std::printf("corpus (%s): %d of %d JPEGs progressive\n", CORPUS_DIR, progressives, jpegs);
  return 0;
}
