// `photodupes scan`: runs `albumsweep` over the library, with a skip
// manifest of what the catalog already knows, and stores every record in
// the catalog as it arrives.
#pragma once

#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "photodupes/catalog.h"

namespace photodupes {

struct ScanRequest {
  std::string root;                // the library folder, absolute
  std::optional<double> deadline;  // seconds; none: scan to the end
  bool allowCloud = false;         // read files on network mounts and not-resident files
  std::string albumsweep;          // the program to run
  bool progress = false;           // draw a progress bar on `err` (a terminal)
  bool verbose = false;            // list every file that could not be read
  // The scan runs in rounds: albumsweep with this deadline, again and again
  // with what the rounds before stored in the skip manifest, until the
  // library is done. A file that hangs thus shows as a stall within a
  // round's deadline and its grace period. Infinity: one round, no deadline.
  double roundSeconds = 120;
  // How long photodupes' own look at the library's files (the stat of the
  // known photos, the walk for the folders not scanned) may go unanswered.
  std::chrono::milliseconds quiet{30000};
};

// Exit statuses of photodupes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // an error was printed
inline constexpr int kExitUsage = 2;

// Runs one scan; messages go to `err`, one line each, and one line counts
// the photos that could not be read, by reason (listed with `verbose`).
// Returns the exit status: 0 after a complete scan or one ended by its
// deadline, 1 after an error (access refused, albumsweep missing or
// failing, a scan that stalled or made no progress), 128 + the signal after
// SIGINT or SIGTERM, which keep what arrived.
int runScan(Catalog& catalog, const ScanRequest& request, std::FILE* err);

// The full path of a library identifier below `root`; nothing for an
// identifier that names no path inside it.
std::optional<std::string> pathOfIdentifier(const std::string& root, const std::string& id);

// What a user should do about a library access answer other than
// "authorized", as one sentence.
std::string accessAdvice(const std::string& answer, const std::string& root);

}  // namespace photodupes
