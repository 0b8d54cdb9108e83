// A second source of near-duplicate candidates, for the copies whose scan
// hash moved too far from the original's: padded ones (a border, bars to
// another aspect ratio, a screenshot of the photo), heavily cropped ones and
// ones cropped off a corner.
//
// From each photo's stored thumbnail photodupes computes a few more
// difference hashes (the same dhash as the scan's): one of the thumbnail
// with its flat borders trimmed (only when there were any), one of each of
// a few centred crops of it (kCropShares), and one of each corner crop
// (kCornerShares). A padded copy's trimmed hash then lies near its
// original's scan hash, and an original's crop hash near the scan hash of
// a copy cropped that much (off every side, or off two sides at a corner).
//
// So an extra hash only ever needs to meet another photo's scan hash:
// candidate pairs are the pairs of photos where an extra hash of one lies
// within kExtraRadius bits of the other's scan hash, or a corner hash
// within kCornerRadius. Each kind is one lookup of the scan hashes in a
// multi-index hash of the extra (or corner) hashes, never a join of all
// hashes with each other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "imaging/imaging.h"
#include "photodupes/catalog.h"

namespace photodupes {

// The crops hashed, as shares of the thumbnail's width and height kept and
// where the crop sits (0: left/top, 0.5: centred, 1: right/bottom).
struct CropShare {
  double keep;
  double x, y;
};
inline constexpr CropShare kCropShares[] = {{0.8, 0.5, 0.5}};
// 90% and 85% kept at each corner: a copy cut 10% or 15% off two sides
// that meet (neither crop catches the other's copies; see the README).
inline constexpr CropShare kCornerShares[] = {{0.9, 0, 0},  {0.9, 1, 0},  {0.9, 0, 1},  {0.9, 1, 1},
                                              {0.85, 0, 0}, {0.85, 1, 0}, {0.85, 0, 1}, {0.85, 1, 1}};

// The Hamming radii of the extra and the corner hashes' candidates. Chosen
// from bench/photodupes_recall (the README has the recall and the false
// candidates at each radius); the corner hashes, four a photo, use a
// smaller radius, which they need for their recall and which keeps their
// lookup cheap.
inline constexpr int kExtraRadius = 8;
inline constexpr int kCornerRadius = 7;

// The box of a thumbnail without its flat borders (padding, letterbox
// bars); nothing when it has none worth trimming.
std::optional<imaging::Box> flatBordersTrimmed(const imaging::Image& image);

// The hashes of a stored thumbnail (base64 JPEG) with its flat borders
// trimmed (nothing when it has none) and of each of `crops`, one per crop
// in order; all empty when there is no thumbnail or it does not decode.
struct ThumbHashes {
  std::optional<std::uint64_t> trimmed;
  std::vector<std::uint64_t> crops;
};
ThumbHashes thumbHashes(const std::string& base64Jpeg, std::span<const CropShare> crops);

// Sets the photo's thumbnail facts (keeper.h), its extra hashes (the trimmed hash first when the thumbnail
// has flat borders, then one per kCropShares) and corner hashes (one per
// kCornerShares) from a stored thumbnail (base64 JPEG): both empty when
// there is no thumbnail or it does not decode.
void setThumbHashes(Photo& photo, const std::string& base64Jpeg);

// The smallest distance between an extra hash of either photo and the
// other's scan hash, and the same for the corner hashes (65: none).
struct ExtraDistances {
  int extra = 65;
  int corner = 65;
};
ExtraDistances extraDistances(const Photo& a, const Photo& b);

// Pairs (a < b) of indexes into `photos` with an extra hash of one within
// `radius` bits of the other's scan hash, or a corner hash within
// `cornerRadius`. Photos without extra hashes take part with their scan
// hash alone.
std::vector<std::pair<std::uint32_t, std::uint32_t>> extraCandidatePairs(std::span<const Photo* const> photos,
                                                                         int radius = kExtraRadius,
                                                                         int cornerRadius = kCornerRadius);

// Computes the extra and corner hashes and thumbnail facts of the photos
// that lack them (an older catalog, or a scan cut short) or whose corner
// hashes are of another set of corner crops than kCornerShares (an older
// photodupes: told by their count), from their thumbnails in the catalog:
// stored where the catalog can take them (Catalog::canStore), else kept in
// `photos` only.
void completeThumbHashes(Catalog& catalog, std::vector<Photo>& photos);

}  // namespace photodupes
