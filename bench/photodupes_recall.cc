// How well difference-hash candidates catch edited copies of real photos,
// per kind of edit and Hamming radius, and what the feature print then
// says about them: the measurement behind photodupes' default radius
// (kDefaultRadius) and print threshold (kNearPrintThreshold).
//
// Every photo of the corpus of 512 pixels or more (cameras/, heif/, one of
// each orientation set)
// is edited with libvips: resized, re-encoded, cropped, captioned, padded,
// brightened. Each copy is fingerprinted as a scan does it (difference hash
// of the 256-pixel thumbnail of the encoded bytes, feature print of the
// bytes). For each edit it prints the Hamming distances to the original and
// the recall at each radius; for pairs of different photos, the share
// within each radius (false candidates) and the expected number of false
// candidate pairs among 100,000 photos with uniformly random hashes.
//
//   build/bench/photodupes_recall
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "photodupes/grouping.h"
#include "platform/feature_print.h"
#include "testsupport/photo_edits.h"

namespace {

namespace fs = std::filesystem;

struct Fingerprint {
  std::uint64_t hash = 0;
  platform::FeaturePrint print;
};

std::optional<Fingerprint> fingerprint(const std::vector<std::uint8_t>& bytes) {
  auto thumb = imaging::thumbFrom(bytes);
  if (!thumb) return std::nullopt;
  auto hash = imaging::dhash(thumb->image);
  auto print = platform::defaultFeaturePrinter().printFrom(bytes);
  if (!hash || !print) return std::nullopt;
  return Fingerprint{*hash, *print};
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

}  // namespace

int main() {
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

  const std::vector<int> radii = {8, 10, 11, 12, 14, 15, 16, 20, 26};
  std::vector<Fingerprint> originals;
  std::map<std::string, std::vector<std::pair<int, float>>> byEdit;  // bits, print distance
  for (const std::string& f : files) {
    auto bytes = imaging::readRegularFile(f);
    if (!bytes) continue;
    // Photos at least 512 pixels on their longer side: the many 100-pixel
    // samples of the corpus are smaller than a scan's thumbnail.
    auto stored = imaging::thumbFrom(*bytes);
    if (!stored || std::max(stored->width, stored->height) < 512) continue;
    auto orig = fingerprint(*bytes);
    if (!orig) continue;
    originals.push_back(*orig);
    for (testsupport::PhotoEdit edit : testsupport::kAllPhotoEdits) {
      const std::string name = testsupport::photoEditName(edit);
      auto edited = testsupport::editPhoto(*bytes, edit);
      auto fp = edited ? fingerprint(*edited) : std::nullopt;
      if (!fp) {
        std::fprintf(stderr, "edit %s of %s failed\n", name.c_str(), f.c_str());
        continue;
      }
      const auto d = platform::defaultFeaturePrinter().distance(orig->print, fp->print);
      byEdit[name].push_back({std::popcount(orig->hash ^ fp->hash), d.value_or(99.f)});
    }
  }
  if (originals.empty()) {
    std::printf("no corpus photos in %s\n", corpus.c_str());
    return 1;
  }
  std::printf("%zu photos; radius %d and print threshold %.2f are photodupes' defaults\n\n", originals.size(),
              photodupes::kDefaultRadius, photodupes::kNearPrintThreshold);
  std::printf("%-26s %5s %5s %5s |", "edit (Hamming bits)", "min", "med", "max");
  for (int r : radii) std::printf(" r<=%-3d", r);
  std::printf(" | print max  confirmed at default\n");
  for (auto& [name, v] : byEdit) {
    std::vector<int> bits;
    float printMax = 0;
    int confirmed = 0;
    for (auto [b, d] : v) {
      bits.push_back(b);
      printMax = std::max(printMax, d);
      confirmed += b <= photodupes::kDefaultRadius && d < photodupes::kNearPrintThreshold;
    }
    std::sort(bits.begin(), bits.end());
    std::printf("%-26s %5d %5d %5d |", name.c_str(), bits.front(), bits[bits.size() / 2], bits.back());
    for (int r : radii) {
      const double recall =
          std::count_if(bits.begin(), bits.end(), [&](int b) { return b <= r; }) * 100.0 / bits.size();
      std::printf(" %5.0f%%", recall);
    }
    std::printf(" | %9.3f  %5.0f%%\n", printMax, confirmed * 100.0 / v.size());
  }
  std::vector<int> diffBits;
  float diffPrintMin = 99;
  for (std::size_t i = 0; i < originals.size(); ++i)
    for (std::size_t j = i + 1; j < originals.size(); ++j) {
      diffBits.push_back(std::popcount(originals[i].hash ^ originals[j].hash));
      diffPrintMin =
          std::min(diffPrintMin,
                   platform::defaultFeaturePrinter().distance(originals[i].print, originals[j].print).value_or(99.f));
    }
  std::printf("%-26s %5s %5s %5s |", "different photos (share)", "", "", "");
  for (int r : radii) {
    const double share =
        std::count_if(diffBits.begin(), diffBits.end(), [&](int b) { return b <= r; }) * 100.0 / diffBits.size();
    std::printf(" %5.1f%%", share);
  }
  std::printf(" | print min %.3f\n", diffPrintMin);
  std::printf("%-26s %17s |", "random pairs in 100k", "");
  for (int r : radii) std::printf(" %6.0e", randomWithin(r) * 1e5 * (1e5 - 1) / 2);
  std::printf("\n");
  return 0;
}
