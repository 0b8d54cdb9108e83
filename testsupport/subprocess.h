// Runs a built program as a child process, the way the desktop host does:
// arguments on the command line, the whole request on standard input, then
// standard output and the exit status read back. For end-to-end tests.
#pragma once

#include <chrono>
#include <functional>
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
  std::chrono::milliseconds lastLineAt{0};  // when the last complete line of standard output came
};

// Where the child's standard output goes.
enum class OutputTo {
  kCaptured,    // a pipe read to its end into ProcessResult::out
  kDevFull,     // /dev/full: every write fails with ENOSPC
  kClosedPipe,  // a pipe whose reading end is closed: every write fails with EPIPE
};

struct RunOptions {
  std::string stdinData;
  OutputTo output = OutputTo::kCaptured;
  std::string workingDirectory;                       // empty: inherit
  std::vector<std::string> extraEnvironment;          // "NAME=value"
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  // Called with each complete line of standard output (without its line
  // feed) as it arrives, on the calling thread.
  std::function<void(const std::string&)> onLine;
};

// argv[0] is the program path. The child starts with SIGPIPE at its default
// action, as a host would start it.
ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the program with its standard output on /dev/full, then on a pipe
// whose reader has gone, and expects each run to end by itself with exit
// status 1 (not killed by SIGPIPE), writing nothing to standard error.
void expectUnwritableOutputEndsWithStatusOne(const std::vector<std::string>& argv, RunOptions options = {});

// Runs the program with XDG_RUNTIME_DIR, HOME and TMPDIR set to fresh empty
// folders and expects it to create nothing in them, nor a code generator's
// mapping file ("orcexec.*") in /tmp. (/tmp itself is shared with every
// other process, so only that name is looked for there.)
void expectCreatesNoFile(const std::vector<std::string>& argv, RunOptions options = {});

// Standard output split at line feeds; a trailing piece without a line feed
// is kept as the last element, so tests can tell a torn last line.
std::vector<std::string> splitLines(const std::string& text);

// Every line parsed as JSON; a line that does not parse fails the calling
// test (ADD_FAILURE) and is skipped.
std::vector<nlohmann::json> parseJsonLines(const std::string& text);

// Zero-separated list of items, as twinspot and the thumbnail mode read it.
std::string zeroJoined(const std::vector<std::string>& items);

}  // namespace testsupport
