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
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "albumsweep/modes.h"
#include "albumsweep/run_settings.h"
#include "albumsweep/services.h"
#include "imaging/imaging.h"
#include "jsonlines/emit.h"
#include "jsonlines/text.h"
#include "platform/clock.h"
#include "platform/folder_library.h"
#include "platform/lockdown.h"

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
  jsonlines::makeStdoutLineBuffered();
  // A host that stops reading must not kill us with SIGPIPE mid-run; writes
  // then fail quietly and the run ends as usual.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv, argv + argc);
  platform::Clock& clock = platform::systemClock();
  const auto* settings = new albumsweep::RunSettings(albumsweep::parseRunSettings(args, clock.now()));

  imaging::initImaging();
  // From here on nothing but reading below the library (or, for
  // "simverify --files", reading anywhere): see platform/lockdown.h.
  const std::string root = platform::libraryRootFromArgs(args);
  platform::lockDown(
      platform::albumsweepPolicy(root, settings->mode == "simverify" && albumsweep::filesGiven(*settings)));

  auto* services = new albumsweep::Services;
  services->clock = &clock;
  services->out = stdout;
  services->input = jsonlines::readAll(STDIN_FILENO);
  services->library = platform::openFolderLibrary(root, albumsweep::networkAccessAllowed(*settings)).release();

  endProcess(albumsweep::runMode(*settings, *services));
}
