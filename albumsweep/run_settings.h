// albumsweep's command line: the mode word and the run settings, read once
// at start-up and only read afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace albumsweep {

struct RunSettings {
  std::vector<std::string> args;  // program path first
  std::string mode = "scan";
  std::int64_t maxAssets = 20000;
  double deadlineSeconds = 240.0;
  std::optional<platform::WallTime> deadline;  // none: never passes
  bool allowCloudFetch = false;
};

// Reads the command line; `now` is the start time the deadline counts from.
RunSettings parseRunSettings(const std::vector<std::string>& args, platform::WallTime now);

// Whether the deadline has passed at `now`.
bool deadlinePassed(const RunSettings& settings, platform::WallTime now);

}  // namespace albumsweep
