// What every albumsweep mode is given from outside: the photo library, the
// clock, the output stream, standard input and the time limits. Tests pass
// fakes and short limits; main() passes the real ones.
#pragma once

#include <cstdio>
#include <string>

#include "timing/clock.h"
#include "photolibrary/photo_library.h"

namespace albumsweep {

struct TimeLimits {
  timing::Seconds authorization{60.0};  // longest wait for the access answer
  timing::Seconds grace{30.0};          // wait past the deadline before a scan is abandoned
  timing::Seconds heartbeat{5.0};       // least time between heartbeat lines
  timing::Seconds poll{0.05};           // how often the scan's main thread looks at the queue
};

struct Services {
  photolibrary::PhotoLibrary* library = nullptr;  // not used by "simverify --files"
  timing::Clock* clock = nullptr;
  std::FILE* out = stdout;
  std::string input;                          // all of standard input
  TimeLimits limits;
};

}  // namespace albumsweep
