// How well photodupes' two sources of near-duplicate candidates catch
// edited copies of real photos, per kind of edit, and how many false
// candidates unrelated photos give: the measurement behind the default
// radius of the scan hashes (kDefaultRadius), the radius and the crops of
// the extra hashes (kExtraRadius, kCropShares) and the print threshold
// (kNearPrintThreshold).
//
// Every photo of the corpus of 512 pixels or more (cameras/, heif/, one of
// each orientation set) is edited with libvips: resized, re-encoded,
// brightened, cropped, captioned, padded, letterboxed. Each copy is
// fingerprinted as a scan does it (difference hash of the 256-pixel
// thumbnail of the encoded bytes, the thumbnail stored as JPEG, feature
// print of the bytes) and gets its extra hashes from that stored thumbnail
// as photodupes computes them. Printed:
//  - the scan hashes: Hamming distances of each copy to its original and
//    the recall at each radius (the first source);
//  - the extra hashes: the smallest distance between any hash of the copy
//    and any of the original (not both scan hashes) and the recall at each
//    radius (the second source), then both sources at their defaults, and
//    the share the feature print confirms;
//  - false candidates: among the originals and copies of different photos,
//    the share of pairs that each source makes candidates, as false
//    candidate pairs in a library of 1,000 unrelated photos, and the
//    expected number among 100,000 photos with uniformly random hashes.
// With --explore, also the recall and false candidates the second source
// would have with each of a wider set of crops.
//
//   build/bench/photodupes_recall [--explore]
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "photodupes/candidates.h"
#include "photodupes/grouping.h"
#include "platform/feature_print.h"
#include "testsupport/photo_edits.h"

namespace {

namespace fs = std::filesystem;

constexpr double kThumbQuality = 0.7;  // the quality of the thumbnails a scan stores

// The crops --explore compares: kept share by where the crop sits.
const photodupes::CropShare kWideCrops[] = {
    {0.9, 0.5, 0.5}, {0.85, 0.5, 0.5}, {0.8, 0.5, 0.5}, {0.75, 0.5, 0.5}, {0.9, 0, 0},
    {0.85, 0, 0},    {0.8, 0, 0},      {0.9, 1, 1},     {0.85, 1, 1},     {0.8, 1, 1},
};

struct Item {
  int source = 0;    // index of the original photo
  std::string edit;  // empty for the original
  std::uint64_t hash = 0;
  std::vector<std::uint64_t> extra;  // as photodupes computes them
  photodupes::ThumbHashes wide;      // for --explore
  platform::FeaturePrint print;
};

// Time spent computing extra hashes, and how many thumbnails.
double extraSeconds = 0;
std::size_t extraThumbs = 0;

std::optional<Item> fingerprint(const std::vector<std::uint8_t>& bytes, bool explore) {
  auto thumb = imaging::thumbFrom(bytes);
  if (!thumb) return std::nullopt;
  auto hash = imaging::dhash(thumb->image);
  auto stored = imaging::jpegBase64(thumb->image, kThumbQuality);
  auto print = platform::defaultFeaturePrinter().printFrom(bytes);
  if (!hash || !stored || !print) return std::nullopt;
  Item item;
  item.hash = *hash;
  const auto start = std::chrono::steady_clock::now();
  item.extra = photodupes::extraHashesOfThumb(*stored);
  extraSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ++extraThumbs;
  if (explore) item.wide = photodupes::thumbHashes(*stored, kWideCrops);
  item.print = *print;
  return item;
}

int bits(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

// The smallest distance between any two hashes of `a` and `b` other than
// their two scan hashes.
int extraDistance(std::uint64_t ha, const std::vector<std::uint64_t>& xa, std::uint64_t hb,
                  const std::vector<std::uint64_t>& xb) {
  int best = 65;
  for (std::uint64_t x : xa) {
    best = std::min(best, bits(x, hb));
    for (std::uint64_t y : xb) best = std::min(best, bits(x, y));
  }
  for (std::uint64_t y : xb) best = std::min(best, bits(ha, y));
  return best;
}

// An item's extra hashes in --explore: the trimmed one and crop `k` (-1: none).
std::vector<std::uint64_t> wideHashes(const Item& item, int k) {
  std::vector<std::uint64_t> out;
  if (item.wide.trimmed) out.push_back(*item.wide.trimmed);
  if (k >= 0 && k < static_cast<int>(item.wide.crops.size())) out.push_back(item.wide.crops[k]);
  return out;
}

// P(d <= r) for the distance of two uniformly random 64-bit hashes.
double randomWithin(int r) {
  double p = 0, c = 1;  // c = C(64, k)
  for (int k = 0; k <= r; ++k) {
    p += c;
    c = c * (64 - k) / (k + 1);
  }
  return p / std::pow(2.0, 64);
}

double percent(std::size_t part, std::size_t whole) { return whole ? part * 100.0 / whole : 0; }

}  // namespace

int main(int argc, char** argv) {
  const bool explore = argc > 1 && std::strcmp(argv[1], "--explore") == 0;
  imaging::initImaging();
  const std::string corpus = CORPUS_DIR;
  std::vector<std::string> files;
  for (const char* dir : {"cameras", "heif"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(corpus + "/" + dir, ec)) files.push_back(e.path().string());
  }
  files.push_back(corpus + "/orientation/Landscape_1.jpg");
  files.push_back(corpus + "/orientation/Portrait_1.jpg");
  std::sort(files.begin(), files.end());

  const int oldRadius = photodupes::kDefaultRadius, newRadius = photodupes::kExtraRadius;
  const float threshold = photodupes::kNearPrintThreshold;
  std::vector<Item> items;
  std::vector<std::size_t> originalOf;  // item index of each source's original
  std::vector<std::string> edits;
  for (testsupport::PhotoEdit edit : testsupport::kAllPhotoEdits) edits.push_back(testsupport::photoEditName(edit));
  for (const std::string& f : files) {
    auto bytes = imaging::readRegularFile(f);
    if (!bytes) continue;
    // Photos at least 512 pixels on their longer side: the many 100-pixel
    // samples of the corpus are smaller than a scan's thumbnail.
    auto stored = imaging::thumbFrom(*bytes);
    if (!stored || std::max(stored->width, stored->height) < 512) continue;
    auto orig = fingerprint(*bytes, explore);
    if (!orig) continue;
    const int source = static_cast<int>(originalOf.size());
    orig->source = source;
    originalOf.push_back(items.size());
    items.push_back(std::move(*orig));
    for (testsupport::PhotoEdit edit : testsupport::kAllPhotoEdits) {
      const std::string name = testsupport::photoEditName(edit);
      auto edited = testsupport::editPhoto(*bytes, edit);
      auto fp = edited ? fingerprint(*edited, explore) : std::nullopt;
      if (!fp) {
        std::fprintf(stderr, "edit %s of %s failed\n", name.c_str(), f.c_str());
        continue;
      }
      fp->source = source;
      fp->edit = name;
      items.push_back(std::move(*fp));
    }
  }
  if (originalOf.empty()) {
    std::printf("no corpus photos in %s\n", corpus.c_str());
    return 1;
  }
  std::size_t extraCount = 0;
  for (const Item& it : items) extraCount += it.extra.size();
  const double perPhoto = static_cast<double>(extraCount) / items.size();
  std::printf(
      "%zu photos, %zu copies; defaults: scan-hash radius %d, extra-hash radius %d (%.2f extra hashes a photo), "
      "print threshold %.2f\n",
      originalOf.size(), items.size() - originalOf.size(), oldRadius, newRadius, perPhoto, threshold);
  std::printf("extra hashes of a stored thumbnail: %.2f ms each (wall clock, %zu thumbnails)\n\n",
              extraSeconds * 1000 / extraThumbs, extraThumbs);

  const std::vector<int> oldRadii = {8, 10, 11, 12, 14, 16, 20, 26}, newRadii = {4, 6, 7, 8, 9, 10};
  std::printf(
      "%-26s | scan hash bits  | recall of the scan hashes at radius %*s| extra bits | recall of the extra "
      "hashes %*s| both  | print max  confirmed\n",
      "edit", static_cast<int>(oldRadii.size() * 7 - 36), "", static_cast<int>(newRadii.size() * 7 - 26), "");
  std::printf("%-26s |  min  med  max  |", "");
  for (int r : oldRadii) std::printf(" r<=%-3d", r);
  std::printf("|  min  med |");
  for (int r : newRadii) std::printf(" r<=%-3d", r);
  std::printf("| %2d+%-2d |\n", oldRadius, newRadius);
  for (const std::string& edit : edits) {
    std::vector<int> oldBits, newBits;
    std::size_t both = 0, confirmed = 0;
    float printMax = 0;
    for (const Item& it : items) {
      if (it.edit != edit) continue;
      const Item& orig = items[originalOf[it.source]];
      const int ob = bits(orig.hash, it.hash), nb = extraDistance(orig.hash, orig.extra, it.hash, it.extra);
      oldBits.push_back(ob);
      newBits.push_back(nb);
      const bool candidate = ob <= oldRadius || nb <= newRadius;
      const float d = platform::defaultFeaturePrinter().distance(orig.print, it.print).value_or(99.f);
      printMax = std::max(printMax, d);
      both += candidate;
      confirmed += candidate && d < threshold;
    }
    if (oldBits.empty()) continue;
    auto sorted = [](std::vector<int> v) {
      std::sort(v.begin(), v.end());
      return v;
    };
    const auto so = sorted(oldBits), sn = sorted(newBits);
    std::printf("%-26s | %4d %4d %4d  |", edit.c_str(), so.front(), so[so.size() / 2], so.back());
    for (int r : oldRadii)
      std::printf(" %5.0f%%", percent(std::count_if(so.begin(), so.end(), [&](int b) { return b <= r; }), so.size()));
    std::printf("| %4d %4d |", sn.front(), sn[sn.size() / 2]);
    for (int r : newRadii)
      std::printf(" %5.0f%%", percent(std::count_if(sn.begin(), sn.end(), [&](int b) { return b <= r; }), sn.size()));
    std::printf("| %4.0f%% | %9.3f  %5.0f%%\n", percent(both, so.size()), printMax, percent(confirmed, so.size()));
  }

  // False candidates: pairs of items made from different photos.
  std::size_t pairs = 0, oldWithin = 0, bothWithin = 0;
  std::vector<std::size_t> newWithin(newRadii.size());
  float diffPrintMin = 99;
  for (std::size_t i = 0; i < items.size(); ++i)
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (items[i].source == items[j].source) continue;
      ++pairs;
      const int ob = bits(items[i].hash, items[j].hash);
      const int nb = extraDistance(items[i].hash, items[i].extra, items[j].hash, items[j].extra);
      oldWithin += ob <= oldRadius;
      bothWithin += ob <= oldRadius || nb <= newRadius;
      for (std::size_t k = 0; k < newRadii.size(); ++k) newWithin[k] += nb <= newRadii[k];
      if (items[i].edit.empty() && items[j].edit.empty())
        diffPrintMin = std::min(
            diffPrintMin, platform::defaultFeaturePrinter().distance(items[i].print, items[j].print).value_or(99.f));
    }
  const double libraryPairs = 1000.0 * 999 / 2;
  std::printf("\nfalse candidates among %zu pairs of different photos (originals and copies), per 1,000 photos:\n",
              pairs);
  std::printf("  scan hashes at r<=%d:  %.1f%% of pairs, %.0f per 1,000 photos\n", oldRadius, percent(oldWithin, pairs),
              percent(oldWithin, pairs) / 100 * libraryPairs);
  for (std::size_t k = 0; k < newRadii.size(); ++k)
    std::printf("  extra hashes at r<=%d: %.2f%% of pairs, %.0f per 1,000 photos\n", newRadii[k],
                percent(newWithin[k], pairs), percent(newWithin[k], pairs) / 100 * libraryPairs);
  std::printf("  both at their defaults: %.2f%% of pairs, %.0f per 1,000 photos\n", percent(bothWithin, pairs),
              percent(bothWithin, pairs) / 100 * libraryPairs);
  std::printf("  smallest print distance between different photos: %.3f\n", diffPrintMin);
  // Uniformly random hashes: the pairs of hashes other than two scan hashes.
  const double m = 1 + perPhoto, n = 1e5;
  std::printf("expected false candidate pairs among 100,000 photos with random hashes:\n  scan hashes:");
  for (int r : oldRadii) std::printf(" r<=%d %.0e;", r, randomWithin(r) * n * (n - 1) / 2);
  std::printf("\n  extra hashes (%.2f hashes a photo):", m);
  for (int r : newRadii) std::printf(" r<=%d %.0e;", r, randomWithin(r) * (m * m - 1) * n * n / 2);
  std::printf("\n");

  if (explore) {
    const int crops = static_cast<int>(std::size(kWideCrops));
    std::printf("\n--explore: the extra hashes as the trimmed hash plus one crop, recall at r<=%d\n%-26s", newRadius,
                "edit");
    for (int k = -1; k < crops; ++k) {
      if (k < 0) {
        std::printf("   trim");
      } else {
        std::printf(" %.2f@%.0f%.0f", kWideCrops[k].keep, kWideCrops[k].x * 2, kWideCrops[k].y * 2);
      }
    }
    std::printf("\n");
    for (const std::string& edit : edits) {
      std::printf("%-26s", edit.c_str());
      for (int k = -1; k < crops; ++k) {
        std::size_t n = 0, hit = 0;
        for (const Item& it : items) {
          if (it.edit != edit) continue;
          const Item& orig = items[originalOf[it.source]];
          ++n;
          hit += extraDistance(orig.hash, wideHashes(orig, k), it.hash, wideHashes(it, k)) <= newRadius;
        }
        std::printf(" %5.0f%%  ", percent(hit, n));
      }
      std::printf("\n");
    }
    std::printf("%-26s", "false per 1,000 photos");
    for (int k = -1; k < crops; ++k) {
      std::size_t within = 0;
      for (std::size_t i = 0; i < items.size(); ++i)
        for (std::size_t j = i + 1; j < items.size(); ++j)
          if (items[i].source != items[j].source)
            within += extraDistance(items[i].hash, wideHashes(items[i], k), items[j].hash, wideHashes(items[j], k)) <=
                      newRadius;
      std::printf(" %7.0f  ", percent(within, pairs) / 100 * libraryPairs);
    }
    std::printf("\n");
  }
  return 0;
}
