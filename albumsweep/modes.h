// The three modes of albumsweep. Each returns the process exit status; the
// caller ends the process with it (a scan may leave workers blocked in a
// library request, so the process must end with exit, not by returning
// through destructors).
#pragma once

#include "albumsweep/run_settings.h"
#include "albumsweep/services.h"

namespace albumsweep {

int runScanMode(const RunSettings& settings, Services& services);
int runThumbMode(const RunSettings& settings, Services& services);
int runSimverifyMode(const RunSettings& settings, Services& services);

// Dispatch on the mode word: "simverify", "thumb", anything else scans.
int runMode(const RunSettings& settings, Services& services);

}  // namespace albumsweep
