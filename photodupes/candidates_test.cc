// The second source of candidates: pairs of photos joined through their
// extra hashes, on made-up hashes.
#include "photodupes/candidates.h"

#include <gtest/gtest.h>

namespace photodupes {
namespace {

Photo withHashes(std::uint64_t scan, std::optional<std::vector<std::uint64_t>> extra) {
  Photo p;
  p.sha = "s";
  p.dhash = scan;
  p.extraHashes = std::move(extra);
  return p;
}

TEST(ExtraCandidatePairs, JoinsPhotosThroughAnyExtraHashOnceEach) {
  const std::uint64_t a = 0x0123456789abcdefull, far = ~a, crop = 0x5555aaaa5555aaaaull, trim = 0x0f0f0f0ff0f0f0f0ull;
  const std::vector<Photo> photos = {
      withHashes(a, std::vector<std::uint64_t>{crop, crop ^ 1}),  // 0: two extras near photo 1's scan hash
      withHashes(crop ^ 0x7, std::nullopt),                       // 1: a copy cropped that much, no extras yet
      withHashes(far, std::vector<std::uint64_t>{a ^ 0xf}),       // 2: its trimmed hash near photo 0's scan hash
      withHashes(a ^ 0x3, std::vector<std::uint64_t>{}),          // 3: scan hashes close: the first source's pair
      withHashes(trim, std::vector<std::uint64_t>{trim ^ 1}),     // 4: its own hashes alike, nobody else's
      withHashes(~crop, std::vector<std::uint64_t>{crop ^ 0x0f000f00ull}),  // 5: an extra 8 bits from 0's
  };
  std::vector<const Photo*> all;
  for (const Photo& p : photos) all.push_back(&p);
  using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(extraCandidatePairs(all, 4), (Pairs{{0, 1}, {0, 2}, {2, 3}}));
  EXPECT_EQ(extraCandidatePairs(all, 8), (Pairs{{0, 1}, {0, 2}, {0, 5}, {2, 3}}));
}

}  // namespace
}  // namespace photodupes
