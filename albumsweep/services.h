// What every albumsweep mode is given from outside: the photo library, the
// clock, the output stream, standard input and the time limits. Tests pass
// fakes and short limits; main() passes the real ones.
#pragma once

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/photo_library.h"

namespace albumsweep {

struct TimeLimits {
  platform::Seconds authorization{60.0};  // longest wait for the access answer
  platform::Seconds grace{30.0};          // wait past the deadline before a scan is abandoned
  platform::Seconds heartbeat{5.0};       // least time between heartbeat lines
  platform::Seconds poll{0.05};           // how often the scan's main thread looks at the queue
};

struct Services {
  platform::PhotoLibrary* library = nullptr;  // not used by "simverify --files"
  platform::Clock* clock = nullptr;
  std::FILE* out = stdout;
  std::string input;                          // all of standard input
  TimeLimits limits;
};

}  // namespace albumsweep
