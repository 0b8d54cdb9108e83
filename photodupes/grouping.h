// Finding the groups of duplicate photos in a catalog.
//
// Exact duplicates share their SHA-256. Near duplicates are found in two
// steps: candidates whose difference hashes lie within a Hamming radius of
// each other (found through a multi-index hash, never by comparing all
// pairs), then a check of every candidate against its group's keeper with
// the feature print (albumsweep simverify), keeping the members closer than
// a threshold.
//
// Keeper rule: the member with the most pixels; among those the oldest
// capture date (an unknown date counts as newest); then the shortest path;
// then the path that sorts first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "photodupes/catalog.h"
#include "platform/feature_print.h"

namespace photodupes {

// Hamming radius of the difference hashes within which two photos become
// near-duplicate candidates. Chosen from bench/photodupes_recall: see the
// README for the recall per kind of edit at each radius.
inline constexpr int kDefaultRadius = 12;

// Feature-print distance under which a candidate is confirmed as a near
// duplicate of its keeper: the print's own recommended "same photo"
// threshold, measured by its detection benchmark.
inline constexpr float kNearPrintThreshold = platform::kSamePhotoDistance;

// All pairs (i < j) of hashes within `radius` bits of each other, sorted,
// through a multi-index hash: the 64 bits split into four 16-bit chunks; two
// hashes within the radius agree to within radius/4 bits on at least one
// chunk, so only hashes in neighbouring buckets of some chunk are compared.
std::vector<std::pair<std::uint32_t, std::uint32_t>> nearPairs(std::span<const std::uint64_t> hashes, int radius);

// All pairs (i, j) of a hash indexed[i] and a hash probes[j] within `radius`
// bits of each other, sorted, through the same multi-index hash: for a few
// probes against many hashes, or hashes of two kinds that need not be
// compared among themselves.
std::vector<std::pair<std::uint32_t, std::uint32_t>> nearPairsBetween(std::span<const std::uint64_t> indexed,
                                                                      std::span<const std::uint64_t> probes,
                                                                      int radius);

// The same count by comparing every pair: the reference of benchmarks and
// tests.
std::uint64_t countPairsBruteForce(std::span<const std::uint64_t> hashes, int radius);

// True when `a` is the better keeper.
bool keeperBefore(const Photo& a, const Photo& b);

struct Member {
  std::size_t photo = 0;  // index into the photos given to findGroups
  bool keep = false;
  bool exact = true;  // same bytes as the keeper
  float dist = 0;     // feature-print distance to the keeper (near members)
  int bits = 0;       // Hamming distance of the difference hashes to the keeper's
};

struct Group {
  std::vector<Member> members;  // keeper first, then exact copies, then near ones by distance
  bool near = false;            // holds at least one near (not byte-identical) member
  std::int64_t bytesFreed = 0;  // bytes of every member but the keeper
};

// Verifies candidate groups: each group lists photo indexes, keeper first;
// answers the feature-print distance of every other member it could
// measure, by photo index. Throws std::runtime_error when verifying fails
// as a whole.
using Verifier = std::function<std::map<std::size_t, float>(const std::vector<std::vector<std::size_t>>& groups)>;

// The groups of `photos` (photos without fingerprints are left out), sorted
// by bytes to free, largest first.
std::vector<Group> findGroups(const std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify);

}  // namespace photodupes
