// `photodupes groups` on a catalog of 100,000 synthetic records: random
// difference hashes with planted near groups (and some exact copies),
// against a brute-force count of every pair within the radius, both in the
// same run.
//
// Every record also carries extra hashes as a scan stores them (one per
// crop of kCropShares, and a trimmed one for one photo in ten) and corner
// hashes (one per kCornerShares), random too, and some pairs are planted
// that only these join: a copy whose scan hash lies within kExtraRadius of
// its original's first extra hash, as a padded or cropped copy's does, or
// within kCornerRadius of one of its corner hashes, as a copy cropped off
// a corner does.
//
// Then a dense cluster on its own: kDense photos sharing one hash, near
// copies of each other in tens, as a burst's (same size, capture times in
// sequence).
//
// Measures: reading the records from an SQLite catalog, finding the groups
// (exact sets, multi-index candidates of both sources, the keeper walk; the
// feature-print check is replaced by planted distances, under the threshold
// for the pairs planted together and over it for every other candidate, the
// false candidates unrelated hashes give, so only photodupes' own work is
// timed), and the peak memory it adds; then the dense cluster alone. Times
// are processor time. Checks that every planted group is found whole, that
// no two plantings are joined, and that the index finds exactly the
// brute-force count.
//
//   build/bench/photodupes_groups_bench [records [radius]]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "photodupes/candidates.h"
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
  const std::size_t planted = n / 50;        // groups of 3: a base and two copies within the radius
  const std::size_t plantedExtra = n / 100;  // pairs joined by an extra hash only, and as many by a corner hash
  const int crops = static_cast<int>(std::size(photodupes::kCropShares));
  const int corners = static_cast<int>(std::size(photodupes::kCornerShares));
  std::mt19937_64 rng(11), cornerRng(12);  // the corner hashes from their own stream
  auto flipUpTo = [](std::mt19937_64& r, std::uint64_t h, int most) {
    for (int k = 0, flips = static_cast<int>(r() % (most + 1)); k < flips; ++k) h ^= 1ull << (r() % 64);
    return h;
  };

  std::vector<photodupes::Photo> photos;
  photos.reserve(n);
  auto add = [&](std::uint64_t hash, const std::string& sha) {
    photodupes::Photo p;
    p.id = "synthetic/" + std::to_string(photos.size()) + ".jpg";
    p.path = "/library/" + p.id;
    p.state = "local";
    p.sha = sha;
    p.dhash = hash;
    p.extraHashes.emplace();
    for (int k = crops + (rng() % 10 == 0); k > 0; --k) p.extraHashes->push_back(rng());
    p.cornerHashes.emplace();
    for (int k = 0; k < corners; ++k) p.cornerHashes->push_back(cornerRng());
    p.w = 4032, p.h = 3024, p.bytes = 3000000 + static_cast<std::int64_t>(rng() % 1000000);
    photos.push_back(std::move(p));
  };
  for (std::size_t g = 0; g < planted; ++g) {
    const std::uint64_t base = rng();
    add(base, "base" + std::to_string(g));
    for (int c = 0; c < 2; ++c) add(flipUpTo(rng, base, radius), "copy" + std::to_string(g) + "-" + std::to_string(c));
  }
  for (std::size_t g = 0; g < plantedExtra; ++g) {
    add(rng(), "xbase" + std::to_string(g));
    const std::uint64_t extra = photos.back().extraHashes->front();
    add(flipUpTo(rng, extra, photodupes::kExtraRadius), "xcopy" + std::to_string(g));
  }
  for (std::size_t g = 0; g < plantedExtra; ++g) {
    add(cornerRng(), "cbase" + std::to_string(g));
    const std::uint64_t corner = photos.back().cornerHashes->at(g % corners);
    add(flipUpTo(cornerRng, corner, photodupes::kCornerRadius), "ccopy" + std::to_string(g));
  }
  while (photos.size() < n) add(rng(), "single" + std::to_string(photos.size()));
  // The dense cluster, measured on its own after the library.
  constexpr std::size_t kDense = 2000;
  std::vector<photodupes::Photo> dense;
  const std::uint64_t flat = rng();
  for (std::size_t k = 0; k < kDense; ++k) {
    add(flat, "dense" + std::to_string(k));
    photos.back().bytes = 3000000, photos.back().created = 1000 + static_cast<std::int64_t>(k);  // a burst's
    dense.push_back(std::move(photos.back()));
    photos.pop_back();
  }

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
  std::size_t extraCount = 0, cornerCount = 0;
  for (const auto& p : loaded) {
    extraCount += p.extraHashes ? p.extraHashes->size() : 0;
    cornerCount += p.cornerHashes ? p.cornerHashes->size() : 0;
  }
  const double loadSecs = secondsSince(t0);
  auto t1 = Clock::now();
  // The planting a record belongs to: "base7" and "copy7-1" are planting
  // "7", "dense23" is "d2" (tens), every single record its own.
  auto planting = [](const std::string& sha) {
    if (sha.rfind("dense", 0) == 0) return "d" + std::to_string(std::stoul(sha.substr(5)) / 10);
    if (sha.rfind("single", 0) == 0) return sha;
    const auto digit = sha.find_first_of("0123456789");
    const bool second = sha.rfind("xbase", 0) == 0 || sha.rfind("xcopy", 0) == 0 || sha.rfind("cbase", 0) == 0 ||
                        sha.rfind("ccopy", 0) == 0;  // the extra- or corner-hash plantings
    const std::string kind = second ? sha.substr(0, 1) : "";
    return kind + sha.substr(digit, sha.find('-') == std::string::npos ? std::string::npos : sha.find('-') - digit);
  };
  std::size_t candidates = 0, falseCandidates = 0;
  auto planted_ = [&](const std::vector<photodupes::Photo>& of) {
    return [&](const std::vector<photodupes::PhotoPair>& pairs) {
      std::map<photodupes::PhotoPair, float> d;
      for (const auto& p : pairs) {
        const bool same = planting(of[p.first].sha) == planting(of[p.second].sha);
        d[p] = same ? 0.1f : 0.8f, ++candidates, falseCandidates += !same;
      }
      return d;
    };
  };
  const auto groups = photodupes::findGroups(loaded, radius, photodupes::kNearPrintThreshold, planted_(loaded));
  const double groupSecs = secondsSince(t1);
  const long rssAfter = peakKiB();
  const std::size_t allCandidates = candidates, allFalse = falseCandidates;

  candidates = 0;
  auto td = Clock::now();
  const auto denseGroups = photodupes::findGroups(dense, radius, photodupes::kNearPrintThreshold, planted_(dense));
  const double denseSecs = secondsSince(td);
  const std::size_t denseCandidates = candidates;
  std::size_t denseRemoved = 0;
  for (const auto& g : denseGroups)
    for (const auto& m : g.members) denseRemoved += !m.keep;

  std::vector<const photodupes::Photo*> all;
  for (const auto& p : loaded) all.push_back(&p);
  auto tx = Clock::now();
  const auto extraPairs = photodupes::extraCandidatePairs(all);
  const double extraSecs = secondsSince(tx);

  std::vector<std::uint64_t> hashes;
  for (const auto& p : loaded) hashes.push_back(*p.dhash);
  // The index takes a fraction of a second, so a moment of another process's load weighs more on it than on the
  // seconds of all pairs: it is timed over several runs, the mean taken.
  constexpr int kIndexRuns = 5;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> indexed;
  double indexSecs = 0, indexLeast = 1e9, indexMost = 0;
  for (int run = 0; run < kIndexRuns; ++run) {
    auto t2 = Clock::now();
    indexed = photodupes::nearPairs(hashes, radius);
    const double secs = secondsSince(t2);
    indexSecs += secs / kIndexRuns, indexLeast = std::min(indexLeast, secs), indexMost = std::max(indexMost, secs);
  }
  auto t3 = Clock::now();
  const std::uint64_t brute = photodupes::countPairsBruteForce(hashes, radius);
  const double bruteSecs = secondsSince(t3);

  std::size_t foundPlanted = 0, foundExtra = 0, foundCorner = 0, joined = 0;
  std::map<std::string, std::size_t> groupOf;  // by SHA-256 stand-in
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::string& keeper = loaded[groups[k].members[0].photo].sha;
    foundPlanted += groups[k].members.size() >= 3 && (keeper.rfind("base", 0) == 0 || keeper.rfind("copy", 0) == 0);
    for (const auto& m : groups[k].members) {
      groupOf[loaded[m.photo].sha] = k;
      joined += planting(loaded[m.photo].sha) != planting(loaded[groups[k].members[0].photo].sha);
    }
  }
  auto together = [&](const std::string& a, const std::string& b) {
    auto x = groupOf.find(a), y = groupOf.find(b);
    return x != groupOf.end() && y != groupOf.end() && x->second == y->second;
  };
  for (std::size_t g = 0; g < plantedExtra; ++g) {
    foundExtra += together("xbase" + std::to_string(g), "xcopy" + std::to_string(g));
    foundCorner += together("cbase" + std::to_string(g), "ccopy" + std::to_string(g));
  }
  std::printf(
      "%zu records (%zu extra hashes, %zu corner hashes), radius %d, %zu planted groups of 3, %zu planted pairs "
      "each for the extra hashes (radius %d) and the corner hashes (radius %d)\n",
      loaded.size(), extraCount, cornerCount, radius, planted, plantedExtra, photodupes::kExtraRadius,
      photodupes::kCornerRadius);
  std::printf("read the catalog:          %8.3f s\n", loadSecs);
  std::printf(
      "find the groups:           %8.3f s  (%zu groups, %zu planted groups of 3 whole, %zu candidate pairs measured, "
      "%zu of them false, %zu members of another planting)\n",
      groupSecs, groups.size(), foundPlanted, allCandidates, allFalse, joined);
  std::printf("dense cluster of %zu:     %8.3f s  (%zu pairs measured, at most %zu; %zu groups, %zu to remove)\n",
              dense.size(), denseSecs, denseCandidates, dense.size() * photodupes::kMaxPartners, denseGroups.size(),
              denseRemoved);
  std::printf("peak memory added:         %8.1f MiB (peak RSS %.1f MiB)\n", (rssAfter - rssBefore) / 1024.0,
              rssAfter / 1024.0);
  std::printf("extra-hash candidate pairs: %7.3f s  (%zu pairs, %zu + %zu planted found)\n", extraSecs,
              extraPairs.size(), foundExtra, foundCorner);
  std::printf("index pairs within radius: %8.3f s  (%zu pairs; mean of %d runs, %.3f-%.3f s)\n", indexSecs,
              indexed.size(), kIndexRuns, indexLeast, indexMost);
  std::printf("all pairs, brute force:    %8.3f s  (%llu pairs)\n", bruteSecs, static_cast<unsigned long long>(brute));
  std::printf("index vs all pairs:        %8.1fx faster; groups vs all pairs: %.1fx faster\n", bruteSecs / indexSecs,
              bruteSecs / groupSecs);
  std::filesystem::remove_all(dir);
  const bool ok = indexed.size() == brute && foundPlanted >= planted && foundExtra >= plantedExtra &&
                  foundCorner >= plantedExtra && joined == 0;
  if (!ok) std::printf("MISMATCH: the index or the grouping missed pairs\n");
  return ok ? 0 : 1;
}
