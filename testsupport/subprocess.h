// Runs a built program as a child process, the way the desktop host does:
// arguments on the command line, the whole request on standard input, then
// standard output and the exit status read back. For end-to-end tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testsupport {

struct ProcessResult {
  std::string out;            // everything written to standard output
  std::string err;            // everything written to standard error
  int exitStatus = -1;        // exit status, or -1 when killed by a signal
  int signal = 0;             // the signal that ended it, 0 if it exited
  bool timedOut = false;      // killed after the time limit
  std::chrono::milliseconds elapsed{0};
};

struct RunOptions {
  std::string stdinData;
  std::string workingDirectory;                       // empty: inherit
  std::vector<std::string> extraEnvironment;          // "NAME=value"
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
};

// argv[0] is the program path.
ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// Standard output split at line feeds; a trailing piece without a line feed
// is kept as the last element, so tests can tell a torn last line.
std::vector<std::string> splitLines(const std::string& text);

// Every line parsed as JSON; a line that does not parse fails the calling
// test (ADD_FAILURE) and is skipped.
std::vector<nlohmann::json> parseJsonLines(const std::string& text);

// Zero-separated list of items, as twinspot and the thumbnail mode read it.
std::string zeroJoined(const std::vector<std::string>& items);

}  // namespace testsupport
