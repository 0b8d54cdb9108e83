// albumsweep's command line as a host may write it: the input split at zero
// bytes is the argument vector after the program path.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "albumsweep/run_settings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"

namespace {

// The token grammar of --max, written out independently: an optional sign,
// then decimal digits only, within the signed 64-bit range.
std::optional<std::int64_t> referenceInt64(const std::string& t) {
  std::size_t k = (!t.empty() && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
  if (k == t.size()) return std::nullopt;
  for (std::size_t j = k; j < t.size(); ++j)
    if (t[j] < '0' || t[j] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno == ERANGE) return std::nullopt;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args = fuzz::splitAtZero({reinterpret_cast<const char*>(data), size});
  args.insert(args.begin(), "albumsweep");
  const timing::WallTime now{std::chrono::hours(24 * 365 * 56)};
  albumsweep::RunSettings s = albumsweep::parseRunSettings(args, now);

  FUZZ_CHECK(s.args == args, "the arguments are kept as given");
  FUZZ_CHECK(s.maxAssets >= 1, "--max is at least 1");
  FUZZ_CHECK(s.deadlineSeconds >= 1.0, "--deadline is at least 1 and never NaN");
  FUZZ_CHECK(!s.deadline || *s.deadline >= now, "a deadline never lies in the past");
  FUZZ_CHECK(!albumsweep::deadlinePassed(s, now), "no deadline has passed at the start");
  const double secs = s.deadlineSeconds;
  FUZZ_CHECK(std::isfinite(secs) || !s.deadline, "an infinite deadline is none");
  FUZZ_CHECK(!(std::isfinite(secs) && secs <= 1e9) || s.deadline, "a deadline within 30 years is kept");
  const std::string expectedMode = args.size() >= 2 && args[1].rfind("--", 0) != 0 ? args[1] : "scan";
  FUZZ_CHECK(s.mode == expectedMode, "the mode is the first argument unless it is an option");
  bool cloud = false;
  for (const std::string& a : args) cloud = cloud || a == "--allow-cloud";
  FUZZ_CHECK(s.allowCloudFetch == cloud, "--allow-cloud anywhere switches cloud fetches on");

  for (const std::string& token : args) {
    FUZZ_CHECK(albumsweep::int64FromString(token) == referenceInt64(token), "int64FromString follows its grammar");
    if (std::optional<double> seconds = albumsweep::secondsFromString(token)) {
      FUZZ_CHECK(!token.empty() && token.find('\0') == std::string::npos, "a number is a whole, non-empty token");
      char* end = nullptr;
      double again = std::strtod(token.c_str(), &end);
      FUZZ_CHECK(end == token.c_str() + token.size(), "the whole token is the number");
      FUZZ_CHECK((std::isnan(again) && std::isnan(*seconds)) || again == *seconds, "the value is strtod's");
    }
  }
  return 0;
}
