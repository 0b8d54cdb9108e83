// albumsweep: scans a photo library into JSON lines on standard output,
// renders thumbnails of chosen assets, or verifies groups of similar photos.
//
// How the process ends: with _exit after an explicit flush of standard
// output, never by returning from main or calling exit. A scan that gave up
// waiting may leave worker threads blocked in a library request; exit()
// would run static destructors (libvips, the C++ runtime, our own statics)
// under those threads and could crash them, or let them write after the
// closing lines. _exit ends every thread at once and runs nothing. All the
// state that matters lives on the heap and is deliberately never freed.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "albumsweep/modes.h"
#include "albumsweep/run_settings.h"
#include "albumsweep/services.h"
#include "imaging/heap.h"
#include "imaging/imaging.h"
#include "jsonlines/emit.h"
#include "jsonlines/text.h"
#include "timing/clock.h"
#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_storage.h"
#include "lockdown/lockdown.h"

namespace {

[[noreturn]] void endProcess(int status) {
  std::fflush(stdout);
  _exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  // One malloc arena per four cores rather than glibc's eight per core: a
  // scan runs a dozen threads (workers, decoders), and each arena keeps the
  // free memory its own threads' largest pictures left behind, so with more
  // arenas the peak kept creeping up over the first thousand photos, by
  // several megabytes per arena. Sharing one cost nothing measurable on two
  // cores: 98% of a scan's allocations are small blocks, which each
  // thread's own cache serves without taking the arena's lock, so an arena
  // shared by four cores still rarely makes one wait.
  mallopt(M_ARENA_MAX, static_cast<int>(std::max(1u, std::thread::hardware_concurrency() / 4)));
  imaging::keepPictureMemoryInHeap();
  jsonlines::makeStdoutLineBuffered();
  // A host that stops reading must not kill us with SIGPIPE mid-run; writes
  // then fail quietly and the run ends as usual.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv, argv + argc);
  timing::Clock& clock = timing::systemClock();
  const auto* settings = new albumsweep::RunSettings(albumsweep::parseRunSettings(args, clock.now()));

  imaging::initImaging();
  auto* services = new albumsweep::Services;
  services->clock = &clock;
  services->out = stdout;

  // Access first, before the lock-down and before standard input: the
  // library folder is opened and judged on a thread of its own, within the
  // bound on the access answer, because its lookup can hang (a dead network
  // mount). The lock-down's rule for the library is made from that
  // descriptor, so the main thread never looks the folder up itself.
  const bool filesAnywhere = settings->mode == "simverify" && albumsweep::filesGiven(*settings);
  const std::string root = photolibrary::libraryRootFromArgs(args);
  photolibrary::folder::RootAccess access;
  if (!filesAnywhere) {
    access = photolibrary::folder::judgeRootAccess(
        root, std::chrono::duration_cast<std::chrono::milliseconds>(services->limits.authorization));
  }

  // From here on nothing but reading below the library (or, for
  // "simverify --files", reading anywhere): see lockdown/lockdown.h.
  lockdown::LockdownPolicy policy = lockdown::albumsweepPolicy("", filesAnywhere);
  if (access.status != photolibrary::AuthorizationStatus::kNotDetermined)
    policy.readBeneathOpen.push_back({access.fd, true});
  const bool refused = !filesAnywhere && access.status != photolibrary::AuthorizationStatus::kAuthorized;

  // Where the library is on storage that can hang (a network or FUSE
  // mount), its files are read by a reader process, started now while this
  // one is a single thread and may still start processes, and locked down
  // as this one is: a read that never returns then holds that process, and
  // this one can still end when it has given up (photolibrary/reader_process.h).
  // A library on local disks has none.
  std::shared_ptr<photolibrary::reader::Process> reader;
  if (!refused && !filesAnywhere && access.risk.any()) {
    reader = photolibrary::startFolderReader(root, albumsweep::networkAccessAllowed(*settings), settings->deadline,
                                             [policy] { lockdown::lockDown(policy); });
  }
  lockdown::lockDown(policy);

  // A refused run ends at its access line without reading standard input.
  if (!refused) services->input = jsonlines::readAll(STDIN_FILENO);
  photolibrary::FolderLibraryProbes probes;
  probes.access = [status = access.status](const std::string&) { return status; };
  probes.hangRisk = access.risk;
  probes.reader = reader;
  // A scan reads photo headers for its inventory only until its deadline.
  services->library = photolibrary::openFolderLibrary(root, std::move(probes),
                                                      albumsweep::networkAccessAllowed(*settings), settings->deadline)
                          .release();

  endProcess(albumsweep::runMode(*settings, *services));
}
