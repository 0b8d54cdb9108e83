// What lets the scan use every core while its output stays in index order:
// a bound on the fingerprints made at once (by cores and by memory), and
// the turns of the one-worker scan (requests one at a time in index order,
// records in index order, fingerprints in between on other threads).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "photolibrary/photo_library.h"

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
  static std::uint64_t costOf(const photolibrary::Asset& asset, std::int64_t bytes);

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
// threads at once. Positions are claimed in index order by whoever holds the
// request turn, which is held until its request has been made, and at most
// `window` positions ahead of the first record not yet written. Records go
// out in index order: a finished position whose record cannot go out yet is
// left ready (its record kept by the caller), and whoever writes the record
// before it writes it too, so that no thread waits behind a slow photo.
// Once abandoned, every wait gives up at once and nothing more is written.
class ScanTurns {
 public:
  explicit ScanTurns(std::int64_t planned = 0, std::int64_t window = 1) : planned_(planned), window_(window) {}
  void setPlanned(std::int64_t planned) { planned_ = planned; }
  void setWindow(std::int64_t window) { window_ = window < 1 ? 1 : window; }

  // Waits for the request turn and for room in the window, and claims the
  // next position, holding the turn; nothing (and the turn not held) once
  // abandoned or when every position has been claimed.
  std::optional<std::int64_t> claim();
  // With the turn held: waits for room in the window and claims the next
  // position without letting go of the turn; nothing (and the turn let go)
  // as claim().
  std::optional<std::int64_t> claimNext();
  void requestDone();  // lets go of the request turn

  // Position i is finished and its record kept where the writer finds it.
  // True when the caller is now the writer and writes record i itself
  // (every record before it is out and no one else is writing).
  bool finished(std::int64_t i);
  // The writer has written record i: the next position to write, still as
  // the writer, when it is already finished; nothing (no longer the writer)
  // when it is not, or once abandoned.
  std::optional<std::int64_t> written(std::int64_t i);
  void abandon();

 private:
  std::optional<std::int64_t> claimLocked(std::unique_lock<std::mutex>& g);  // caller holds mu_ and the turn

  std::mutex mu_;
  std::condition_variable requestFree_;
  std::condition_variable windowMoved_;  // a record went out, or abandoned
  std::int64_t planned_;
  std::int64_t window_;
  bool requestHeld_ = false;
  std::int64_t nextRequest_ = 0;
  std::int64_t nextWrite_ = 0;  // the first record not written
  bool writing_ = false;        // someone is the writer
  std::set<std::int64_t> ready_;  // finished, above nextWrite_, record not written
  bool abandoned_ = false;
};

}  // namespace albumsweep
