#include "photodupes/grouping.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <numeric>
#include <string>
#include <unordered_map>

#include "photodupes/candidates.h"

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

struct UnionFind {
  std::vector<std::uint32_t> parent;
  explicit UnionFind(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
  std::uint32_t find(std::uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void join(std::uint32_t a, std::uint32_t b) {
    a = find(a), b = find(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
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

bool keeperBefore(const Photo& a, const Photo& b) {
  const std::int64_t pa = a.w * a.h, pb = b.w * b.h;
  if (pa != pb) return pa > pb;
  // An unknown capture date (0) counts as the newest.
  const bool ka = a.created != 0, kb = b.created != 0;
  if (ka != kb) return ka;
  if (a.created != b.created) return a.created < b.created;
  if (a.path.size() != b.path.size()) return a.path.size() < b.path.size();
  return a.path < b.path;
}

std::vector<Group> findGroups(const std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify) {
  // Exact sets by SHA-256, each with its best member as representative.
  std::unordered_map<std::string, std::vector<std::size_t>> bySha;
  bySha.reserve(photos.size());
  for (std::size_t i = 0; i < photos.size(); ++i)
    if (photos[i].usable()) bySha[photos[i].sha].push_back(i);
  auto better = [&](std::size_t a, std::size_t b) { return keeperBefore(photos[a], photos[b]); };
  std::vector<std::size_t> reps;
  for (auto& [sha, members] : bySha) {
    std::sort(members.begin(), members.end(), better);
    reps.push_back(members.front());
  }
  std::sort(reps.begin(), reps.end());

  // Near candidates among the representatives, joined into components.
  std::vector<std::uint64_t> hashes;
  for (std::size_t r : reps) hashes.push_back(*photos[r].dhash);
  UnionFind uf(reps.size());
  for (auto [a, b] : nearPairs(hashes, radius)) uf.join(a, b);
  std::vector<const Photo*> repPhotos;
  for (std::size_t r : reps) repPhotos.push_back(&photos[r]);
  for (auto [a, b] : extraCandidatePairs(repPhotos)) uf.join(a, b);
  std::map<std::uint32_t, std::vector<std::size_t>> components;
  for (std::uint32_t k = 0; k < reps.size(); ++k) components[uf.find(k)].push_back(reps[k]);
  std::vector<std::vector<std::size_t>> candidates;
  for (auto& [root, members] : components) {
    if (members.size() < 2) continue;
    std::sort(members.begin(), members.end(), better);
    candidates.push_back(members);
  }
  std::map<std::size_t, float> dist;
  if (!candidates.empty()) dist = verify(candidates);

  std::vector<Group> groups;
  auto finish = [&](Group g) {
    for (std::size_t k = 1; k < g.members.size(); ++k) g.bytesFreed += photos[g.members[k].photo].bytes;
    groups.push_back(std::move(g));
  };
  std::unordered_map<std::string, bool> grouped;
  for (const auto& cand : candidates) {
    const Photo& keeper = photos[cand.front()];
    Group g;
    for (std::size_t m : bySha[keeper.sha]) g.members.push_back({m, m == cand.front(), true, 0.0f, 0});
    std::vector<Member> near;
    for (std::size_t k = 1; k < cand.size(); ++k) {
      auto d = dist.find(cand[k]);
      if (d == dist.end() || !(d->second < threshold)) continue;
      const int bits = std::popcount(*photos[cand[k]].dhash ^ *keeper.dhash);
      for (std::size_t m : bySha[photos[cand[k]].sha]) near.push_back({m, false, false, d->second, bits});
      grouped[photos[cand[k]].sha] = true;
    }
    if (near.empty()) continue;  // nothing confirmed: the keeper's own copies form an exact group below
    grouped[keeper.sha] = true;
    std::stable_sort(near.begin(), near.end(), [](const Member& a, const Member& b) { return a.dist < b.dist; });
    g.members.insert(g.members.end(), near.begin(), near.end());
    g.near = true;
    finish(std::move(g));
  }
  for (std::size_t r : reps) {
    const auto& members = bySha[photos[r].sha];
    if (members.size() < 2 || grouped.count(photos[r].sha)) continue;
    Group g;
    for (std::size_t m : members) g.members.push_back({m, m == r, true, 0.0f, 0});
    finish(std::move(g));
  }
  std::sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) {
    if (a.bytesFreed != b.bytesFreed) return a.bytesFreed > b.bytesFreed;
    return photos[a.members[0].photo].path < photos[b.members[0].photo].path;
  });
  return groups;
}

}  // namespace photodupes
