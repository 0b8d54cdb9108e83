// What lets the scan use every core while its output stays in index order:
// a bound on the fingerprints made at once (by cores and by memory), and
// the turns of the one-worker scan (requests one at a time in index order,
// records in index order, fingerprints in between on other threads).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/photo_library.h"

namespace albumsweep {

// Admits at most `slots` fingerprints at once, and together no more than
// `budgetBytes` of their estimated memory; one alone is always admitted
// when nothing else runs, however large.
class DecodeGate {
 public:
  DecodeGate(int slots, std::uint64_t budgetBytes) : freeSlots_(slots < 1 ? 1 : slots), budget_(budgetBytes) {}
  DecodeGate(const DecodeGate&) = delete;
  DecodeGate& operator=(const DecodeGate&) = delete;

  // The gate of this machine: one slot per core, a quarter of its memory.
  static std::unique_ptr<DecodeGate> forMachine();

  // Estimated peak memory of fingerprinting an asset of `bytes` bytes: the
  // bytes plus a full decode of its pixels.
  static std::uint64_t costOf(const platform::Asset& asset, std::int64_t bytes);

  void acquire(std::uint64_t cost);
  void release(std::uint64_t cost);

 private:
  std::mutex mu_;
  std::condition_variable freed_;
  int freeSlots_;
  int running_ = 0;
  const std::uint64_t budget_;
  std::uint64_t used_ = 0;
};

// The turns of the one-worker scan, for operations running on several
// threads at once: operation i makes its request after operation i - 1 has
// made (or skipped) its own, and writes its record after record i - 1 was
// written. Once abandoned, every wait returns false at once.
class ScanTurns {
 public:
  bool waitToRequest(std::int64_t i);
  void requestDone(std::int64_t i);  // passes the request turn to i + 1
  bool waitToWrite(std::int64_t i);
  void writeDone(std::int64_t i);  // passes the write turn to i + 1
  void abandon();

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::int64_t nextRequest_ = 0;
  std::int64_t nextWrite_ = 0;
  bool abandoned_ = false;
};

}  // namespace albumsweep
