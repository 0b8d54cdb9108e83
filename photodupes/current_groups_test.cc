// Groups as the files stand now, and distances measured once.
#include "photodupes/current_groups.h"

#include <gtest/gtest.h>

#include <map>

#include "photodupes/verify.h"
#include "testsupport/images.h"

namespace photodupes {
namespace {

Photo photo(const std::string& path, const std::string& sha, std::uint64_t hash, std::int64_t w) {
  Photo p;
  p.id = p.path = path;
  p.sha = sha;
  p.dhash = hash;
  p.w = w;
  p.h = 100;
  p.bytes = 1000;
  p.state = "local";
  p.stat = FileStat{1, static_cast<std::uint64_t>(w), 1000, 5, 6};
  return p;
}

// Distances by pair of SHA-256s, in either order, counting what is asked.
Verifier table(const std::vector<Photo>& photos, std::map<std::string, float> d, int* asked) {
  return [&photos, d, asked](const std::vector<PhotoPair>& pairs) {
    std::map<PhotoPair, float> out;
    for (auto [a, b] : pairs) {
      ++*asked;
      const std::string &x = photos[a].sha, &y = photos[b].sha;
      auto it = d.find(x < y ? x + y : y + x);
      if (it != d.end()) out[{a, b}] = it->second;
    }
    return out;
  };
}

TEST(CurrentGroups, AKeeperGoneBehindTheCatalogsBackIsChosenAgainAmongTheRest) {
  const std::uint64_t h = 0x5555aaaa3333ccccull;
  // k keeps a, b and c; b and c are also confirmed with each other, a is not.
  std::vector<Photo> photos = {photo("/k.jpg", "k", h, 400), photo("/a.jpg", "a", h ^ 1, 300),
                               photo("/b.jpg", "b", h ^ 2, 200), photo("/c.jpg", "c", h ^ 4, 100)};
  int asked = 0;
  auto verify = table(photos, {{"ak", 0.1f}, {"bk", 0.1f}, {"ck", 0.1f}, {"bc", 0.2f}, {"ab", 0.9f}, {"ac", 0.9f}}, &asked);
  std::map<std::string, std::optional<FileStat>> disk;
  for (const Photo& p : photos) disk[p.path] = p.stat;
  auto stat = [&](const std::string& path) { return disk.at(path); };

  auto now = currentGroups(photos, 12, 0.35f, verify, stat);
  ASSERT_EQ(now.groups.size(), 1u);
  EXPECT_EQ(now.groups[0].members.size(), 4u);
  EXPECT_EQ(now.changed, 0u);

  disk["/k.jpg"] = std::nullopt;  // the keeper deleted by hand
  disk["/a.jpg"]->ctimeNs = 7;    // rewritten, its times set back: only the change time tells
  now = currentGroups(photos, 12, 0.35f, verify, stat);
  EXPECT_EQ(now.changed, 2u);
  ASSERT_EQ(now.groups.size(), 1u);
  ASSERT_EQ(now.groups[0].members.size(), 2u);
  EXPECT_EQ(photos[now.groups[0].members[0].photo].path, "/b.jpg");
  EXPECT_EQ(photos[now.groups[0].members[1].photo].path, "/c.jpg");
  EXPECT_FLOAT_EQ(now.groups[0].members[1].dist, 0.2f);  // measured against the new keeper

  disk["/b.jpg"] = std::nullopt;  // nothing left to keep c for: no group
  EXPECT_TRUE(currentGroups(photos, 12, 0.35f, verify, stat).groups.empty());
}

TEST(CachedVerifier, MeasuresAPairOfContentsOncePerMeasurer) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  Catalog::open(file, "library", "/lib", Catalog::Access::kWrite).reset();
  const std::uint64_t h = 0x1234ull;
  std::vector<Photo> photos = {photo("/a.jpg", "a", h, 200), photo("/b.jpg", "b", h, 100),
                               photo("/a copy renamed.jpg", "a", h, 300)};
  int asked = 0;
  auto inner = table(photos, {{"ab", 0.25f}}, &asked);
  const std::vector<PhotoPair> pair = {{0, 1}};
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
    EXPECT_EQ(cachedVerifier(*c, photos, "build-1", inner)(pair).at({0, 1}), 0.25f);
    EXPECT_EQ(asked, 1);
  }
  auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
  // Another run, the same contents under other names: answered from the catalog.
  EXPECT_EQ(cachedVerifier(*c, photos, "build-1", inner)({{2, 1}}).at({2, 1}), 0.25f);
  EXPECT_EQ(asked, 1);
  // Another build of the measuring program measures again.
  cachedVerifier(*c, photos, "build-2", inner)(pair);
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace photodupes
