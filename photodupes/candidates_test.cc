// The second source of candidates: pairs of photos joined through their
// extra hashes, on made-up hashes.
#include "photodupes/candidates.h"

#include <gtest/gtest.h>

namespace photodupes {
namespace {

Photo withHashes(std::uint64_t scan, std::optional<std::vector<std::uint64_t>> extra,
                 std::optional<std::vector<std::uint64_t>> corners = std::nullopt) {
  Photo p;
  p.sha = "s";
  p.dhash = scan;
  p.extraHashes = std::move(extra);
  p.cornerHashes = std::move(corners);
  return p;
}

TEST(ExtraCandidatePairs, JoinsAnExtraOrCornerHashToAnotherPhotosScanHashOnceEach) {
  const std::uint64_t a = 0x0123456789abcdefull, far = ~a, crop = 0x5555aaaa5555aaaaull, trim = 0x0f0f0f0ff0f0f0f0ull;
  const std::uint64_t corner = 0x3c3c3c3cc3c3c3c3ull;
  const std::vector<Photo> photos = {
      withHashes(a, std::vector<std::uint64_t>{crop, crop ^ 1}),  // 0: two extras near photo 1's scan hash
      withHashes(crop ^ 0x7, std::nullopt),                       // 1: a copy cropped that much, no extras yet
      withHashes(far, std::vector<std::uint64_t>{a ^ 0xf}),       // 2: its trimmed hash near photo 0's scan hash
      withHashes(a ^ 0x3, std::vector<std::uint64_t>{}),          // 3: scan hashes close: the first source's pair
      withHashes(trim, std::vector<std::uint64_t>{trim ^ 1}),     // 4: its own hashes alike, nobody else's
      // 5: an extra 8 bits from 0's: two extra hashes alone are no pair
      withHashes(~crop, std::vector<std::uint64_t>{crop ^ 0x0f000f00ull}),
      // 6: a corner hash 7 bits from photo 7's scan hash, 8 from photo 8's
      withHashes(~trim, std::vector<std::uint64_t>{}, std::vector<std::uint64_t>{0x00ff00ff00ff00ffull, corner ^ 0x7f}),
      withHashes(corner, std::nullopt),
      withHashes(corner ^ 0x80, std::vector<std::uint64_t>{}, std::vector<std::uint64_t>{}),
  };
  std::vector<const Photo*> all;
  for (const Photo& p : photos) all.push_back(&p);
  using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(extraCandidatePairs(all, 4, 4), (Pairs{{0, 1}, {0, 2}, {2, 3}}));
  EXPECT_EQ(extraCandidatePairs(all, 8, 7), (Pairs{{0, 1}, {0, 2}, {2, 3}, {6, 7}}));
  EXPECT_EQ(extraCandidatePairs(all, 7, 8), (Pairs{{0, 1}, {0, 2}, {2, 3}, {6, 7}, {6, 8}}));
}

}  // namespace
}  // namespace photodupes
