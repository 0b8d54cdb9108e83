// Runs one of our protocol programs as a child process, as their host does:
// the request written to its standard input (then closed), its standard
// output read line by line as it arrives, and its exit status.
//
// The child never outlives photodupes: it asks the kernel for SIGKILL when
// its parent dies (PR_SET_PDEATHSIG). Its standard error stays ours.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

namespace photodupes {

struct ChildResult {
  std::string startError;    // not empty: the program could not be started (why)
  int exitStatus = -1;       // its exit status, or -1 when a signal ended it
  int signal = 0;            // the signal that ended it
  bool stoppedByUs = false;  // onLine asked to stop, or an interrupt came; the child was killed
  bool interrupted = false;  // SIGINT or SIGTERM came (catchInterrupts)
  bool tornLine = false;     // the output ended in the middle of a line, not passed to onLine
  bool abandoned = false;    // no exit status within kExitWait of the end of its output
};

// How long the end of a child's output may come before its exit status.
inline constexpr std::chrono::milliseconds kExitWait{2000};

// From now on SIGINT and SIGTERM are noted rather than ending photodupes: a
// child being run is killed and runChild returns at once (interrupted), so
// the caller can keep what arrived and say so.
void catchInterrupts();
// The signal noted since catchInterrupts(), or 0.
int interruptSignal();

// Starts argv[0] with argv, writes `input` to its standard input, and calls
// onLine with every line of its standard output (without the line feed; a
// last piece without one is passed too when the child then exits with
// status 0, and is a torn line otherwise). When onLine returns false the
// child is killed and no more lines are passed. Returns once the child has
// ended and been reaped, or kExitWait after its output ended.
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

// Work on the library's files that may never return (a lookup or read on
// a dead network mount blocks in the kernel, where no signal ends it, and a
// process cannot end while one of its threads is blocked so). The work runs
// in a child process forked from photodupes, which is abandoned when it
// stops answering: photodupes goes on, and ends on time.
//
// Fork without exec: the caller must be the only thread of photodupes, and
// the work may use only what is safe after such a fork (glibc's malloc and
// plain system calls are; SQLite connections and stdio are not).

// The child's end: what the work reports. Records are bytes without a zero
// byte (a path never holds one).
class ForkedSteps {
 public:
  explicit ForkedSteps(int fd) : fd_(fd) {}
  // A result; sent together with the next step, or at the end.
  void record(std::string_view text);
  // The work is about to do something that may block (open a folder, read
  // a file): sends what it has and names what comes, so that when the child
  // then stops answering, the parent knows where.
  void step(std::string_view what);
  // Sends everything not sent yet; false when the parent is gone.
  bool send();
  // Sends the rest and the mark that the work ran to its end.
  bool finish();

 private:
  int fd_;
  std::string pending_;
};

struct ForkedBounds {
  std::chrono::milliseconds quiet{30000};  // the longest time without a word from the child
  std::chrono::milliseconds total{0};      // the longest time in all; 0: no limit
};

struct ForkedResult {
  std::string startError;            // the child could not be started (why)
  std::vector<std::string> records;  // every record, in order
  bool finished = false;             // the work ran to its end
  bool silent = false;               // abandoned: no word for `quiet`
  bool overTime = false;             // abandoned: past `total` while still answering
  bool interrupted = false;          // SIGINT or SIGTERM came (catchInterrupts)
  std::string stuckAt;               // when not finished: the last step named
};

// Runs `work` in a forked child and collects what it reports, waiting no
// longer than `bounds` allow.
ForkedResult runForked(const std::function<void(ForkedSteps&)>& work, ForkedBounds bounds);

// The path of a helper program: the environment variable `envName` when it
// is set, else `name` in the folder of this executable, else the build
// tree's ../<name>/<name>.
std::string helperProgram(const char* envName, const std::string& name);

}  // namespace photodupes
