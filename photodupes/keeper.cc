#include "photodupes/keeper.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "imaging/imaging.h"
#include "photodupes/candidates.h"
#include "photodupes/catalog.h"

namespace photodupes {
namespace {

// Borders a copy added are bars on two opposite sides, of one width (to
// within 2% of the side, and at least 3% each): padding, letterbox and
// pillarbox bars. A photo's own flat parts (a sky, a wall) trim one side,
// or two by different amounts, and do not count.
constexpr double kMinBar = 0.03;
constexpr double kBarsAlike = 0.02;
// A pixel has colour when its channels spread over more than this many
// levels; a picture has colour when more than 1% of its pixels do. A grey
// copy's JPEG thumbnail stays within a few levels.
constexpr int kColourSpread = 12;
constexpr double kColourShare = 0.01;
// Content sizes are compared on a log scale in steps of 2^(1/16), about
// 4.4%: a copy re-encoded at the same size ties with its original, a copy
// resized to 90% of each side (81% of the pixels) does not.
constexpr double kSizeSteps = 16;
// A photo with flat borders counts its content as 5% smaller than measured:
// more than the thumbnail's measuring error (a pixel in 256 a side), so a
// padded copy never outweighs its original on content.
constexpr double kBorderPenalty = 0.95;

std::string extensionOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool hasBorders(const Photo& p) { return p.facts && p.facts->contentShare < 1; }

// Content pixels on the log scale, in steps.
long contentStep(const Photo& p) {
  double px = static_cast<double>(p.w) * static_cast<double>(p.h);
  if (px <= 0) return -1;
  if (p.facts) px *= p.facts->contentShare * (hasBorders(p) ? kBorderPenalty : 1);
  return std::lround(std::floor(std::log2(px) * kSizeSteps));
}

// The capture date came from the file's metadata: a photo without one gets
// its modification time.
bool hasCaptureDate(const Photo& p) { return p.created != 0 && p.created != p.mod; }

// How original the file's format is: a camera's own file (raw 3, HEIC 2,
// JPEG 1, plus 10), else lossless 2 over lossy 1 over unknown 0.
int formatRank(const Photo& p) {
  const std::string ext = extensionOf(p.path);
  const bool heic = ext == "heic" || ext == "heif" || ext == "hif";
  const bool jpeg = ext == "jpg" || ext == "jpeg" || ext == "jpe";
  if (hasCaptureDate(p) && (isRawFile(p.path) || heic || jpeg)) return 10 + (isRawFile(p.path) ? 3 : heic ? 2 : 1);
  if (ext == "png" || ext == "tif" || ext == "tiff" || ext == "bmp") return 2;
  if (jpeg || heic || ext == "webp" || ext == "avif" || ext == "gif") return 1;
  return 0;
}

}  // namespace

const char* const kKeeperRule =
    "the most pixels of its own content (flat borders a copy added do not count; sizes within about 4% tie), "
    "then the least loss (colour over grey, no added borders, the camera's own raw, HEIC or JPEG file over a "
    "conversion), then a capture date from the camera, the oldest capture date, the oldest modification time, "
    "the larger file, and the shortest path";

std::optional<ThumbFacts> thumbFacts(const std::string& base64Jpeg) {
  auto bytes = base64Jpeg.empty() ? std::nullopt : imaging::fromBase64(base64Jpeg);
  auto thumb = bytes ? imaging::thumbFrom(*bytes) : std::nullopt;
  if (!thumb) return std::nullopt;
  const imaging::Image& image = thumb->image;
  const int w = image.width(), h = image.height();
  ThumbFacts f;
  if (auto box = flatBordersTrimmed(image)) {
    auto bars = [](int before, int after, int side) {
      return before >= kMinBar * side && after >= kMinBar * side && std::abs(before - after) <= kBarsAlike * side + 1;
    };
    const bool sideBars = bars(box->left, w - box->left - box->width, w);
    const bool topBars = bars(box->top, h - box->top - box->height, h);
    f.contentShare = (sideBars ? static_cast<double>(box->width) / w : 1.0) *
                     (topBars ? static_cast<double>(box->height) / h : 1.0);
  }
  if (auto px = imaging::rgbPixels(image)) {
    std::size_t coloured = 0;
    for (std::size_t k = 0; k + 2 < px->rgb.size(); k += 3) {
      const auto [lo, hi] = std::minmax({px->rgb[k], px->rgb[k + 1], px->rgb[k + 2]});
      coloured += hi - lo > kColourSpread;
    }
    f.colour = static_cast<double>(coloured) > kColourShare * (px->rgb.size() / 3);
  }
  return f;
}

bool isRawFile(const std::string& path) {
  static const char* const kRaw[] = {"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "orf",
                                     "rw2", "raf", "pef", "srw", "x3f", "3fr", "erf", "kdc", "mrw", "iiq"};
  const std::string ext = extensionOf(path);
  return std::any_of(std::begin(kRaw), std::end(kRaw), [&](const char* r) { return ext == r; });
}

KeeperKey keeperKey(const Photo& p) {
  const int rank = formatRank(p);
  const bool captured = hasCaptureDate(p);
  // Larger is better for everything in the key. The file's size comes after
  // the dates: an edited copy saved at a higher quality than its original is
  // the larger file, but it is the newer one.
  return {contentStep(p), p.facts ? p.facts->colour : true, !hasBorders(p), rank, captured,
          captured ? -p.created : 0, -p.mod, p.bytes, -static_cast<std::int64_t>(p.path.size())};
}

bool keeperBefore(const Photo& a, const Photo& b) {
  const KeeperKey ka = keeperKey(a), kb = keeperKey(b);
  if (ka != kb) return ka > kb;
  return a.path < b.path;
}

}  // namespace photodupes
