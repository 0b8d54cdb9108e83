#include "albumsweep/scan_driver.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <optional>
#include <vector>

#include "albumsweep/auth.h"
#include "albumsweep/inventory.h"
#include "albumsweep/modes.h"
#include "albumsweep/scan_output.h"
#include "albumsweep/scan_pipeline.h"
#include "albumsweep/scan_worker.h"
#include "albumsweep/skip_manifest.h"
#include "imaging/imaging.h"

namespace albumsweep {
namespace {

constexpr int kCloudWorkers = 8;  // downloads overlap

// Threads of the one-worker scan: one fingerprint running on every core and
// one thread making the next request (and then waiting for the gate).
// Finished records wait for their turn in memory, not on a thread.
int localWidth() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) + 1; }

// How far the one-worker scan claims ahead of the first record not yet
// written, per core. Behind a photo that takes a second or more (a 12
// megapixel HEIF decoded on one thread, a 24 megapixel progressive JPEG),
// the other cores go on with the photos after it, and small ones take a
// few milliseconds each: a window of a few positions would leave them
// idle after a few dozen milliseconds. A waiting record holds its 256-pixel
// thumbnail as text, some 10 to 30 KB: 64 per core cost a few megabytes.
constexpr std::int64_t kAheadPerCore = 64;

std::int64_t localWindow() {
  return kAheadPerCore * static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency())) + 1;
}

// Everything the queued operations share. Written before the first
// operation is queued and read-only afterwards, except stoppedAt (stopLock)
// and what ScanOutput, the gate and the turns guard themselves.
struct ScanState {
  RunSettings settings;
  timing::Clock* clock = nullptr;
  SkipManifest skip;
  std::vector<photolibrary::Asset> assets;  // the first `planned` images, newest first
  std::unique_ptr<ScanOutput> output;
  std::unique_ptr<DecodeGate> gate;
  ScanTurns turns;  // the one-worker scan only
  ScanContext context;

  // The one-worker scan's finished positions whose record waits for the
  // ones before it (turns.finished), with what their records need.
  std::mutex readyLock;
  std::map<std::int64_t, PreparedAsset> readyRecords;  // guarded by readyLock

  std::mutex stopLock;
  std::optional<std::int64_t> stoppedAt;  // guarded by stopLock
};

// The checks before position i starts: false once a stop has been recorded
// or the output has failed, and false (recording the stop) when the deadline
// has passed.
bool mayStart(ScanState& s, std::int64_t i) {
  if (s.output->writeFailed()) return false;
  {
    std::lock_guard<std::mutex> g(s.stopLock);
    if (s.stoppedAt) return false;
  }
  if (deadlinePassed(s.settings, s.clock->now())) {
    std::lock_guard<std::mutex> g(s.stopLock);
    if (!s.stoppedAt || i < *s.stoppedAt) s.stoppedAt = i;
    return false;
  }
  return true;
}

// The operation of position i with cloud fetch: the checks, then the whole
// asset on this worker.
void guardedScan(ScanState& s, std::int64_t i) {
  if (mayStart(s, i)) scanOne(i, s.assets[static_cast<std::size_t>(i)], s.context);
}

// Position i of the one-worker scan is finished: its record goes out now
// when every record before it is out, else it waits in readyRecords, and
// whoever writes the record before it writes it too, with every finished
// one after it.
void finishPosition(ScanState& s, std::int64_t i, PreparedAsset p) {
  {
    std::lock_guard<std::mutex> g(s.readyLock);
    s.readyRecords.emplace(i, std::move(p));
  }
  if (!s.turns.finished(i)) return;
  for (std::optional<std::int64_t> next = i; next; next = s.turns.written(*next)) {
    PreparedAsset record;
    {
      std::lock_guard<std::mutex> g(s.readyLock);
      auto at = s.readyRecords.find(*next);
      record = std::move(at->second);
      s.readyRecords.erase(at);
    }
    writeRecord(*next, s.assets[static_cast<std::size_t>(*next)], record, s.context);
  }
}

// An operation of the one-worker scan. It claims the next position when
// the request of the one before has been made, makes the same checks and
// the request a single worker taking the assets in turn would make, then
// lets the next operation claim while it makes the fingerprint, and hands
// its record to finishPosition. An asset with nothing to fingerprint (a
// cache hit, a failure) keeps the request turn and goes on with the next
// position, so that a re-scan does not pass every asset between threads.
// A request that never returns holds every later request and record, as it
// would hold the one worker.
void pipelinedScan(ScanState& s) {
  for (std::optional<std::int64_t> claimed = s.turns.claim(); claimed;) {
    const std::int64_t i = *claimed;
    if (!mayStart(s, i)) {
      s.turns.requestDone();
      return;
    }
    const photolibrary::Asset& asset = s.assets[static_cast<std::size_t>(i)];
    PreparedAsset p = requestAsset(asset, s.context);
    if (!p.toFingerprint) {
      finishPosition(s, i, std::move(p));
      claimed = s.turns.claimNext();
      continue;
    }
    // The gate is entered in index order, so a fingerprint waiting for it
    // waits only for earlier ones, which never wait for it.
    std::uint64_t cost = DecodeGate::costOf(asset, p.toFingerprint->size());
    s.gate->acquire(cost);
    s.turns.requestDone();
    fingerprint(p);
    s.gate->release(cost);
    finishPosition(s, i, std::move(p));
    return;
  }
}

// The inventory, taken on a thread of its own: the walk of a library whose
// storage stops answering (a folder listing or a file's metadata on a dead
// mount) can hang, and the scan must still answer within its deadline and
// grace period. Nothing when it has not come by then; the thread is left
// to the process exit, and whatever it finds later is not read.
std::optional<Inventory> takeInventoryWithin(const RunSettings& settings, Services& services) {
  struct Cell {
    std::mutex mu;
    bool done = false;
    Inventory inventory;
  };
  auto cell = std::make_shared<Cell>();
  std::thread([cell, library = services.library, maxAssets = settings.maxAssets] {
    Inventory inventory = takeInventory(*library, maxAssets);
    std::lock_guard<std::mutex> g(cell->mu);
    cell->inventory = std::move(inventory);
    cell->done = true;
  }).detach();
  for (;;) {
    {
      std::lock_guard<std::mutex> g(cell->mu);
      if (cell->done) return std::move(cell->inventory);
    }
    if (settings.deadline && services.clock->now() - *settings.deadline > services.limits.grace) return std::nullopt;
    services.clock->sleepFor(services.limits.poll);
  }
}

}  // namespace

ScanRun runScan(const RunSettings& settings, Services& services) {
  if (std::optional<int> refused = ensureAuth(services)) return {*refused, nullptr};

  auto state = std::make_shared<ScanState>();
  state->skip = readSkipManifest(services.input);

  std::optional<Inventory> taken = takeInventoryWithin(settings, services);
  if (!taken) {
    // The library never answered: nothing is known of it, and the run is a
    // stall before its first position.
    bool written = jsonlines::emit(totalsRecord(Inventory{}), services.out) &&
                   jsonlines::emit({{"stop", "stalled"}, {"at", std::int64_t{0}}}, services.out) &&
                   jsonlines::emit({{"progress", std::int64_t{0}}, {"of", std::int64_t{0}}}, services.out) &&
                   std::fflush(services.out) == 0;
    return {written ? 0 : jsonlines::kExitOutputFailed, nullptr};
  }
  Inventory inventory = std::move(*taken);
  if (!jsonlines::emit(totalsRecord(inventory), services.out)) return {jsonlines::kExitOutputFailed, nullptr};
  if (inventory.assets.empty()) return {std::fflush(services.out) == 0 ? 0 : jsonlines::kExitOutputFailed, nullptr};

  // Set-up.
  const std::int64_t planned = inventory.planned;
  timing::Clock& clock = *services.clock;
  state->settings = settings;
  state->clock = &clock;
  state->assets = std::move(inventory.assets);
  state->assets.resize(static_cast<std::size_t>(planned));
  state->output = std::make_unique<ScanOutput>(services.out, clock, planned, services.limits.heartbeat);
  // The gate admits one fingerprint per core, so each decode keeps to one
  // thread: together they fill the cores without oversubscribing them.
  state->gate = DecodeGate::forMachine();
  imaging::setThreadsPerDecode(1);
  state->context = {services.library, settings.allowCloudFetch, &state->skip, state->output.get(),
                    state->gate.get()};
  const bool cloud = settings.allowCloudFetch;
  std::shared_ptr<WorkerPool> pool = WorkerPool::start(cloud ? kCloudWorkers : localWidth());

  // Queueing makes the set-up visible to the workers (the pool's lock).
  state->turns.setPlanned(planned);
  state->turns.setWindow(localWindow());
  for (std::int64_t i = 0; i < planned; ++i) {
    if (cloud) pool->add([state, i] { guardedScan(*state, i); });
    else pool->add([state] { pipelinedScan(*state); });
  }

  // Wait for the pool to drain; give up a grace period after the deadline.
  // Once the output has failed no new asset starts (the queue is dropped);
  // the running ones finish or are abandoned as at a stall.
  bool stalled = false;
  while (pool->operationCount() > 0) {
    if (settings.deadline && clock.now() - *settings.deadline > services.limits.grace) {
      stalled = true;
      break;
    }
    if (state->output->writeFailed()) pool->shutDown();
    clock.sleepFor(services.limits.poll);
  }

  // Nothing new starts, and from here on no worker writes a line.
  pool->shutDown();
  state->turns.abandon();
  std::int64_t doneCount = state->output->closeAndCount();
  if (state->output->writeFailed()) return {jsonlines::kExitOutputFailed, pool};  // nothing more is written
  std::optional<std::int64_t> sAt;
  {
    std::lock_guard<std::mutex> g(state->stopLock);
    sAt = state->stoppedAt;
  }
  // The one-worker scan writes its records in index order, so doneCount is
  // also the first position without a record. When the wait was abandoned,
  // that position's request, read or fingerprint never finished: the stop
  // is a stall there, unless a deadline stop was recorded at or below it.
  // A deadline stop recorded further on (by a position claimed while the
  // hung one was being read) would claim records that were never written.
  // With cloud fetch the workers finish out of order, and a recorded
  // deadline stop stands.
  if (stalled && !cloud && sAt && doneCount < *sAt) sAt.reset();
  bool written = true;
  if (sAt) {
    written = state->output->emitClosing({{"stop", "deadline"}, {"at", *sAt}});
  } else if (stalled) {
    written = state->output->emitClosing({{"stop", "stalled"}, {"at", doneCount}});
  }
  written = written && state->output->emitClosing({{"progress", doneCount}, {"of", planned}});
  return {written ? 0 : jsonlines::kExitOutputFailed, pool};
}

int runScanMode(const RunSettings& settings, Services& services) { return runScan(settings, services).status; }

int runMode(const RunSettings& settings, Services& services) {
  if (settings.mode == "simverify") return runSimverifyMode(settings, services);
  if (settings.mode == "thumb") return runThumbMode(settings, services);
  return runScanMode(settings, services);
}

}  // namespace albumsweep
