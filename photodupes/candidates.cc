#include "photodupes/candidates.h"

#include <algorithm>
#include <cmath>

#include "imaging/imaging.h"
#include "photodupes/grouping.h"

namespace photodupes {
namespace {

// Levels (of 255) a border pixel may differ from the corner's colour and
// still count as flat: above JPEG noise at the thumbnails' quality.
constexpr double kTrimThreshold = 24;
// A trim must take at least this share of the width or height (less is an
// edge artefact, and its hash would only repeat the scan's) and leave at
// least a quarter of each (less is a flat photo, a page, a sky).
constexpr double kMinTrimmed = 0.03;
constexpr double kMinKept = 0.25;

}  // namespace

ThumbHashes thumbHashes(const std::string& base64Jpeg, std::span<const CropShare> crops) {
  ThumbHashes out;
  auto bytes = base64Jpeg.empty() ? std::nullopt : imaging::fromBase64(base64Jpeg);
  auto thumb = bytes ? imaging::thumbFrom(*bytes) : std::nullopt;
  if (!thumb) return out;
  const imaging::Image& image = thumb->image;
  const int w = image.width(), h = image.height();
  auto hashOf = [&](imaging::Box box) -> std::optional<std::uint64_t> {
    auto part = imaging::cropped(image, box);
    return part ? imaging::dhash(*part) : std::nullopt;
  };
  if (auto box = imaging::contentBox(image, kTrimThreshold)) {
    const bool trimmed = box->width <= w * (1 - kMinTrimmed) || box->height <= h * (1 - kMinTrimmed);
    if (trimmed && box->width >= w * kMinKept && box->height >= h * kMinKept) out.trimmed = hashOf(*box);
  }
  for (const CropShare& c : crops) {
    imaging::Box box;
    box.width = std::max(1, static_cast<int>(std::lround(w * c.keep)));
    box.height = std::max(1, static_cast<int>(std::lround(h * c.keep)));
    box.left = static_cast<int>(std::lround((w - box.width) * c.x));
    box.top = static_cast<int>(std::lround((h - box.height) * c.y));
    if (auto hash = hashOf(box)) out.crops.push_back(*hash);
  }
  return out;
}

std::vector<std::uint64_t> extraHashesOfThumb(const std::string& base64Jpeg) {
  ThumbHashes t = thumbHashes(base64Jpeg, kCropShares);
  if (t.trimmed) t.crops.insert(t.crops.begin(), *t.trimmed);
  return t.crops;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> extraCandidatePairs(std::span<const Photo* const> photos,
                                                                         int radius) {
  // Every hash with the photo it belongs to; the scan's hash is marked, so
  // that pairs of two scan hashes are left to the first source and its own
  // radius.
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint32_t> owner;
  std::vector<bool> scanHash;
  for (std::uint32_t k = 0; k < photos.size(); ++k) {
    const Photo& p = *photos[k];
    if (!p.dhash) continue;
    hashes.push_back(*p.dhash), owner.push_back(k), scanHash.push_back(true);
    if (p.extraHashes)
      for (std::uint64_t h : *p.extraHashes) hashes.push_back(h), owner.push_back(k), scanHash.push_back(false);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (auto [i, j] : nearPairs(hashes, radius)) {
    if (owner[i] == owner[j] || (scanHash[i] && scanHash[j])) continue;
    pairs.emplace_back(std::min(owner[i], owner[j]), std::max(owner[i], owner[j]));
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

void completeExtraHashes(Catalog& catalog, std::vector<Photo>& photos) {
  constexpr int kPerTransaction = 64;
  int pending = 0;
  for (Photo& p : photos) {
    if (p.extraHashes || !p.usable()) continue;
    const auto stored = catalog.photo(p.id, true);
    p.extraHashes = extraHashesOfThumb(stored ? stored->thumb : std::string());
    if (!catalog.writable()) continue;
    if (pending == 0) catalog.begin();
    catalog.setExtraHashes(p.id, *p.extraHashes);
    if (++pending == kPerTransaction) catalog.commit(), pending = 0;
  }
  if (pending) catalog.commit();
}

}  // namespace photodupes
