// The candidate index and the grouping rules, on made-up photos.
#include "photodupes/grouping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
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
  std::vector<std::vector<std::size_t>> asked;
  auto verify = [&](const std::vector<std::vector<std::size_t>>& groups) {
    asked = groups;
    return std::map<std::size_t, float>{{0, 0.1f}, {3, 0.9f}};
  };
  const auto groups = findGroups(photos, 12, 0.35f, verify);

  // One candidate group, keeper first, each exact set sent once.
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].front(), 1u);
  EXPECT_EQ(std::set<std::size_t>(asked[0].begin(), asked[0].end()), (std::set<std::size_t>{0, 1, 3}));

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

TEST(KeeperRule, PixelsThenOldestKnownDateThenShortestPath) {
  Photo big = photo("/a/very/long/path.jpg", "x", 0, 300), small = photo("/a.jpg", "y", 0, 200);
  EXPECT_TRUE(keeperBefore(big, small));
  Photo dated = photo("/long/dated.jpg", "x", 0, 200, 5), undated = photo("/u.jpg", "y", 0, 200, 0);
  EXPECT_TRUE(keeperBefore(dated, undated));  // an unknown date is not "oldest"
  Photo older = photo("/long/older.jpg", "x", 0, 200, 5), newer = photo("/n.jpg", "y", 0, 200, 6);
  EXPECT_TRUE(keeperBefore(older, newer));
  EXPECT_TRUE(keeperBefore(photo("/s.jpg", "x", 0, 1, 5), photo("/long.jpg", "y", 0, 1, 5)));
}

}  // namespace
}  // namespace photodupes
