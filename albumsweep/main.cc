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

#include <csignal>
#include <cstdio>
#include <string>
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
  // Pictures' buffers (file bytes, decoded pixels) come and go by the
  // megabyte while the inventory's small blocks stay for the whole run.
  // glibc would otherwise raise its mmap threshold after the first such
  // buffer and carve the later ones from the heap, where the small blocks
  // that land between them keep the freed pages from going back: peak
  // memory then grew by about 3 KB per photo. A fixed threshold maps every
  // block above it and unmaps it on free, so peak memory stays flat, at the
  // cost of fresh pages for each picture (about 1 ms of system time for a
  // small photo, next to nothing for a 12-megapixel one).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
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
