// Finding the groups of duplicate photos in a catalog.
//
// Exact duplicates share their SHA-256. Near duplicates are found in two
// steps: candidates whose difference hashes lie within a Hamming radius of
// each other (found through a multi-index hash, never by comparing all
// pairs), then the feature-print distance of every candidate pair
// (albumsweep simverify); a pair under the threshold is confirmed.
//
// Confirmed pairs do not chain (a~b and b~c do not make a~c), so a group is
// a keeper and the photos confirmed against it: byte-identical copies
// collapse onto their best member; the photos are walked in keeper order
// (keeper.h), and one not yet placed that has confirmed partners not yet
// placed becomes a keeper and takes them; then each member moves to the
// nearest keeper it is confirmed with, as long as its old group keeps a
// member. So every photo listed for removal was measured under the
// threshold against its own group's keeper, which is kept; a photo whose
// confirmed partners all went to other keepers is shown kept beside its
// nearest one; and the same catalog gives the same groups on every run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "photodupes/catalog.h"
#include "featureprint/feature_print.h"

namespace photodupes {

// Hamming radius of the difference hashes within which two photos become
// near-duplicate candidates. Chosen from bench/photodupes_recall: see the
// README for the recall per kind of edit at each radius.
inline constexpr int kDefaultRadius = 12;

// Feature-print distance under which a candidate is confirmed as a near
// duplicate of its keeper: the print's own recommended "same photo"
// threshold, measured by its detection benchmark.
inline constexpr float kNearPrintThreshold = featureprint::kSamePhotoDistance;

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

// A photo's candidates are measured against at most this many of its
// nearest candidates (by hash distance), so a cluster of n photos sharing
// one hash (a burst, scanned pages, flat pictures) costs at most
// n * kMaxPartners measurements rather than n^2 / 2.
inline constexpr std::size_t kMaxPartners = 24;

struct Member {
  std::size_t photo = 0;  // index into the photos given to findGroups
  bool keep = false;      // the keeper, a raw file (a camera original), or a photo shown beside a member
  bool exact = true;      // same bytes as the keeper
  float dist = 0;         // feature-print distance to the keeper (near members), or to relatedTo
  int bits = 0;           // Hamming distance of the difference hashes to the keeper's (or relatedTo's)
  // Kept, shown because it is confirmed against this member (not against
  // the keeper).
  std::optional<std::size_t> relatedTo = std::nullopt;
};

struct Group {
  std::vector<Member> members;  // keeper first, then exact copies, near ones by distance, then related ones
  bool near = false;            // holds at least one near (not byte-identical) member
  std::int64_t bytesFreed = 0;  // bytes of the members not kept
};

// Two photos by index into the photos given to findGroups.
using PhotoPair = std::pair<std::size_t, std::size_t>;

// Measures the feature-print distance of candidate pairs (the better keeper
// first); answers each pair it could measure, keyed as asked. Throws
// std::runtime_error when measuring fails as a whole.
using Verifier = std::function<std::map<PhotoPair, float>(const std::vector<PhotoPair>& pairs)>;

// The groups of `photos` (photos without fingerprints, and those marked in
// `leaveOut`, are left out; of photos with the same device and inode only
// one takes part), sorted by bytes to free, largest first. Pairs of
// contents `decisions` calls not duplicates are never confirmed (nor are
// byte-identical copies of a content paired with itself there grouped);
// the rest of the decisions is applied by applyDecisions.
std::vector<Group> findGroups(const std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify,
                              const std::vector<char>& leaveOut = {}, const Decisions& decisions = {});

}  // namespace photodupes
