// The second source of candidates: pairs of photos joined through their
// extra hashes, on made-up hashes; and the hashes a catalog keeps.
#include "photodupes/candidates.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "imaging/imaging.h"
#include "testsupport/images.h"

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

// A catalog written when there were fewer corner crops holds corner hashes
// of other crops: they are computed again from the thumbnail and stored,
// while a photo whose hashes are current, or whose thumbnail gave none (an
// empty set, not tried again on every run), is left as it is.
TEST(CompleteThumbHashes, RecomputesCornerHashesOfAnOlderSetOfCrops) {
  testsupport::TempDir dir;
  testsupport::Picture picture;
  picture.width = 256, picture.height = 171, picture.pattern = testsupport::Pattern::kPhoto;
  const auto jpeg = testsupport::encodeImage(picture, ".jpg");
  ASSERT_TRUE(jpeg);
  const std::string thumb = imaging::base64(*jpeg);
  Photo fresh;
  setThumbHashes(fresh, thumb);
  ASSERT_EQ(fresh.cornerHashes->size(), std::size(kCornerShares));

  const std::vector<std::uint64_t> current(std::size(kCornerShares), 42);
  const std::string file = dir.path() + "/cat.db";
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
    c->begin();
    for (const char* id : {"old", "current", "none"}) {
      Photo p = withHashes(0x1234, std::vector<std::uint64_t>{}, std::vector<std::uint64_t>{1, 2, 3, 4});
      p.id = p.path = id;
      p.thumb = thumb;
      if (p.id == "current") p.cornerHashes = current;
      if (p.id == "none") p.cornerHashes->clear();
      c->putPhoto(p, 1);
    }
    c->commit();
  }
  auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
  std::vector<Photo> photos = c->photos(false);
  completeThumbHashes(*c, photos);
  ASSERT_EQ(photos.size(), 3u);
  const Photo& old = *std::find_if(photos.begin(), photos.end(), [](const Photo& p) { return p.id == "old"; });
  for (const Photo& p : {old, *c->photo("old", false)}) {
    EXPECT_EQ(p.cornerHashes, fresh.cornerHashes);
    EXPECT_EQ(p.extraHashes, fresh.extraHashes);
  }
  EXPECT_EQ(c->photo("current", false)->cornerHashes, current);
  EXPECT_EQ(c->photo("none", false)->cornerHashes, std::vector<std::uint64_t>{});
}

}  // namespace
}  // namespace photodupes
