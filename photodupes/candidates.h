// A second source of near-duplicate candidates, for the copies whose scan
// hash moved too far from the original's: padded ones (a border, bars to
// another aspect ratio, a screenshot of the photo) and heavily cropped ones.
//
// From each photo's stored thumbnail photodupes computes a few more
// difference hashes (the same dhash as the scan's): one of the thumbnail
// with its flat borders trimmed (only when there were any), and one of each
// of a few crops of it (kCropShares). A padded copy's trimmed hash then
// lies near its original's hash, and an original's crop hash near the hash
// of a copy cropped that much. Candidate pairs are the pairs of photos with
// any two of their hashes (the scan's and these) within kExtraRadius bits,
// found by the same multi-index hash as the scan hashes' candidates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "photodupes/catalog.h"

namespace photodupes {

// The crops hashed, as shares of the thumbnail's width and height kept and
// where the crop sits (0: left/top, 0.5: centred, 1: right/bottom).
struct CropShare {
  double keep;
  double x, y;
};
inline constexpr CropShare kCropShares[] = {{0.8, 0.5, 0.5}};

// The Hamming radius of the extra hashes' candidates. Chosen from
// bench/photodupes_recall (the README has the recall and the false
// candidates at each radius).
inline constexpr int kExtraRadius = 8;

// The hashes of a stored thumbnail (base64 JPEG) with its flat borders
// trimmed (nothing when it has none) and of each of `crops`; all empty when
// there is no thumbnail or it does not decode.
struct ThumbHashes {
  std::optional<std::uint64_t> trimmed;
  std::vector<std::uint64_t> crops;
};
ThumbHashes thumbHashes(const std::string& base64Jpeg, std::span<const CropShare> crops);

// The extra hashes of a stored thumbnail (base64 JPEG): the trimmed hash
// first when the thumbnail has flat borders, then one per crop. Empty when
// there is no thumbnail or it does not decode.
std::vector<std::uint64_t> extraHashesOfThumb(const std::string& base64Jpeg);

// Pairs (a < b) of indexes into `photos` whose hashes (the scan's and the
// extra ones) lie within `radius` bits of each other, in any combination.
// Photos without extra hashes take part with their scan hash alone.
std::vector<std::pair<std::uint32_t, std::uint32_t>> extraCandidatePairs(std::span<const Photo* const> photos,
                                                                         int radius);

// Computes the extra hashes of the photos that lack them (an older catalog,
// or a scan cut short), from their thumbnails in the catalog: stored when
// the catalog is open for writing, else kept in `photos` only.
void completeExtraHashes(Catalog& catalog, std::vector<Photo>& photos);

}  // namespace photodupes
