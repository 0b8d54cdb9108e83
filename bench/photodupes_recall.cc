// How well photodupes' two sources of near-duplicate candidates catch
// edited copies of real photos, per kind of edit, and how many false
// candidates unrelated photos give: the measurement behind the default
// radius of the scan hashes (kDefaultRadius), the radii and the crops of
// the extra and corner hashes (kExtraRadius, kCropShares, kCornerRadius,
// kCornerShares) and the print threshold (kNearPrintThreshold).
//
// Every photo of the corpus of 512 pixels or more (cameras/, heif/, one of
// each orientation set) is edited with libvips: resized, re-encoded,
// brightened, turned grey, cropped (centred, and off a corner by 10% and
// 15%), captioned, padded, letterboxed. Each copy is
// fingerprinted as a scan does it (difference hash of the 256-pixel
// thumbnail of the encoded bytes, the thumbnail stored as JPEG, feature
// print of the bytes) and gets its extra and corner hashes from that
// stored thumbnail as photodupes computes them. Printed:
//  - the scan hashes: Hamming distances of each copy to its original and
//    the recall at each radius (the first source);
//  - the extra hashes, then the corner hashes: the smallest distance
//    between such a hash of either photo and the other's scan hash, and
//    the recall at each radius (the second source); then both sources at
//    their defaults, and the share the feature print confirms;
//  - false candidates: among the originals and copies of different photos,
//    the share of pairs that each source makes candidates, as false
//    candidate pairs in a library of 1,000 unrelated photos, and the
//    expected number among 100,000 photos with uniformly random hashes.
// With --explore, also the recall and false candidates that the trimmed
// hash alone, or one crop's hash alone, of a wider set of crops would give
// against the other photo's scan hash, at a few radii.
//
//   build/bench/photodupes_recall [--explore]
#include <algorithm>
#include <bit>
#include <time.h>

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
#include "featureprint/feature_print.h"
#include "testsupport/photo_edits.h"

namespace {

namespace fs = std::filesystem;

constexpr double kThumbQuality = 0.7;  // the quality of the thumbnails a scan stores

// The crops --explore compares: kept share by where the crop sits.
const photodupes::CropShare kWideCrops[] = {
    {0.9, 0.5, 0.5}, {0.85, 0.5, 0.5}, {0.8, 0.5, 0.5}, {0.75, 0.5, 0.5}, {0.9, 0, 0},  {0.85, 0, 0},
    {0.8, 0, 0},     {0.9, 1, 1},      {0.9, 1, 0},     {0.9, 0, 1},      {0.92, 0, 0}, {0.88, 0, 0},
    {0.87, 0, 0},    {0.86, 0, 0},     {0.84, 0, 0},    {0.85, 1, 1},
};

struct Item {
  int source = 0;                // index of the original photo
  std::string edit;              // empty for the original
  photodupes::Photo photo;       // the scan hash, the extra and corner hashes as photodupes computes them
  photodupes::ThumbHashes wide;  // for --explore
  featureprint::FeaturePrint print;
};

// Time spent computing extra and corner hashes, and how many thumbnails.
// Processor time (the machine may be shared): all of them as photodupes
// computes them, and the trimmed and centred-crop hashes alone.
double extraSeconds = 0, withoutCornersSeconds = 0;
std::size_t extraThumbs = 0;

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

std::optional<Item> fingerprint(const std::vector<std::uint8_t>& bytes, bool explore) {
  auto thumb = imaging::thumbFrom(bytes);
  if (!thumb) return std::nullopt;
  auto hash = imaging::dhash(thumb->image);
  auto stored = imaging::jpegBase64(thumb->image, kThumbQuality);
  auto print = featureprint::defaultFeaturePrinter().printFrom(bytes);
  if (!hash || !stored || !print) return std::nullopt;
  Item item;
  item.photo.dhash = *hash;
  double start = cpuSeconds();
  photodupes::setThumbHashes(item.photo, *stored);
  extraSeconds += cpuSeconds() - start;
  start = cpuSeconds();
  photodupes::thumbHashes(*stored, photodupes::kCropShares);
  withoutCornersSeconds += cpuSeconds() - start;
  ++extraThumbs;
  if (explore) item.wide = photodupes::thumbHashes(*stored, kWideCrops);
  item.print = *print;
  return item;
}

int bits(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }
int scanBits(const Item& a, const Item& b) { return bits(*a.photo.dhash, *b.photo.dhash); }

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

  const int oldRadius = photodupes::kDefaultRadius, newRadius = photodupes::kExtraRadius,
            cornerRadius = photodupes::kCornerRadius;
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
  std::size_t extraCount = 0, cornerCount = 0;
  for (const Item& it : items) extraCount += it.photo.extraHashes->size(), cornerCount += it.photo.cornerHashes->size();
  const double perPhoto = static_cast<double>(extraCount) / items.size();
  const double cornersPerPhoto = static_cast<double>(cornerCount) / items.size();
  std::printf(
      "%zu photos, %zu copies; defaults: scan-hash radius %d, extra-hash radius %d (%.2f extra hashes a photo), "
      "corner-hash radius %d (%.2f a photo), print threshold %.2f\n",
      originalOf.size(), items.size() - originalOf.size(), oldRadius, newRadius, perPhoto, cornerRadius,
      cornersPerPhoto, threshold);
  std::printf(
      "extra and corner hashes of a stored thumbnail: %.2f ms each (processor time, %zu thumbnails; without the "
      "corner hashes %.2f ms)\n\n",
      extraSeconds * 1000 / extraThumbs, extraThumbs, withoutCornersSeconds * 1000 / extraThumbs);

  // The columns: the scan hashes' distance and recall at each radius (the
  // first source), then the extra hashes' and the corner hashes' (the
  // second source: the smallest distance of either photo's extra, or
  // corner, hashes to the other's scan hash).
  const std::vector<int> oldRadii = {8, 10, 11, 12, 14, 16, 20, 26}, newRadii = {4, 6, 7, 8, 9, 10},
                         cornerRadii = {5, 6, 7, 8};
  auto header = [](const std::vector<int>& radii, const char* title) {
    std::printf(" %-*s|", static_cast<int>(radii.size() * 7 + 10), title);
  };
  std::printf("%-26s |", "edit");
  header(oldRadii, "scan hashes: bits min med max, recall");
  header(newRadii, "extra hashes: bits min med, recall");
  header(cornerRadii, "corner hashes: bits, recall");
  std::printf(" all   | print max  confirmed\n%-26s |", "");
  auto radiiRow = [](const std::vector<int>& radii, bool max) {
    std::printf(max ? "  min  med  max" : "  min  med     ");
    for (int r : radii) std::printf(" r<=%-3d", r);
    std::printf(" |");
  };
  radiiRow(oldRadii, true);
  radiiRow(newRadii, false);
  radiiRow(cornerRadii, false);
  std::printf(" %d+%d+%d |\n", oldRadius, newRadius, cornerRadius);
  auto candidate = [&](const Item& a, const Item& b) {
    const auto d = photodupes::extraDistances(a.photo, b.photo);
    return scanBits(a, b) <= oldRadius || d.extra <= newRadius || d.corner <= cornerRadius;
  };
  auto recallRow = [](std::vector<int> v, const std::vector<int>& radii, bool max) {
    std::sort(v.begin(), v.end());
    std::printf(" %4d %4d ", v.front(), v[v.size() / 2]);
    if (max)
      std::printf("%4d", v.back());
    else
      std::printf("    ");
    for (int r : radii)
      std::printf(" %5.0f%%", percent(std::count_if(v.begin(), v.end(), [&](int b) { return b <= r; }), v.size()));
    std::printf(" |");
  };
  for (const std::string& edit : edits) {
    std::vector<int> oldBits, newBits, cornerBits;
    std::size_t both = 0, confirmed = 0;
    float printMax = 0;
    for (const Item& it : items) {
      if (it.edit != edit) continue;
      const Item& orig = items[originalOf[it.source]];
      const auto d = photodupes::extraDistances(orig.photo, it.photo);
      oldBits.push_back(scanBits(orig, it));
      newBits.push_back(d.extra);
      cornerBits.push_back(d.corner);
      const float print = featureprint::defaultFeaturePrinter().distance(orig.print, it.print).value_or(99.f);
      printMax = std::max(printMax, print);
      both += candidate(orig, it);
      confirmed += candidate(orig, it) && print < threshold;
    }
    if (oldBits.empty()) continue;
    std::printf("%-26s |", edit.c_str());
    recallRow(oldBits, oldRadii, true);
    recallRow(newBits, newRadii, false);
    recallRow(cornerBits, cornerRadii, false);
    std::printf(" %4.0f%% | %9.3f  %5.0f%%\n", percent(both, oldBits.size()), printMax,
                percent(confirmed, oldBits.size()));
  }

  // False candidates: pairs of items made from different photos.
  std::size_t pairs = 0, oldWithin = 0, allWithin = 0;
  std::vector<std::size_t> newWithin(newRadii.size()), cornerWithin(cornerRadii.size());
  float diffPrintMin = 99;
  for (std::size_t i = 0; i < items.size(); ++i)
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (items[i].source == items[j].source) continue;
      ++pairs;
      const auto d = photodupes::extraDistances(items[i].photo, items[j].photo);
      oldWithin += scanBits(items[i], items[j]) <= oldRadius;
      allWithin += candidate(items[i], items[j]);
      for (std::size_t k = 0; k < newRadii.size(); ++k) newWithin[k] += d.extra <= newRadii[k];
      for (std::size_t k = 0; k < cornerRadii.size(); ++k) cornerWithin[k] += d.corner <= cornerRadii[k];
      if (items[i].edit.empty() && items[j].edit.empty())
        diffPrintMin =
            std::min(diffPrintMin,
                     featureprint::defaultFeaturePrinter().distance(items[i].print, items[j].print).value_or(99.f));
    }
  const double libraryPairs = 1000.0 * 999 / 2;
  std::printf("\nfalse candidates among %zu pairs of different photos (originals and copies), per 1,000 photos:\n",
              pairs);
  std::printf("  scan hashes at r<=%d:  %.1f%% of pairs, %.0f per 1,000 photos\n", oldRadius, percent(oldWithin, pairs),
              percent(oldWithin, pairs) / 100 * libraryPairs);
  for (std::size_t k = 0; k < newRadii.size(); ++k)
    std::printf("  extra hashes at r<=%d: %.2f%% of pairs, %.0f per 1,000 photos\n", newRadii[k],
                percent(newWithin[k], pairs), percent(newWithin[k], pairs) / 100 * libraryPairs);
  for (std::size_t k = 0; k < cornerRadii.size(); ++k)
    std::printf("  corner hashes at r<=%d: %.2f%% of pairs, %.0f per 1,000 photos\n", cornerRadii[k],
                percent(cornerWithin[k], pairs), percent(cornerWithin[k], pairs) / 100 * libraryPairs);
  std::printf("  all at their defaults: %.2f%% of pairs, %.0f per 1,000 photos\n", percent(allWithin, pairs),
              percent(allWithin, pairs) / 100 * libraryPairs);
  std::printf("  smallest print distance between different photos: %.3f\n", diffPrintMin);
  // Uniformly random hashes: each extra (corner) hash against every other
  // photo's scan hash.
  const double n = 1e5;
  std::printf("expected false candidate pairs among 100,000 photos with random hashes:\n  scan hashes:");
  for (int r : oldRadii) std::printf(" r<=%d %.0e;", r, randomWithin(r) * n * (n - 1) / 2);
  std::printf("\n  extra hashes (%.2f a photo):", perPhoto);
  for (int r : newRadii) std::printf(" r<=%d %.0e;", r, randomWithin(r) * perPhoto * n * (n - 1));
  std::printf("\n  corner hashes (%.2f a photo):", cornersPerPhoto);
  for (int r : cornerRadii) std::printf(" r<=%d %.0e;", r, randomWithin(r) * cornersPerPhoto * n * (n - 1));
  std::printf("\n");

  if (explore) {
    const int crops = static_cast<int>(std::size(kWideCrops));
    // One hash kind alone (the trimmed hash, or one crop), against the other photo's scan hash only.
    auto kindHashes = [](const Item& item, int k) {
      std::vector<std::uint64_t> out;
      if (k < 0 && item.wide.trimmed) out.push_back(*item.wide.trimmed);
      if (k >= 0 && k < static_cast<int>(item.wide.crops.size())) out.push_back(item.wide.crops[k]);
      return out;
    };
    auto kindDistance = [&](const Item& a, const Item& b, int k) {
      int best = 65;
      for (std::uint64_t x : kindHashes(a, k)) best = std::min(best, bits(x, *b.photo.dhash));
      for (std::uint64_t y : kindHashes(b, k)) best = std::min(best, bits(*a.photo.dhash, y));
      return best;
    };
    for (int r : {6, 7, 8}) {
      std::printf("\n--explore: one extra hash against the other photo's scan hash, recall at r<=%d\n%-26s", r, "edit");
      for (int k = -1; k < crops; ++k) {
        if (k < 0) {
          std::printf("   trim   ");
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
            ++n;
            hit += kindDistance(items[originalOf[it.source]], it, k) <= r;
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
            if (items[i].source != items[j].source) within += kindDistance(items[i], items[j], k) <= r;
        std::printf(" %7.1f  ", percent(within, pairs) / 100 * libraryPairs);
      }
      std::printf("\n");
    }
  }
  return 0;
}
