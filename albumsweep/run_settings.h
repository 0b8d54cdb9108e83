// albumsweep's command line: the mode word and the run settings, read once
// at start-up and only read afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "timing/clock.h"

namespace albumsweep {

struct RunSettings {
  std::vector<std::string> args;  // program path first
  std::string mode = "scan";
  std::int64_t maxAssets = 20000;
  double deadlineSeconds = 240.0;
  std::optional<timing::WallTime> deadline;  // none: never passes
  bool allowCloudFetch = false;
};

// Reads the command line; `now` is the start time the deadline counts from.
// Unknown tokens and unusable values are ignored; the last usable occurrence
// of an option wins. A deadline too far away for the clock (an infinite
// "--deadline", or one centuries away) is no deadline at all.
RunSettings parseRunSettings(const std::vector<std::string>& args, timing::WallTime now);

// An optional sign and one or more decimal digits within the signed 64-bit
// range, nothing else; otherwise nothing.
std::optional<std::int64_t> int64FromString(const std::string& token);

// A number of seconds in strtod's grammar (C locale) that uses up the whole
// token; nothing for an empty token or one that starts with white space.
std::optional<double> secondsFromString(const std::string& token);

// Whether the run may read data that is not on local storage (files on
// network mounts): only a scan with "--allow-cloud"; the thumbnail and
// verification modes use local data alone.
bool networkAccessAllowed(const RunSettings& settings);

// Whether the deadline has passed at `now` (strictly later than it).
bool deadlinePassed(const RunSettings& settings, timing::WallTime now);

// Whether "--files" is on the command line: the verification mode then reads
// image files by path, anywhere, and never the library.
bool filesGiven(const RunSettings& settings);

}  // namespace albumsweep
