// Groups as the files stand now, and distances measured once.
#include "photodupes/current_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "photodupes/verify.h"
#include "testsupport/images.h"

namespace photodupes {
namespace {

Photo photoOf(const std::string& path, const std::string& sha, std::uint64_t hash, std::int64_t w) {
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
  std::vector<Photo> photos = {photoOf("/k.jpg", "k", h, 400), photoOf("/a.jpg", "a", h ^ 1, 300),
                               photoOf("/b.jpg", "b", h ^ 2, 200), photoOf("/c.jpg", "c", h ^ 4, 100)};
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

TEST(CurrentGroups, HonoursNotDuplicatesChosenKeepersAndReferenceFolders) {
  const std::uint64_t h = 0x5555aaaa3333ccccull;
  // k with a near copy a, and e with two exact copies in /lib/ref and /lib/refs.
  std::vector<Photo> photos = {photoOf("/lib/k.jpg", "k", h, 400), photoOf("/lib/a.jpg", "a", h ^ 1, 300),
                               photoOf("/lib/e.jpg", "e", ~h, 200), photoOf("/lib/ref/e.jpg", "e", ~h, 100),
                               photoOf("/lib/reference/e.jpg", "e", ~h, 50)};
  photos[3].stat->ino = 30, photos[4].stat->ino = 40;
  int asked = 0;
  auto verify = table(photos, {{"ak", 0.1f}}, &asked);
  auto stat = [&](const std::string& path) {
    for (const Photo& p : photos)
      if (p.path == path) return p.stat;
    return std::optional<FileStat>();
  };
  auto keepers = [&](const CurrentGroups& now) {
    std::vector<std::string> out;
    for (const Group& g : now.groups) out.push_back(photos[g.members[0].photo].path);
    std::sort(out.begin(), out.end());
    return out;
  };
  Decisions d;
  EXPECT_EQ(keepers(currentGroups(photos, 12, 0.35f, verify, stat, d, "/lib")),
            (std::vector<std::string>{"/lib/e.jpg", "/lib/k.jpg"}));

  // The user picks a as keeper: k is the one to remove now, at the measured distance.
  d.choices[photos[1].id] = {Choice::kKeeper, "a"};
  // A reference folder: its byte-identical copy becomes the keeper; "ref" is not "reference".
  d.keepIn = {"ref"};
  auto now = currentGroups(photos, 12, 0.35f, verify, stat, d, "/lib");
  EXPECT_EQ(keepers(now), (std::vector<std::string>{"/lib/a.jpg", "/lib/ref/e.jpg"}));
  for (const Group& g : now.groups)
    for (const Member& m : g.members) {
      const std::string& path = photos[m.photo].path;
      EXPECT_EQ(m.keep, path == "/lib/a.jpg" || path == "/lib/ref/e.jpg") << path;
      if (path == "/lib/k.jpg") {
        EXPECT_FLOAT_EQ(m.dist, 0.1f);
      }
    }
  // A choice made on other content lapses.
  d.choices[photos[1].id].second = "old";
  EXPECT_EQ(keepers(currentGroups(photos, 12, 0.35f, verify, stat, d, "/lib")),
            (std::vector<std::string>{"/lib/k.jpg", "/lib/ref/e.jpg"}));

  // Not duplicates: the near pair is never confirmed, the copies of e never grouped.
  d.notDuplicates = {shaPair("k", "a"), shaPair("e", "e")};
  EXPECT_TRUE(currentGroups(photos, 12, 0.35f, verify, stat, d, "/lib").groups.empty());
}

TEST(CachedVerifier, MeasuresAPairOfContentsOncePerMeasurer) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  Catalog::open(file, "library", "/lib", Catalog::Access::kWrite).reset();
  const std::uint64_t h = 0x1234ull;
  std::vector<Photo> photos = {photoOf("/a.jpg", "a", h, 200), photoOf("/b.jpg", "b", h, 100),
                               photoOf("/a copy renamed.jpg", "a", h, 300)};
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
