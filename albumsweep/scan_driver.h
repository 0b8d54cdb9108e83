// The scan mode from access check to closing lines: reads the skip
// manifest, takes the inventory, queues one operation per asset on a pool of
// worker threads, waits for the pool to drain or gives up a grace period
// after the deadline, and writes the stop and closing progress lines.
//
// Without cloud fetch the scan behaves as one worker taking the assets in
// turn (requests one at a time in index order, records in index order), but
// while one asset's request is made, the fingerprints of the assets before
// it are made on the other cores, and finished records wait in memory for
// the ones before them, up to a window of positions (scan_pipeline.h).
// With cloud fetch, 8 workers take the assets as they come. Either way no
// more fingerprints run at once than there are cores, within a memory
// budget.
//
// Locks: ioLock (ScanOutput), hbLock (ScanOutput), stopLock and readyLock
// (here) and the locks of the gate and the turns, each held only for its
// own few reads and writes; none is ever taken while another is held.
#pragma once

#include <memory>

#include "albumsweep/run_settings.h"
#include "albumsweep/services.h"
#include "albumsweep/worker_pool.h"

namespace albumsweep {

struct ScanRun {
  int status = 0;
  // The pool, shut down, with any worker still blocked in a library request
  // (an abandoned scan); null when the scan ended before the pool existed.
  // The program leaves such workers to the process exit; tests wait for
  // them before they tear down the library and clock.
  std::shared_ptr<WorkerPool> workers;
};

// The scan mode. Everything the workers touch is owned jointly by them, so
// returning (and exiting) while a worker still runs is safe; after the
// closing lines nothing more is written.
ScanRun runScan(const RunSettings& settings, Services& services);

}  // namespace albumsweep
