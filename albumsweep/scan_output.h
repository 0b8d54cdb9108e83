// The scan's shared output channel: every line written once the workers run
// goes out under one lock (ioLock), which also guards the count of finished
// assets. Adds the worker progress line and the rate-limited heartbeat.
//
// Once the driver has closed the channel (closeAndCount), later writers of
// records, progress lines and heartbeats write nothing: a worker still
// blocked in a library request when the scan ends can never add a line after
// the closing lines. A write that fails (a full disk, a reader gone) closes
// the channel too and marks it failed: the scan then starts no new asset.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "jsonlines/emit.h"
#include "timing/clock.h"

namespace albumsweep {

class ScanOutput {
 public:
  // `planned` is the "of" of every progress line. The heartbeat interval
  // starts now (clock.now()).
  ScanOutput(std::FILE* out, timing::Clock& clock, std::int64_t planned, timing::Seconds heartbeatInterval);

  ScanOutput(const ScanOutput&) = delete;
  ScanOutput& operator=(const ScanOutput&) = delete;

  // Under ioLock: writes the record as one line, unless the channel is closed.
  void emitLocked(const jsonlines::Record& record);

  // Under ioLock: counts one finished asset and writes {"progress","of"}
  // when the new count is a multiple of 10 or equals `planned`.
  void finishOne();

  // Writes {"progress": finished, "of": planned} if at least the heartbeat
  // interval has passed since the last heartbeat (or since set-up). Takes
  // hbLock for the time check, releases it, then takes ioLock for the line.
  void heartbeatTick();

  // Under ioLock: closes the channel to every other writer and returns the
  // final count of finished assets.
  std::int64_t closeAndCount();

  // Under ioLock: writes a closing line even though the channel is closed,
  // then flushes. For the driver's own last lines only. False when the
  // write failed.
  bool emitClosing(const jsonlines::Record& record);

  // Whether a write has failed. Lock-free, for the checks before each asset.
  bool writeFailed() const { return writeFailed_.load(std::memory_order_relaxed); }

  std::int64_t planned() const { return planned_; }

 private:
  void writeProgressLocked();                          // caller holds ioLock_
  void writeLocked(const jsonlines::Record& record);  // caller holds ioLock_

  std::FILE* const out_;
  timing::Clock& clock_;
  const std::int64_t planned_;
  const timing::Seconds heartbeatInterval_;

  std::mutex ioLock_;
  std::int64_t finished_ = 0;  // guarded by ioLock_
  bool closed_ = false;        // guarded by ioLock_
  std::atomic<bool> writeFailed_{false};  // set under ioLock_, with closed_

  std::mutex hbLock_;
  timing::WallTime lastHeartbeatAt_;  // guarded by hbLock_
};

}  // namespace albumsweep
