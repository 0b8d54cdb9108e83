// `photodupes groups` on a catalog of 100,000 synthetic records: random
// difference hashes with planted near groups (and some exact copies),
// against a brute-force count of every pair within the radius, both in the
// same run.
//
// Measures: reading the records from an SQLite catalog, finding the groups
// (exact sets, multi-index candidates, components; the feature-print check
// is replaced by one that confirms every candidate, so only photodupes' own
// work is timed), and the peak memory it adds. Times are processor time. Checks that every planted
// group is found and that the index finds exactly the brute-force count.
//
//   build/bench/photodupes_groups_bench [records [radius]]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace {

// Processor time of this process: the machine running the benchmark may be
// shared, and both sides are measured the same way.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
  }
};
double secondsSince(double t) { return Clock::now() - t; }
long peakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const int radius = argc > 2 ? std::atoi(argv[2]) : photodupes::kDefaultRadius;
  const std::size_t planted = n / 50;  // groups of 3: a base and two copies within the radius
  std::mt19937_64 rng(11);

  std::vector<photodupes::Photo> photos;
  photos.reserve(n);
  auto add = [&](std::uint64_t hash, const std::string& sha) {
    photodupes::Photo p;
    p.id = "synthetic/" + std::to_string(photos.size()) + ".jpg";
    p.path = "/library/" + p.id;
    p.state = "local";
    p.sha = sha;
    p.dhash = hash;
    p.w = 4032, p.h = 3024, p.bytes = 3000000 + static_cast<std::int64_t>(rng() % 1000000);
    photos.push_back(std::move(p));
  };
  for (std::size_t g = 0; g < planted; ++g) {
    const std::uint64_t base = rng();
    add(base, "base" + std::to_string(g));
    for (int c = 0; c < 2; ++c) {
      std::uint64_t copy = base;
      for (int k = 0, flips = static_cast<int>(rng() % (radius + 1)); k < flips; ++k) copy ^= 1ull << (rng() % 64);
      add(copy, "copy" + std::to_string(g) + "-" + std::to_string(c));
    }
  }
  while (photos.size() < n) add(rng(), "single" + std::to_string(photos.size()));

  const std::string dir = std::filesystem::temp_directory_path() / ("photodupes-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    auto c = photodupes::Catalog::open(dir + "/catalog.db", "library", "/library", photodupes::Catalog::Access::kWrite);
    c->begin();
    for (const auto& p : photos) c->putPhoto(p, 1);
    c->commit();
  }
  photos.clear();
  photos.shrink_to_fit();

  const long rssBefore = peakKiB();
  auto t0 = Clock::now();
  auto catalog =
      photodupes::Catalog::open(dir + "/catalog.db", "library", "/library", photodupes::Catalog::Access::kRead);
  const auto loaded = catalog->photos(false);
  const double loadSecs = secondsSince(t0);
  auto t1 = Clock::now();
  std::size_t candidates = 0;
  auto confirmAll = [&](const std::vector<std::vector<std::size_t>>& groups) {
    std::map<std::size_t, float> d;
    for (const auto& g : groups)
      for (std::size_t k = 1; k < g.size(); ++k) d[g[k]] = 0.1f, ++candidates;
    return d;
  };
  const auto groups = photodupes::findGroups(loaded, radius, photodupes::kNearPrintThreshold, confirmAll);
  const double groupSecs = secondsSince(t1);
  const long rssAfter = peakKiB();

  std::vector<std::uint64_t> hashes;
  for (const auto& p : loaded) hashes.push_back(*p.dhash);
  auto t2 = Clock::now();
  const auto indexed = photodupes::nearPairs(hashes, radius);
  const double indexSecs = secondsSince(t2);
  auto t3 = Clock::now();
  const std::uint64_t brute = photodupes::countPairsBruteForce(hashes, radius);
  const double bruteSecs = secondsSince(t3);

  std::size_t foundPlanted = 0;
  for (const auto& g : groups) foundPlanted += g.members.size() >= 3;
  std::printf("%zu records, radius %d, %zu planted groups of 3\n", loaded.size(), radius, planted);
  std::printf("read the catalog:          %8.3f s\n", loadSecs);
  std::printf("find the groups:           %8.3f s  (%zu groups, %zu with 3+ members, %zu candidates checked)\n",
              groupSecs, groups.size(), foundPlanted, candidates);
  std::printf("peak memory added:         %8.1f MiB (peak RSS %.1f MiB)\n", (rssAfter - rssBefore) / 1024.0,
              rssAfter / 1024.0);
  std::printf("index pairs within radius: %8.3f s  (%zu pairs)\n", indexSecs, indexed.size());
  std::printf("all pairs, brute force:    %8.3f s  (%llu pairs)\n", bruteSecs, static_cast<unsigned long long>(brute));
  std::printf("index vs all pairs:        %8.1fx faster; groups vs all pairs: %.1fx faster\n", bruteSecs / indexSecs,
              bruteSecs / groupSecs);
  std::filesystem::remove_all(dir);
  const bool ok = indexed.size() == brute && foundPlanted >= planted;
  if (!ok) std::printf("MISMATCH: the index or the grouping missed pairs\n");
  return ok ? 0 : 1;
}
