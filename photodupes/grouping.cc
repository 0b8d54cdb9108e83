#include "photodupes/grouping.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <string>
#include <unordered_map>

#include "photodupes/candidates.h"
#include "photodupes/keeper.h"

namespace photodupes {
namespace {

constexpr int kChunks = 4;
constexpr int kChunkBits = 16;
constexpr std::uint32_t kBuckets = 1u << kChunkBits;
constexpr std::uint32_t kCopyRun = 4;  // bucket entries copied in one go: most buckets hold fewer

// The number of bits set in each byte of x, in that byte.
inline std::uint64_t bitsSetPerByte(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  return (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
}
// The number of bits set in x: with x the XOR of two hashes, the bits in
// which they differ. Written out rather than std::popcount, which for a
// baseline x86-64 build is a call into the compiler's runtime library: this
// is a handful of inlined instructions, and comparing hashes is most of what
// finding near pairs does.
inline int bitsSet(std::uint64_t x) { return static_cast<int>((bitsSetPerByte(x) * 0x0101010101010101ull) >> 56); }

inline std::uint32_t chunkOf(std::uint64_t h, int c) {
  return static_cast<std::uint32_t>(h >> (c * kChunkBits)) & 0xffff;
}
// The low (half 0) or high (half 1) 8 bits of chunk `c`.
inline std::uint32_t halfOf(std::uint64_t h, int c, int half) {
  return static_cast<std::uint32_t>(h >> (c * kChunkBits + half * kChunkBits / 2)) & 0xff;
}

// The nonzero 16-bit masks that `keep` accepts, grouped by their highest bit: for a bucket v, v ^ m lies above v
// exactly when that bit is clear in v, so each pair of buckets is visited once.
struct MasksByTopBit {
  std::vector<std::uint32_t> masks;
  std::array<std::uint32_t, kChunkBits + 1> begin{};
  template <typename Keep>
  explicit MasksByTopBit(Keep keep) {
    for (int t = 0; t < kChunkBits; ++t) {
      begin[t] = masks.size();
      for (std::uint32_t m = 1u << t; m < (2u << t); ++m)
        if (keep(m)) masks.push_back(m);
    }
    begin[kChunkBits] = masks.size();
  }
};

// The lookups that find every pair of hashes within `radius` bits, at most once each. With chunk distances d0..d3
// summing to at most the radius and s = radius / 4: either some chunk differs in fewer than s bits (pass A, on every
// chunk), or every chunk in s or more, and then at most radius - 4s of them in more than s, so one of the first
// radius - 4s + 1 chunks differs in exactly s bits (pass B, on those chunks only). When the radius is 4s, every chunk
// then differs in exactly s bits, so one half of chunk 0 and one half of chunk 1 differ in at most s / 2 bits each:
// pass B looks up those four pairs of halves instead where that is fewer buckets (at s = 3: 4 x 81 rather than 560;
// not at s = 2: 120 rather than 4 x 81).
//
// Calls lookup(key, pass, owns) once per pass: a pair is found where the two hashes' 16-bit keys are equal (when
// pass.self) or differ by one of pass.masks, and `owns`, given the two hashes' difference, says whether this pass is
// the first to find it.
//
// A pair that a pass owns and finds through a mask differs in at least some bits in the 32-bit half of the hashes
// that holds the key, so in at most pass.otherHalf bits in the other half: the lookups compare that half first
// (scanRun), which rules out most hashes of a bucket's neighbours for less than a full comparison each.
struct Pass {
  bool self = false;
  const MasksByTopBit& masks;
  bool keyLow = true;  // the key's bits are among the hashes' low 32 bits, else among the high ones
  int otherHalf = 64;
};

template <typename Lookup>
void forEachPass(int radius, Lookup lookup) {
  auto bitsIn = [](std::uint64_t diff, int chunk) { return std::popcount(chunkOf(diff, chunk)); };
  auto chunkKey = [](int c) { return [c](std::uint64_t h) { return chunkOf(h, c); }; };
  auto chunkMasks = [](int low, int high) {
    return MasksByTopBit([=](std::uint32_t m) { return std::popcount(m) >= low && std::popcount(m) <= high; });
  };
  const int s = std::min(radius / kChunks, kChunkBits);
  const int passBChunks = std::min(radius - kChunks * s + 1, kChunks);
  auto choose = [](int n, int k) {
    double c = 1;
    for (int i = 0; i < k; ++i) c = c * (n - i) / (i + 1);
    return c;
  };
  double halfMasks = 0;  // masks of 8 bits with at most s / 2 set
  for (int k = 0; k <= s / 2; ++k) halfMasks += choose(kChunkBits / 2, k);
  const bool byHalves = s > 0 && radius == kChunks * s && 4 * halfMasks * halfMasks < choose(kChunkBits, s);
  if (s > 0) {
    const auto masks = chunkMasks(1, s - 1);
    // Chunk c differs in at least one bit (a mask's), and chunk c - 1 (if it shares c's half) in at least s.
    for (int c = 0; c < kChunks; ++c)
      lookup(chunkKey(c), Pass{true, masks, c < kChunks / 2, radius - 1 - (c % 2 ? s : 0)}, [&](std::uint64_t diff) {
        for (int e = 0; e < c; ++e)
          if (bitsIn(diff, e) < s) return false;
        return true;
      });
  }
  if (!byHalves) {
    const auto masks = chunkMasks(std::max(s, 1), s);
    // Chunk c differs in s bits, the other chunk of its half in s, or s + 1 if it comes first.
    for (int c = 0; c < passBChunks; ++c)
      lookup(chunkKey(c), Pass{s == 0, masks, c < kChunks / 2, radius - 2 * s - (c % 2)}, [&](std::uint64_t diff) {
        for (int e = 0; e < kChunks; ++e)
          if (bitsIn(diff, e) < s || (e < c && bitsIn(diff, e) == s)) return false;
        return true;
      });
  } else {
    const int t = s / 2;
    const auto masks =
        MasksByTopBit([=](std::uint32_t m) { return std::popcount(m & 0xff) <= t && std::popcount(m >> 8) <= t; });
    auto closeHalves = [=](std::uint64_t diff, int k) {
      return std::popcount(halfOf(diff, 0, k & 1)) <= t && std::popcount(halfOf(diff, 1, k >> 1)) <= t;
    };
    // Chunks 0 and 1 differ in s bits each.
    for (int k = 0; k < 4; ++k)
      lookup([k](std::uint64_t h) { return halfOf(h, 0, k & 1) | halfOf(h, 1, k >> 1) << 8; },
             Pass{true, masks, true, radius - 2 * s},
             [&](std::uint64_t diff) {
               for (int e = 0; e < kChunks; ++e)
                 if (bitsIn(diff, e) < s) return false;
               for (int e = 0; e < k; ++e)
                 if (closeHalves(diff, e)) return false;
               return true;
             });
  }
}

// Hashes sorted into buckets by a 16-bit key: bucket v holds entries begin(v)..end(v), entry e being hash(e) =
// hashes[item(e)], and halves()[e] the 32 bits of it outside the half that holds the pass's key. The halves have kCopyRun places
// more than there are hashes, so that a bucket's first kCopyRun halves can always be copied in one go.
class Buckets {
 public:
  explicit Buckets(std::size_t n) : offsets_(kBuckets + 1), items_(n), sorted_(n), halves_(n + kCopyRun) {}

  template <typename Key>
  void fill(std::span<const std::uint64_t> hashes, Key key, const Pass& pass) {
    const int halfShift = pass.keyLow ? 32 : 0;
    std::fill(offsets_.begin(), offsets_.end(), 0);
    for (std::uint64_t h : hashes) ++offsets_[key(h) + 1];
    largest_ = *std::max_element(offsets_.begin(), offsets_.end());
    std::partial_sum(offsets_.begin(), offsets_.end(), offsets_.begin());
    std::vector<std::uint32_t> next(offsets_.begin(), offsets_.end() - 1);
    for (std::uint32_t i = 0; i < hashes.size(); ++i) {
      const std::uint32_t at = next[key(hashes[i])]++;
      items_[at] = i;
      sorted_[at] = hashes[i];
      halves_[at] = static_cast<std::uint32_t>(hashes[i] >> halfShift);
    }
  }
  std::uint32_t begin(std::uint32_t v) const { return offsets_[v]; }
  std::uint32_t end(std::uint32_t v) const { return offsets_[v + 1]; }
  std::uint64_t hash(std::uint32_t e) const { return sorted_[e]; }
  std::uint32_t item(std::uint32_t e) const { return items_[e]; }
  const std::uint32_t* halves() const { return halves_.data(); }
  const std::uint32_t* offsets() const { return offsets_.data(); }
  std::uint32_t largest() const { return largest_; }  // the most entries of one bucket

 private:
  std::vector<std::uint32_t> offsets_, items_;
  std::vector<std::uint64_t> sorted_;
  std::vector<std::uint32_t> halves_;
  std::uint32_t largest_ = 0;
};

// The halves of the hashes of several buckets copied one after the other, to be scanned like a plain array, with
// the bucket entry each came from.
class Run {
 public:
  // Makes room for runs of up to `n` hashes.
  void reserve(std::size_t n) {
    if (n + kCopyRun <= halves_.size()) return;
    halves_.resize(n + kCopyRun);
    entries_.resize(n + kCopyRun);
    maybe_.resize(n / 2 + 1);
  }
  // Copies the buckets that forEachBucket(fn) calls fn with.
  template <typename ForEachBucket>
  void fill(const Buckets& b, ForEachBucket forEachBucket) {
    const std::uint32_t* offsets = b.offsets();
    const std::uint32_t* halves = b.halves();
    std::uint32_t* toHalves = halves_.data();
    std::uint32_t* toEntries = entries_.data();
    std::uint32_t count = 0;
    forEachBucket([&](std::uint32_t v) {
      const std::uint32_t first = offsets[v], len = offsets[v + 1] - first;
      std::memcpy(toHalves + count, halves + first, kCopyRun * sizeof(std::uint32_t));
      // Written as one array, which the compiler stores in one go (as a loop it stored them one by one).
      static_assert(kCopyRun == 4);
      const std::uint32_t entries[kCopyRun] = {first, first + 1, first + 2, first + 3};
      std::memcpy(toEntries + count, entries, sizeof entries);
      if (len > kCopyRun) [[unlikely]]
        for (std::uint32_t j = kCopyRun; j < len; ++j)
          toHalves[count + j] = halves[first + j], toEntries[count + j] = first + j;
      count += len;
    });
    count_ = count;
  }
  std::uint32_t size() const { return count_; }
  const std::uint32_t* halves() const { return halves_.data(); }
  const std::uint32_t* entries() const { return entries_.data(); }
  std::uint32_t* maybe() { return maybe_.data(); }  // room for a place of every two

 private:
  std::vector<std::uint32_t> halves_, entries_, maybe_;
  std::uint32_t count_ = 0;
};

// Calls hit(e) for every bucket entry e in `run` whose hash lies within `radius` bits of q, where it can differ in at
// most `otherHalf` bits in the run's halves (qHalf being q's). The halves are taken two at a time, side by side, and
// compared with q's in one count, which rules out both at once where each differs in more bits (most of them). The
// places of the pairs left are noted without a branch, then compared in full.
template <typename Hit>
inline void scanRun(std::uint64_t q, std::uint32_t qHalf, Run& run, const Buckets& b, int radius, int otherHalf,
                    Hit hit) {
  constexpr std::uint64_t kTops = 0x8000000080000000ull;
  const std::uint64_t qq = qHalf * 0x100000001ull;
  // Added to the two halves' counts (at most 32 each, in bytes 3 and 7), sets the top bit of those that exceed
  // otherHalf.
  const std::uint64_t bias = static_cast<std::uint64_t>(127 - std::clamp(otherHalf, -1, 64)) * 0x0100000001000000ull;
  const std::uint32_t* halves = run.halves();
  const std::uint32_t* entries = run.entries();
  std::uint32_t* maybe = run.maybe();
  const std::uint32_t count = run.size();
  std::uint32_t left = 0;
  for (std::uint32_t k = 0; k < count; k += 2) {
    std::uint64_t two;
    std::memcpy(&two, halves + k, sizeof two);
    maybe[left] = k;
    left += ((bitsSetPerByte(two ^ qq) * 0x01010101ull + bias) & kTops) != kTops;
  }
  for (std::uint32_t i = 0; i < left; ++i)
    for (std::uint32_t k = maybe[i], end = std::min(k + 2, count); k < end; ++k)
      if (bitsSet(q ^ b.hash(entries[k])) <= radius) hit(entries[k]);
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::uint32_t>> nearPairs(std::span<const std::uint64_t> hashes, int radius) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  if (radius < 0 || hashes.size() < 2) return pairs;
  radius = std::min(radius, 64);
  Buckets b(hashes.size());
  Run run;
  // Buckets the hashes by `key`, then compares each hash with those in its own bucket (when `self`) and in the
  // buckets v ^ m above it for every mask m.
  forEachPass(radius, [&](auto key, const Pass& pass, auto owns) {
    b.fill(hashes, key, pass);
    run.reserve(std::min<std::size_t>(hashes.size(), std::size_t{b.largest()} * pass.masks.masks.size()));
    auto consider = [&](std::uint32_t x, std::uint32_t y) {
      if (owns(b.hash(x) ^ b.hash(y)))
        pairs.emplace_back(std::min(b.item(x), b.item(y)), std::max(b.item(x), b.item(y)));
    };
    for (std::uint32_t v = 0; v < kBuckets; ++v) {
      const std::uint32_t vb = b.begin(v), ve = b.end(v);
      if (vb == ve) continue;
      if (pass.self)
        for (std::uint32_t x = vb; x < ve; ++x)
          for (std::uint32_t y = x + 1; y < ve; ++y)
            if (bitsSet(b.hash(x) ^ b.hash(y)) <= radius) consider(x, y);
      auto neighbours = [&](auto fn) {
        // The masks whose top bit is clear in v, a run of such bits at a time.
        for (std::uint32_t zeros = ~v & (kBuckets - 1); zeros != 0;) {
          const int low = std::countr_zero(zeros), high = low + std::countr_one(zeros >> low);
          for (std::uint32_t k = pass.masks.begin[low]; k < pass.masks.begin[high]; ++k) fn(v ^ pass.masks.masks[k]);
          zeros &= ~0u << high;
        }
      };
      run.fill(b, neighbours);
      for (std::uint32_t x = vb; x < ve; ++x)
        scanRun(b.hash(x), b.halves()[x], run, b, radius, pass.otherHalf, [&](std::uint32_t y) { consider(x, y); });
    }
  });
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> nearPairsBetween(std::span<const std::uint64_t> indexed,
                                                                      std::span<const std::uint64_t> probes,
                                                                      int radius) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  if (radius < 0 || indexed.empty() || probes.empty()) return pairs;
  radius = std::min(radius, 64);
  // Both sides bucketed by the pass's key, the buckets then visited in
  // order: the neighbours v ^ m of consecutive buckets v lie close in
  // memory, which looking each probe up on its own would not give.
  Buckets b(indexed.size()), p(probes.size());
  Run run;
  forEachPass(radius, [&](auto key, const Pass& pass, auto owns) {
    b.fill(indexed, key, pass);
    run.reserve(std::min<std::size_t>(indexed.size(), std::size_t{b.largest()} * pass.masks.masks.size()));
    p.fill(probes, key, pass);
    for (std::uint32_t v = 0; v < kBuckets; ++v) {
      const std::uint32_t pb = p.begin(v), pe = p.end(v);
      if (pb == pe) continue;
      auto consider = [&](std::uint32_t x, std::uint32_t y) {
        if (owns(b.hash(x) ^ p.hash(y))) pairs.emplace_back(b.item(x), p.item(y));
      };
      if (pass.self)
        for (std::uint32_t x = b.begin(v), xe = b.end(v); x < xe; ++x)
          for (std::uint32_t y = pb; y < pe; ++y)
            if (bitsSet(b.hash(x) ^ p.hash(y)) <= radius) consider(x, y);
      auto neighbours = [&](auto fn) {
        for (std::uint32_t m : pass.masks.masks) fn(v ^ m);
      };
      run.fill(b, neighbours);
      for (std::uint32_t y = pb; y < pe; ++y)
        scanRun(p.hash(y), p.halves()[y], run, b, radius, pass.otherHalf, [&](std::uint32_t x) { consider(x, y); });
    }
  });
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

std::uint64_t countPairsBruteForce(std::span<const std::uint64_t> hashes, int radius) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < hashes.size(); ++i)
    for (std::size_t j = i + 1; j < hashes.size(); ++j) count += bitsSet(hashes[i] ^ hashes[j]) <= radius;
  return count;
}

namespace {

// The candidate pairs among the representatives (indexes into reps), each
// photo's kMaxPartners nearest kept (a pair stays when it is among the
// nearest of either photo), so that a cluster of n photos sharing one hash
// costs at most n * kMaxPartners measurements, not n^2 / 2.
std::vector<std::pair<std::uint32_t, std::uint32_t>> boundedCandidates(const std::vector<Photo>& photos,
                                                                       const std::vector<std::size_t>& reps,
                                                                       int radius) {
  std::vector<std::uint64_t> hashes;
  std::vector<const Photo*> repPhotos;
  for (std::size_t r : reps) hashes.push_back(*photos[r].dhash), repPhotos.push_back(&photos[r]);
  auto pairs = nearPairs(hashes, radius);
  auto extra = extraCandidatePairs(repPhotos);
  pairs.insert(pairs.end(), extra.begin(), extra.end());
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());

  // Nearest by hash distance, then by place in keeper order (the reps' order):
  // where hashes cannot tell photos apart, neighbours in size and capture
  // time, as a burst's photos are.
  std::vector<std::vector<std::tuple<int, std::uint32_t, std::uint32_t>>> near(reps.size());
  for (std::uint32_t k = 0; k < pairs.size(); ++k) {
    const auto [i, j] = pairs[k];
    const Photo &a = *repPhotos[i], &b = *repPhotos[j];
    const ExtraDistances e = extraDistances(a, b);
    const int d = std::min({bitsSet(*a.dhash ^ *b.dhash), e.extra, e.corner});
    near[i].emplace_back(d, j - i, k);
    near[j].emplace_back(d, j - i, k);
  }
  std::vector<char> kept(pairs.size(), 0);
  for (auto& n : near) {
    if (n.size() > kMaxPartners) std::nth_element(n.begin(), n.begin() + kMaxPartners, n.end());
    for (std::size_t k = 0; k < std::min(n.size(), kMaxPartners); ++k) kept[std::get<2>(n[k])] = 1;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (std::uint32_t k = 0; k < pairs.size(); ++k)
    if (kept[k]) out.push_back(pairs[k]);
  return out;
}

// The photos taking part: usable, not left out, and one path per file (a
// file reached by two paths is not a copy of itself), in keeper order.
std::vector<std::size_t> liveInKeeperOrder(const std::vector<Photo>& photos, const std::vector<char>& leaveOut) {
  std::vector<std::size_t> live;
  std::vector<KeeperKey> keys(photos.size());
  for (std::size_t i = 0; i < photos.size(); ++i)
    if (photos[i].usable() && (leaveOut.empty() || !leaveOut[i])) live.push_back(i), keys[i] = keeperKey(photos[i]);
  std::sort(live.begin(), live.end(), [&](std::size_t a, std::size_t b) {
    if (keys[a] != keys[b]) return keys[a] > keys[b];
    return photos[a].path < photos[b].path;
  });
  std::set<std::pair<std::uint64_t, std::uint64_t>> files;
  std::erase_if(live, [&](std::size_t i) {
    const auto& st = photos[i].stat;
    return st && !files.insert({st->dev, st->ino}).second;
  });
  return live;
}

// The live photos with byte-identical copies collapsed onto their best member.
struct Copies {
  std::unordered_map<std::string, std::vector<std::size_t>> bySha;  // members in keeper order
  std::vector<std::size_t> reps;                                     // the best of each, in keeper order
};

Copies collapseCopies(const std::vector<Photo>& photos, const std::vector<std::size_t>& live,
                      const Decisions& decisions) {
  Copies out;
  out.bySha.reserve(live.size());
  for (std::size_t i : live) out.bySha[photos[i].sha].push_back(i);
  // Copies the user called not duplicates of each other: only the best takes part.
  if (!decisions.notDuplicates.empty())
    for (auto& [sha, copies] : out.bySha)
      if (copies.size() > 1 && decisions.notDuplicate(sha, sha)) copies.resize(1);
  for (std::size_t i : live)
    if (out.bySha[photos[i].sha].front() == i) out.reps.push_back(i);
  return out;
}

// Per representative, its confirmed partners (indexes into reps) and their
// measured distance.
using Confirmed = std::vector<std::vector<std::pair<std::uint32_t, float>>>;

// Every candidate pair measured, the better keeper first; those under the
// threshold that the user did not call not duplicates are confirmed.
Confirmed confirmedPairs(const std::vector<Photo>& photos, const std::vector<std::size_t>& reps, int radius,
                         float threshold, const Verifier& verify, const Decisions& decisions) {
  const auto pairs = boundedCandidates(photos, reps, radius);
  std::vector<PhotoPair> ask;
  for (auto [a, b] : pairs) ask.emplace_back(reps[a], reps[b]);  // reps are in keeper order: a < b
  const auto dist = ask.empty() ? std::map<PhotoPair, float>() : verify(ask);
  Confirmed confirmed(reps.size());
  for (auto [a, b] : pairs)
    if (auto d = dist.find({reps[a], reps[b]}); d != dist.end() && d->second < threshold &&
                                                 !decisions.notDuplicate(photos[reps[a]].sha, photos[reps[b]].sha)) {
      confirmed[a].emplace_back(b, d->second);
      confirmed[b].emplace_back(a, d->second);
    }
  return confirmed;
}

// The distance of a confirmed pair; far beyond any threshold for others.
float confirmedDistance(const Confirmed& confirmed, std::uint32_t a, std::uint32_t b) {
  for (auto [q, d] : confirmed[a])
    if (q == b) return d;
  return 1e9f;
}

constexpr std::uint32_t kNone = ~0u;

// Each representative's keeper (an index into reps): its own index for a
// keeper, kNone for one placed in no group.
std::vector<std::uint32_t> assignKeepers(const Confirmed& confirmed) {
  // Walk the photos in keeper order: one not yet placed with confirmed
  // partners not yet placed becomes a keeper and takes them. Its partners
  // all come later (an earlier one would have taken it), so a keeper is
  // always the better photo, and members are one hop from their keeper.
  std::vector<std::uint32_t> keeperOf(confirmed.size(), kNone);  // a member's keeper; a keeper's own index
  std::vector<std::uint32_t> members(confirmed.size(), 0);       // a keeper's count of members
  for (std::uint32_t k = 0; k < confirmed.size(); ++k) {
    if (keeperOf[k] != kNone) continue;
    for (auto [q, d] : confirmed[k])
      if (keeperOf[q] == kNone) keeperOf[q] = k, ++members[k];
    if (members[k]) keeperOf[k] = k;
  }
  // Then each member goes to the nearest keeper it is confirmed with, as
  // long as the group it leaves keeps a member.
  for (std::uint32_t m = 0; m < confirmed.size(); ++m) {
    const std::uint32_t now = keeperOf[m];
    if (now == kNone || now == m) continue;
    std::uint32_t best = now;
    float bestDist = confirmedDistance(confirmed, m, now);
    for (auto [q, d] : confirmed[m])
      if (keeperOf[q] == q && (d < bestDist || (d == bestDist && q < best))) best = q, bestDist = d;
    if (best != now && members[now] > 1) --members[now], ++members[best], keeperOf[m] = best;
  }
  return keeperOf;
}

// The groups around the keepers, largest saving first.
std::vector<Group> buildGroups(const std::vector<Photo>& photos, const Copies& copiesOf, const Confirmed& confirmed,
                               const std::vector<std::uint32_t>& keeperOf) {
  const std::vector<std::size_t>& reps = copiesOf.reps;
  auto copiesOfRep = [&](std::uint32_t k) -> const std::vector<std::size_t>& {
    return copiesOf.bySha.at(photos[reps[k]].sha);
  };
  std::map<std::uint32_t, Group> byKeeper;
  auto member = [&](std::size_t photo, std::uint32_t keeperRep, bool exact, float d) {
    Member m{photo, false, exact, d, bitsSet(*photos[photo].dhash ^ *photos[reps[keeperRep]].dhash)};
    // A raw file is a camera original: never proposed for removal.
    m.keep = isRawFile(photos[photo].path);
    return m;
  };
  for (std::uint32_t k = 0; k < reps.size(); ++k) {
    if (keeperOf[k] != k) continue;
    Group& g = byKeeper[k];
    for (std::size_t i : copiesOfRep(k)) {
      g.members.push_back(member(i, k, true, 0));
      if (i == reps[k]) g.members.back().keep = true;
    }
  }
  for (std::uint32_t m = 0; m < reps.size(); ++m) {
    if (keeperOf[m] == kNone || keeperOf[m] == m) continue;
    const float d = confirmedDistance(confirmed, m, keeperOf[m]);
    for (std::size_t i : copiesOfRep(m)) byKeeper[keeperOf[m]].members.push_back(member(i, keeperOf[m], false, d));
  }
  // A photo with confirmed partners that all went to other keepers: its own
  // copies make a group around it; without copies it is shown, kept, beside
  // its nearest partner.
  std::vector<Group> groups;
  for (std::uint32_t k = 0; k < reps.size(); ++k) {
    const auto& copies = copiesOfRep(k);
    if (keeperOf[k] != kNone) continue;
    if (copies.size() > 1) {
      Group g;
      for (std::size_t i : copies) g.members.push_back(member(i, k, true, 0));
      g.members.front().keep = true;
      groups.push_back(std::move(g));
    } else if (!confirmed[k].empty()) {
      auto nearest = std::min_element(confirmed[k].begin(), confirmed[k].end(), [](const auto& a, const auto& b) {
        return a.second < b.second || (a.second == b.second && a.first < b.first);
      });
      Member m = member(reps[k], nearest->first, false, nearest->second);
      m.keep = true;
      m.relatedTo = reps[nearest->first];
      byKeeper[keeperOf[nearest->first]].members.push_back(m);
    }
  }
  for (auto& [k, g] : byKeeper) {
    // Keeper first, then its exact copies, near members by distance, then the photos kept beside them.
    std::stable_sort(g.members.begin() + 1, g.members.end(), [](const Member& a, const Member& b) {
      auto rank = [](const Member& m) { return m.relatedTo ? 2 : m.exact ? 0 : 1; };
      if (rank(a) != rank(b)) return rank(a) < rank(b);
      return a.dist < b.dist;
    });
    g.near = true;
    groups.push_back(std::move(g));
  }
  for (Group& g : groups)
    for (const Member& m : g.members)
      if (!m.keep) g.bytesFreed += photos[m.photo].bytes;
  std::sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) {
    if (a.bytesFreed != b.bytesFreed) return a.bytesFreed > b.bytesFreed;
    return photos[a.members[0].photo].path < photos[b.members[0].photo].path;
  });
  return groups;
}

}  // namespace

std::vector<Group> findGroups(const std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify,
                              const std::vector<char>& leaveOut, const Decisions& decisions) {
  const Copies copies = collapseCopies(photos, liveInKeeperOrder(photos, leaveOut), decisions);
  const Confirmed confirmed = confirmedPairs(photos, copies.reps, radius, threshold, verify, decisions);
  return buildGroups(photos, copies, confirmed, assignKeepers(confirmed));
}

}  // namespace photodupes
