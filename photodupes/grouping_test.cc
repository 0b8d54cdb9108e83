// The candidate index and the grouping rules, on made-up photos.
#include "photodupes/grouping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <functional>
#include <map>
#include <set>

namespace photodupes {
namespace {

TEST(NearPairs, FindsExactlyThePairsWithinTheRadius) {
  // Random hashes plus planted neighbours at every distance up to 20 bits,
  // with the flipped bits spread over all four chunks or packed into one.
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> hashes;
  for (int i = 0; i < 3000; ++i) hashes.push_back(rng());
  for (int d = 0; d <= 20; ++d) {
    const std::uint64_t base = rng();
    std::uint64_t spread = base, packed = base;
    for (int k = 0; k < d; ++k) spread ^= 1ull << ((k * 16 + k / 4) % 64), packed ^= 1ull << k;
    hashes.insert(hashes.end(), {base, spread, packed});
  }
  // Crowded buckets: 60 hashes sharing their low 32 bits, in threes a bit
  // or two apart.
  const std::uint64_t shared = rng() & 0xffffffffull;
  for (std::uint64_t i = 0, h = 0; i < 60; ++i) {
    h = i % 3 ? h ^ 1ull << (32 + rng() % 32) : shared | rng() << 32;
    hashes.push_back(h);
  }
  // Between two sets: the hashes at odd places looked up among those at
  // even places (planted neighbours and crowded buckets fall on both sides),
  // against every pair of the two.
  std::vector<std::uint64_t> even, odd;
  for (std::size_t k = 0; k < hashes.size(); ++k) (k % 2 ? odd : even).push_back(hashes[k]);
  for (int radius : {0, 1, 3, 4, 7, 8, 11, 12, 13, 15, 16, 20}) {
    const auto pairs = nearPairs(hashes, radius);
    EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end())) << "radius " << radius;
    EXPECT_EQ(std::adjacent_find(pairs.begin(), pairs.end()), pairs.end())
        << "a pair reported twice at radius " << radius;
    for (auto [i, j] : pairs) EXPECT_LE(std::popcount(hashes[i] ^ hashes[j]), radius);
    EXPECT_EQ(pairs.size(), countPairsBruteForce(hashes, radius)) << "radius " << radius;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> all;
    for (std::uint32_t i = 0; i < even.size(); ++i)
      for (std::uint32_t j = 0; j < odd.size(); ++j)
        if (std::popcount(even[i] ^ odd[j]) <= radius) all.emplace_back(i, j);
    EXPECT_EQ(nearPairsBetween(even, odd, radius), all) << "radius " << radius;
  }
}

TEST(NearPairs, FindsEverySplitOfTheRadiusOverTheChunksOnce) {
  // For every way to spread d differing bits over the four 16-bit chunks,
  // d at the radius and one past it, a pair of hashes that differ in that
  // many bits of each chunk, at random places: each pass of the index rules
  // out candidates by how many bits they may differ in outside its key,
  // which is tightest at the radius.
  std::mt19937_64 rng(11);
  for (int radius : {7, 8, 12}) {
    std::vector<std::uint64_t> hashes, even, odd;
    for (int d = radius; d <= radius + 1; ++d)
      for (int d0 = 0; d0 <= d; ++d0)
        for (int d1 = 0; d0 + d1 <= d; ++d1)
          for (int d2 = 0; d0 + d1 + d2 <= d; ++d2) {
            const int split[4] = {d0, d1, d2, d - d0 - d1 - d2};
            const std::uint64_t base = rng();
            std::uint64_t copy = base;
            for (int c = 0; c < 4; ++c)
              for (int flipped = 0; flipped < split[c];) {
                const std::uint64_t bit = 1ull << (c * 16 + rng() % 16);
                if ((copy ^ base) & bit) continue;
                copy ^= bit, ++flipped;
              }
            hashes.insert(hashes.end(), {base, copy});
            even.push_back(base), odd.push_back(copy);
          }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> all;
    for (std::uint32_t i = 0; i < hashes.size(); ++i)
      for (std::uint32_t j = i + 1; j < hashes.size(); ++j)
        if (std::popcount(hashes[i] ^ hashes[j]) <= radius) all.emplace_back(i, j);
    EXPECT_EQ(nearPairs(hashes, radius), all) << "radius " << radius;
    all.clear();
    for (std::uint32_t i = 0; i < even.size(); ++i)
      for (std::uint32_t j = 0; j < odd.size(); ++j)
        if (std::popcount(even[i] ^ odd[j]) <= radius) all.emplace_back(i, j);
    EXPECT_EQ(nearPairsBetween(even, odd, radius), all) << "radius " << radius;
  }
}

Photo photo(std::string path, std::string sha, std::uint64_t hash, std::int64_t w, std::int64_t created = 0,
            std::int64_t bytes = 1000) {
  Photo p;
  p.id = p.path = std::move(path);
  p.sha = std::move(sha);
  p.dhash = hash;
  p.w = w;
  p.h = 100;
  p.created = created;
  p.bytes = bytes;
  p.state = "local";
  return p;
}

// A verifier answering from a table of distances between paths (either
// order), noting what it was asked.
struct TableVerifier {
  const std::vector<Photo>& photos;
  std::map<std::pair<std::string, std::string>, float> table;
  std::vector<PhotoPair> asked = {};
  std::map<PhotoPair, float> operator()(const std::vector<PhotoPair>& pairs) {
    asked.insert(asked.end(), pairs.begin(), pairs.end());
    std::map<PhotoPair, float> out;
    for (auto [a, b] : pairs) {
      auto d = table.find({photos[a].path, photos[b].path});
      if (d == table.end()) d = table.find({photos[b].path, photos[a].path});
      if (d != table.end()) out[{a, b}] = d->second;
    }
    return out;
  }
};

TEST(FindGroups, ExactAndConfirmedNearMembersWithTheKeeperFirst) {
  const std::uint64_t h = 0x0123456789abcdefull;
  std::vector<Photo> photos = {
      photo("/l/small.jpg", "s1", h ^ 0x3, 50, 0, 500),                   // near, fewer pixels
      photo("/l/big-newer.jpg", "s2", h, 200, 2000, 4000),                // most pixels: keeper
      photo("/l/big-copy-longer-path.jpg", "s2", h, 200, 2000, 4000),     // its exact copy
      photo("/l/look-alike.jpg", "s3", h ^ 0x70, 100),                    // candidate the print rejects
      photo("/l/other.jpg", "s4", ~h, 100),                               // unrelated
      photo("/l/b.jpg", "s5", h ^ 0xff00ff00ff00ff00ull, 100, 10, 3000),  // exact pair far from the rest
      photo("/l/a.jpg", "s5", h ^ 0xff00ff00ff00ff00ull, 100, 20, 3000),
      photo("/l/unscanned.jpg", "", 0, 100),  // no fingerprints
  };
  TableVerifier verify{photos, {{{"/l/big-newer.jpg", "/l/small.jpg"}, 0.1f}}};
  const auto groups = findGroups(photos, 12, 0.35f, std::ref(verify));

  // Every candidate pair measured once, the better keeper first, each exact set by its best member.
  std::sort(verify.asked.begin(), verify.asked.end());
  EXPECT_EQ(verify.asked, (std::vector<PhotoPair>{{1, 0}, {1, 3}, {3, 0}}));

  ASSERT_EQ(groups.size(), 2u);
  // Sorted by bytes to free: the near group frees 4000 + 500.
  const Group& near = groups[0];
  EXPECT_TRUE(near.near);
  EXPECT_EQ(near.bytesFreed, 4500);
  ASSERT_EQ(near.members.size(), 3u);
  EXPECT_EQ(near.members[0].photo, 1u);
  EXPECT_TRUE(near.members[0].keep);
  EXPECT_EQ(near.members[1].photo, 2u);
  EXPECT_TRUE(near.members[1].exact);
  EXPECT_EQ(near.members[2].photo, 0u);
  EXPECT_FALSE(near.members[2].exact);
  EXPECT_FLOAT_EQ(near.members[2].dist, 0.1f);
  EXPECT_EQ(near.members[2].bits, 2);

  // The exact pair: same pixels, the older capture date keeps.
  const Group& exact = groups[1];
  EXPECT_FALSE(exact.near);
  ASSERT_EQ(exact.members.size(), 2u);
  EXPECT_EQ(photos[exact.members[0].photo].path, "/l/b.jpg");
  EXPECT_EQ(exact.bytesFreed, 3000);
}

TEST(FindGroups, AnUnrelatedLargerCandidateDoesNotSwallowAGroup) {
  // b is a small copy of a; a larger, unrelated photo u lies within the
  // radius of b (a false candidate) but the print tells them apart.
  const std::uint64_t h = 0x0f0f0f0f12345678ull;
  std::vector<Photo> photos = {photo("/u.jpg", "u", h ^ 0xff, 400), photo("/a.jpg", "a", h ^ 0xff0000000000ull, 200),
                               photo("/b.jpg", "b", h, 100)};
  TableVerifier verify{photos, {{{"/a.jpg", "/b.jpg"}, 0.1f}, {{"/u.jpg", "/b.jpg"}, 0.8f}, {{"/u.jpg", "/a.jpg"}, 0.9f}}};
  const auto groups = findGroups(photos, 12, 0.35f, std::ref(verify));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].members.size(), 2u);
  EXPECT_EQ(photos[groups[0].members[0].photo].path, "/a.jpg");
  EXPECT_EQ(photos[groups[0].members[1].photo].path, "/b.jpg");
}

TEST(FindGroups, MembersAreMeasuredAgainstTheirKeeperAtEveryRadiusAndRunsAgree) {
  // Random photos in clusters with random distances: whatever the graph,
  // every photo listed for removal was measured under the threshold against
  // its own group's keeper (which is kept), every photo with a confirmed
  // pair appears in a group, and the same input gives the same groups.
  std::mt19937_64 rng(5);
  std::vector<Photo> photos;
  for (int c = 0; c < 40; ++c) {
    const std::uint64_t base = rng();
    const int n = 2 + static_cast<int>(rng() % 5);
    for (int k = 0; k < n; ++k) {
      std::uint64_t h = base;
      for (int f = static_cast<int>(rng() % 12); f > 0; --f) h ^= 1ull << (rng() % 64);
      photos.push_back(photo("/p" + std::to_string(photos.size()) + ".jpg", "s" + std::to_string(photos.size()), h,
                             50 + static_cast<std::int64_t>(rng() % 200)));
    }
  }
  TableVerifier verify{photos, {}};
  std::uniform_real_distribution<float> u(0, 0.7f);
  for (std::size_t a = 0; a < photos.size(); ++a)
    for (std::size_t b = a + 1; b < photos.size(); ++b) verify.table[{photos[a].path, photos[b].path}] = u(rng);
  auto d = [&](std::size_t a, std::size_t b) { return verify.table.at({photos[std::min(a, b)].path, photos[std::max(a, b)].path}); };

  for (int radius : {6, 10, 12, 16}) {
    const auto groups = findGroups(photos, radius, 0.35f, std::ref(verify));
    std::set<std::size_t> shown;
    for (const Group& g : groups) {
      ASSERT_TRUE(g.members[0].keep);
      for (const Member& m : g.members) {
        EXPECT_TRUE(shown.insert(m.photo).second) << "a photo in two groups at radius " << radius;
        if (!m.keep) {
          EXPECT_LT(d(m.photo, g.members[0].photo), 0.35f);
          EXPECT_FLOAT_EQ(m.dist, d(m.photo, g.members[0].photo));
        }
        if (m.relatedTo) {
          EXPECT_LT(d(m.photo, *m.relatedTo), 0.35f);
        }
      }
    }
    for (std::size_t a = 0; a < photos.size(); ++a)
      for (std::size_t b = a + 1; b < photos.size(); ++b)
        if (std::popcount(*photos[a].dhash ^ *photos[b].dhash) <= radius && d(a, b) < 0.35f) {
          EXPECT_TRUE(shown.count(a) && shown.count(b)) << a << "~" << b << " at radius " << radius;
        }
    const auto again = findGroups(photos, radius, 0.35f, std::ref(verify));
    ASSERT_EQ(again.size(), groups.size());
    for (std::size_t k = 0; k < groups.size(); ++k) {
      ASSERT_EQ(again[k].members.size(), groups[k].members.size());
      for (std::size_t m = 0; m < groups[k].members.size(); ++m)
        EXPECT_EQ(again[k].members[m].photo, groups[k].members[m].photo);
    }
  }
}

TEST(FindGroups, TheSameFileByTwoPathsAndRawFilesAreNeverListed) {
  const std::uint64_t h = 0x1122334455667788ull;
  Photo one = photo("/l/a.jpg", "x", h, 100), other = photo("/l/link/a.jpg", "x", h, 100);
  one.stat = other.stat = FileStat{1, 42, 1000, 5, 6};
  Photo raw = photo("/l/IMG_1.DNG", "r", h ^ 1, 100), jpeg = photo("/l/IMG_1.JPG", "j", h, 100, 0, 5000);
  std::vector<Photo> photos = {one, other, raw, jpeg};
  photos[2].bytes = 100;  // the JPEG would win on bytes, were the raw not a camera original
  TableVerifier verify{photos, {{{"/l/IMG_1.JPG", "/l/IMG_1.DNG"}, 0.05f}, {{"/l/a.jpg", "/l/IMG_1.DNG"}, 0.9f},
                                {{"/l/a.jpg", "/l/IMG_1.JPG"}, 0.9f}}};
  const auto groups = findGroups(photos, 12, 0.35f, std::ref(verify));
  for (const Group& g : groups)
    for (const Member& m : g.members) {
      EXPECT_NE(photos[m.photo].path, "/l/link/a.jpg");
      if (photos[m.photo].path == "/l/IMG_1.DNG") {
        EXPECT_TRUE(m.keep);
      }
    }
}

TEST(KeeperRule, TheOriginalOverItsEditedCopies) {
  auto jpeg = [](std::string path, std::int64_t bytes, std::int64_t created = 1000, std::int64_t mod = 5000) {
    Photo p = photo(std::move(path), "", 0, 4000, created, bytes);
    p.h = 3000;
    p.mod = mod;
    p.facts = ThumbFacts{};
    return p;
  };
  const Photo original = jpeg("/photos/2019/DSC_0042.jpg", 4'000'000);
  Photo q40 = jpeg("/c.jpg", 900'000);                      // same size, shorter path, smaller file
  Photo grey = jpeg("/g.jpg", 5'000'000);                   // larger file, but grey
  grey.facts->colour = false;
  Photo padded = jpeg("/p.jpg", 5'000'000);                 // more pixels, all of them border
  padded.w = 4800, padded.h = 3600, padded.facts->contentShare = 1 / 1.44;
  Photo half = jpeg("/h.jpg", 4'000'000);
  half.w = 2000, half.h = 1500;
  Photo webp = jpeg("/w.webp", 4'500'000, 6000, 6000);     // a conversion without a capture date
  for (const Photo* copy : {&q40, &grey, &padded, &half, &webp})
    EXPECT_TRUE(keeperBefore(original, *copy) && !keeperBefore(*copy, original)) << copy->path;

  Photo heic = jpeg("/IMG_0001.HEIC", 2'000'000);  // a phone's own file over a JPEG made of it
  EXPECT_TRUE(keeperBefore(heic, jpeg("/IMG_0001.jpg", 3'000'000)));
  Photo png = jpeg("/shot.png", 300'000, 7000, 7000);  // a screenshot over its JPEG conversion
  EXPECT_TRUE(keeperBefore(png, jpeg("/shot.jpg", 200'000, 7000, 7000)));
  // Then dates: a capture date from the camera, the oldest; then the shorter path.
  EXPECT_TRUE(keeperBefore(jpeg("/long/dated.png", 1, 5, 9), jpeg("/u.png", 1, 0, 9)));
  EXPECT_TRUE(keeperBefore(jpeg("/long/older.jpg", 1, 5, 9), jpeg("/n.jpg", 1, 6, 9)));
  EXPECT_TRUE(keeperBefore(jpeg("/s.jpg", 1, 5, 9), jpeg("/long.jpg", 1, 5, 9)));
}

}  // namespace
}  // namespace photodupes
