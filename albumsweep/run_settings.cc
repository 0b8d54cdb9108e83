#include "albumsweep/run_settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace albumsweep {

std::optional<std::int64_t> int64FromString(const std::string& token) {
  // Optional sign, then one or more decimal digits, nothing else.
  std::size_t start = (!token.empty() && (token[0] == '+' || token[0] == '-')) ? 1 : 0;
  if (start == token.size()) return std::nullopt;
  for (std::size_t k = start; k < token.size(); ++k)
    if (token[k] < '0' || token[k] > '9') return std::nullopt;
  // from_chars takes a leading '-' but not '+'.
  const char* first = token.data() + (token[0] == '+' ? 1 : 0);
  const char* last = token.data() + token.size();
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return std::nullopt;  // out of the 64-bit range
  return value;
}

std::optional<double> secondsFromString(const std::string& token) {
  if (token.empty()) return std::nullopt;
  switch (token[0]) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
      return std::nullopt;
    default:
      break;
  }
  // strtod's grammar in the "C" locale (the program never changes its
  // locale): decimal, hexadecimal, infinity and not-a-number spellings. Out
  // of range values come back as +-HUGE_VAL (infinity) or a tiny value and
  // are taken as such.
  const char* begin = token.c_str();
  char* end = nullptr;
  double value = std::strtod(begin, &end);
  if (end != begin + token.size()) return std::nullopt;  // must use the whole token (no inner NUL either)
  return value;
}

namespace {

// now + seconds, or nothing when the sum is beyond what the clock can hold
// (an infinite deadline, or one centuries away): such a deadline never
// passes.
std::optional<timing::WallTime> deadlineAfter(timing::WallTime now, double seconds) {
  if (!std::isfinite(seconds)) return std::nullopt;
  double room = std::chrono::duration<double>(timing::WallTime::max() - now).count();
  if (seconds >= room - 1.0) return std::nullopt;
  return now + std::chrono::duration_cast<timing::WallTime::duration>(timing::Seconds(seconds));
}

}  // namespace

RunSettings parseRunSettings(const std::vector<std::string>& args, timing::WallTime now) {
  RunSettings s;
  s.args = args;
  if (args.size() >= 2 && args[1].rfind("--", 0) != 0) s.mode = args[1];

  // Every token is examined, the program path and mode word included. A
  // value token is not consumed: it is examined as an option in its turn.
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& t = args[i];
    bool hasNext = i + 1 < args.size();
    if (t == "--max" && hasNext) {
      if (auto v = int64FromString(args[i + 1])) s.maxAssets = std::max<std::int64_t>(*v, 1);
    }
    if (t == "--deadline" && hasNext) {
      if (auto v = secondsFromString(args[i + 1])) s.deadlineSeconds = std::fmax(*v, 1.0);
    }
    if (t == "--allow-cloud") s.allowCloudFetch = true;
  }
  s.deadline = deadlineAfter(now, s.deadlineSeconds);
  return s;
}

bool networkAccessAllowed(const RunSettings& settings) {
  return settings.allowCloudFetch && settings.mode != "thumb" && settings.mode != "simverify";
}

bool deadlinePassed(const RunSettings& settings, timing::WallTime now) {
  return settings.deadline && now > *settings.deadline;
}

bool filesGiven(const RunSettings& settings) {
  return std::find(settings.args.begin(), settings.args.end(), "--files") != settings.args.end();
}

}  // namespace albumsweep
