// Runs one of our protocol programs as a child process, as their host does:
// the request written to its standard input (then closed), its standard
// output read line by line as it arrives, and its exit status.
//
// The child never outlives photodupes: it asks the kernel for SIGKILL when
// its parent dies (PR_SET_PDEATHSIG). Its standard error stays ours.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace photodupes {

struct ChildResult {
  std::string startError;    // not empty: the program could not be started (why)
  int exitStatus = -1;       // its exit status, or -1 when a signal ended it
  int signal = 0;            // the signal that ended it
  bool stoppedByUs = false;  // onLine asked to stop; the child was killed
};

// Starts argv[0] with argv, writes `input` to its standard input, and calls
// onLine with every line of its standard output (without the line feed; a
// last piece without one is passed too). When onLine returns false the
// child is killed and no more lines are passed. Returns once the child has
// ended and been reaped, or, for a child killed that way, after 2 seconds
// at most (one blocked in a read of a dead mount cannot end before the read
// returns): it is then left behind, reported as killed by SIGKILL.
ChildResult runChild(const std::vector<std::string>& argv, std::string_view input,
                     const std::function<bool(std::string_view line)>& onLine);

// runChild for the programs that answer in JSON lines: every line is
// parsed and passed to onRecord. A line that is not a JSON object ends the
// child; `problem` then quotes it. Otherwise `problem` describes a child that
// could not start or did not end well (empty after a clean exit, or when
// onRecord returned false: the caller says why). `what` names the program.
struct JsonChildResult {
  ChildResult child;
  std::string problem;
};
JsonChildResult runJsonChild(const std::vector<std::string>& argv, std::string_view input, const std::string& what,
                             const std::function<bool(nlohmann::json& record)>& onRecord);

// One line of error text for a child that did not end well, or empty when
// it exited with status 0. `what` names the program ("albumsweep at /x").
std::string describeFailure(const ChildResult& result, const std::string& what);

// The path of a helper program: the environment variable `envName` when it
// is set, else `name` in the folder of this executable, else the build
// tree's ../<name>/<name>.
std::string helperProgram(const char* envName, const std::string& name);

}  // namespace photodupes
