#include "photodupes/candidates.h"

#include <algorithm>
#include <array>
#include <bit>
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

// Whether the photo's extra and corner hashes are known and are those of
// today's crops. A photo has a corner hash for each of kCornerShares, or
// none when its thumbnail gave none; any other count is a set of other
// corner crops, stored by an older photodupes.
bool thumbHashesCurrent(const Photo& p) {
  return p.extraHashes && p.cornerHashes &&
         (p.cornerHashes->empty() || p.cornerHashes->size() == std::size(kCornerShares));
}

}  // namespace

std::optional<imaging::Box> flatBordersTrimmed(const imaging::Image& image) {
  const int w = image.width(), h = image.height();
  auto box = imaging::contentBox(image, kTrimThreshold);
  if (!box) return std::nullopt;
  const bool trimmed = box->width <= w * (1 - kMinTrimmed) || box->height <= h * (1 - kMinTrimmed);
  if (trimmed && box->width >= w * kMinKept && box->height >= h * kMinKept) return box;
  return std::nullopt;
}

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
  if (auto box = flatBordersTrimmed(image)) out.trimmed = hashOf(*box);
  for (const CropShare& c : crops) {
    imaging::Box box;
    box.width = std::max(1, static_cast<int>(std::lround(w * c.keep)));
    box.height = std::max(1, static_cast<int>(std::lround(h * c.keep)));
    box.left = static_cast<int>(std::lround((w - box.width) * c.x));
    box.top = static_cast<int>(std::lround((h - box.height) * c.y));
    auto hash = hashOf(box);
    if (!hash) return {};  // all or none, so that each hash's crop is known by its place
    out.crops.push_back(*hash);
  }
  return out;
}

void setThumbHashes(Photo& photo, const std::string& base64Jpeg) {
  constexpr std::size_t kCrops = std::size(kCropShares), kCorners = std::size(kCornerShares);
  std::array<CropShare, kCrops + kCorners> all;
  std::copy(std::begin(kCropShares), std::end(kCropShares), all.begin());
  std::copy(std::begin(kCornerShares), std::end(kCornerShares), all.begin() + kCrops);
  ThumbHashes t = thumbHashes(base64Jpeg, all);
  photo.facts = thumbFacts(base64Jpeg);
  photo.extraHashes.emplace();
  photo.cornerHashes.emplace();
  if (t.crops.size() != all.size()) return;
  if (t.trimmed) photo.extraHashes->push_back(*t.trimmed);
  photo.extraHashes->insert(photo.extraHashes->end(), t.crops.begin(), t.crops.begin() + kCrops);
  photo.cornerHashes->assign(t.crops.begin() + kCrops, t.crops.end());
}

ExtraDistances extraDistances(const Photo& a, const Photo& b) {
  ExtraDistances d;
  auto against = [](const std::optional<std::vector<std::uint64_t>>& hashes, const std::optional<std::uint64_t>& scan,
                    int& best) {
    if (!hashes || !scan) return;
    for (std::uint64_t h : *hashes) best = std::min(best, std::popcount(h ^ *scan));
  };
  against(a.extraHashes, b.dhash, d.extra);
  against(b.extraHashes, a.dhash, d.extra);
  against(a.cornerHashes, b.dhash, d.corner);
  against(b.cornerHashes, a.dhash, d.corner);
  return d;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> extraCandidatePairs(std::span<const Photo* const> photos,
                                                                         int radius, int cornerRadius) {
  // The scan hashes are looked up among the extra hashes, then among the
  // corner hashes: each hash with the photo it belongs to.
  std::vector<std::uint64_t> scans, extras, corners;
  std::vector<std::uint32_t> scanOwner, extraOwner, cornerOwner;
  for (std::uint32_t k = 0; k < photos.size(); ++k) {
    const Photo& p = *photos[k];
    if (!p.dhash) continue;
    scans.push_back(*p.dhash), scanOwner.push_back(k);
    if (p.extraHashes)
      for (std::uint64_t h : *p.extraHashes) extras.push_back(h), extraOwner.push_back(k);
    if (p.cornerHashes)
      for (std::uint64_t h : *p.cornerHashes) corners.push_back(h), cornerOwner.push_back(k);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  auto add = [&](const std::vector<std::uint64_t>& indexed, const std::vector<std::uint32_t>& owner, int r) {
    for (auto [i, j] : nearPairsBetween(indexed, scans, r)) {
      const std::uint32_t a = owner[i], b = scanOwner[j];
      if (a != b) pairs.emplace_back(std::min(a, b), std::max(a, b));
    }
  };
  add(extras, extraOwner, radius);
  add(corners, cornerOwner, cornerRadius);
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

void completeThumbHashes(Catalog& catalog, std::vector<Photo>& photos) {
  constexpr int kPerTransaction = 64;
  int pending = 0;
  for (Photo& p : photos) {
    const bool hashesCurrent = thumbHashesCurrent(p);
    if ((hashesCurrent && p.facts) || !p.usable()) continue;
    const auto stored = catalog.photo(p.id, true);
    const std::string thumb = stored ? stored->thumb : std::string();
    if (hashesCurrent)
      p.facts = thumbFacts(thumb);  // an older catalog's photo: only the facts are new
    else
      setThumbHashes(p, thumb);
    if (!catalog.writable() && !catalog.canStore()) continue;
    if (pending == 0) catalog.begin();
    catalog.updateThumbHashes(p);
    if (++pending == kPerTransaction) catalog.commit(), pending = 0;
  }
  if (pending) catalog.commit();
}

}  // namespace photodupes
