#include "albumsweep/scan_driver.h"

#include <mutex>
#include <optional>
#include <vector>

#include "albumsweep/auth.h"
#include "albumsweep/inventory.h"
#include "albumsweep/modes.h"
#include "albumsweep/scan_output.h"
#include "albumsweep/scan_worker.h"
#include "albumsweep/skip_manifest.h"

namespace albumsweep {
namespace {

constexpr int kLocalWorkers = 1;  // strictly one asset at a time, in order
constexpr int kCloudWorkers = 8;  // downloads overlap

// Everything the queued operations share. Written before the first
// operation is queued and read-only afterwards, except stoppedAt (stopLock)
// and what ScanOutput guards itself.
struct ScanState {
  RunSettings settings;
  platform::Clock* clock = nullptr;
  SkipManifest skip;
  std::vector<platform::Asset> assets;  // the first `planned` images, newest first
  std::unique_ptr<ScanOutput> output;
  ScanContext context;

  std::mutex stopLock;
  std::optional<std::int64_t> stoppedAt;  // guarded by stopLock
};

// The operation queued for position i: skips the asset once a stop has been
// recorded or the output has failed, records a stop when the deadline has
// passed, else scans it.
void guardedScan(ScanState& s, std::int64_t i) {
  if (s.output->writeFailed()) return;
  {
    std::lock_guard<std::mutex> g(s.stopLock);
    if (s.stoppedAt) return;
  }
  if (deadlinePassed(s.settings, s.clock->now())) {
    std::lock_guard<std::mutex> g(s.stopLock);
    if (!s.stoppedAt || i < *s.stoppedAt) s.stoppedAt = i;
    return;
  }
  scanOne(i, s.assets[static_cast<std::size_t>(i)], s.context);
}

}  // namespace

ScanRun runScan(const RunSettings& settings, Services& services) {
  if (std::optional<int> refused = ensureAuth(services)) return {*refused, nullptr};

  auto state = std::make_shared<ScanState>();
  state->skip = readSkipManifest(services.input);

  Inventory inventory = takeInventory(*services.library, settings.maxAssets);
  if (!jsonlines::emit(totalsRecord(inventory), services.out)) return {jsonlines::kExitOutputFailed, nullptr};
  if (inventory.assets.empty()) return {std::fflush(services.out) == 0 ? 0 : jsonlines::kExitOutputFailed, nullptr};

  // Set-up.
  const std::int64_t planned = inventory.planned;
  platform::Clock& clock = *services.clock;
  state->settings = settings;
  state->clock = &clock;
  state->assets = std::move(inventory.assets);
  state->assets.resize(static_cast<std::size_t>(planned));
  state->output = std::make_unique<ScanOutput>(services.out, clock, planned, services.limits.heartbeat);
  state->context = {services.library, settings.allowCloudFetch, &state->skip, state->output.get()};
  std::shared_ptr<WorkerPool> pool = WorkerPool::start(settings.allowCloudFetch ? kCloudWorkers : kLocalWorkers);

  // Queueing makes the set-up visible to the workers (the pool's lock).
  for (std::int64_t i = 0; i < planned; ++i) pool->add([state, i] { guardedScan(*state, i); });

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
  std::int64_t doneCount = state->output->closeAndCount();
  if (state->output->writeFailed()) return {jsonlines::kExitOutputFailed, pool};  // nothing more is written
  std::optional<std::int64_t> sAt;
  {
    std::lock_guard<std::mutex> g(state->stopLock);
    sAt = state->stoppedAt;
  }
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
